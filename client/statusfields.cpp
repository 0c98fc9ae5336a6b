// SPDX-License-Identifier: MIT
// wardctl status: the fields of the reply as both renderings read them.
#include "statusfields.h"

#include <algorithm>
#include <cstdio>

double Number(const JsonValue &object, const char *key, double otherwise) {
  const JsonValue *v = JsonMember(object, key);
  return v != nullptr && v->is_number() ? v->get<double>() : otherwise;
}

std::string Text(const JsonValue &object, const char *key) {
  const JsonValue *v = JsonMember(object, key);
  return v != nullptr && v->is_string() ? v->get_ref<const std::string &>() : std::string();
}

bool Flag(const JsonValue &object, const char *key) {
  const JsonValue *v = JsonMember(object, key);
  return v != nullptr && v->is_boolean() && v->get<bool>();
}

const JsonValue *Processes(const JsonValue &reply) {
  const JsonValue *p = JsonMember(reply, "processes");
  return p != nullptr && p->is_array() ? p : nullptr;
}

double Clamped(double value) { return std::max(-kNumberLimit, std::min(value, kNumberLimit)); }

std::string Whole(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.0f", std::isnan(value) ? 0 : Clamped(value));
  return text;
}

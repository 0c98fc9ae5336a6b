// SPDX-License-Identifier: MIT
// wardctl status: the fields of the reply as both renderings read them.
#include "statusfields.h"

#include <algorithm>
#include <cstdio>

double Number(const JsonValue &object, const char *key, double otherwise) {
  const JsonValue *v = object.Get(key);
  return v != nullptr && v->kind == JsonValue::NUMBER ? v->number : otherwise;
}

std::string Text(const JsonValue &object, const char *key) {
  const JsonValue *v = object.Get(key);
  return v != nullptr && v->kind == JsonValue::STRING ? v->text : std::string();
}

bool Flag(const JsonValue &object, const char *key) {
  const JsonValue *v = object.Get(key);
  return v != nullptr && v->kind == JsonValue::BOOL && v->boolean;
}

const JsonValue *Processes(const JsonValue &reply) {
  const JsonValue *p = reply.Get("processes");
  return p != nullptr && p->kind == JsonValue::ARRAY ? p : nullptr;
}

double Clamped(double value) { return std::max(-kNumberLimit, std::min(value, kNumberLimit)); }

std::string Whole(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.0f", std::isnan(value) ? 0 : Clamped(value));
  return text;
}

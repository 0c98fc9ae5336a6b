// SPDX-License-Identifier: MIT
// wardctl status: the reader of the daemon's JSON reply. The reply comes
// from a local daemon, but the reader takes any bytes without crashing or
// throwing: it refuses texts nested too deeply before the library parses
// them, and uses the library's non-throwing parse.
#include <string>

#include "wardstatus.h"

namespace {

// Whether the text opens more than JSON_DEPTH_MAX arrays and objects one
// inside the other, brackets inside strings not counted. Only the nesting is
// judged here; the library judges everything else.
bool NestedTooDeeply(const std::string &text) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > JSON_DEPTH_MAX) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return false;
}

}  // namespace

const JsonValue *JsonMember(const JsonValue &value, const char *key) {
  if (!value.is_object()) return nullptr;
  const auto found = value.find(key);
  return found != value.end() ? &*found : nullptr;
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *error) {
  *value = JsonValue();
  if (NestedTooDeeply(text)) {
    *error = "nested too deeply";
    return false;
  }
  *value = JsonValue::parse(text.begin(), text.end(), nullptr, false);
  if (value->is_discarded()) {
    *value = JsonValue();
    *error = "not valid JSON";
    return false;
  }
  return true;
}

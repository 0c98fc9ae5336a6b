// SPDX-License-Identifier: MIT
// wardctl status: the reader of the daemon's JSON reply. The reply comes
// from a local daemon, but the reader takes any bytes without crashing: it
// checks every token and limits nesting.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/utf8.h"
#include "wardstatus.h"

namespace {

void AppendUtf8(unsigned code, std::string *out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xc0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xe0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

constexpr unsigned kReplacement = 0xfffd;

class JsonReader {
 public:
  explicit JsonReader(const std::string &text) : s_(text) {}

  bool Document(JsonValue *value, std::string *error) {
    Blank();
    if (!Value(value, 0)) {
      *error = error_ + " at byte " + std::to_string(pos_);
      return false;
    }
    Blank();
    if (pos_ != s_.size()) {
      *error = "unexpected text after the value at byte " + std::to_string(pos_);
      return false;
    }
    return true;
  }

 private:
  bool Fail(const char *why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  void Blank() {
    while (!AtEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) pos_++;
  }
  bool Word(const char *word) {
    size_t length = strlen(word);
    if (s_.compare(pos_, length, word) != 0) return Fail("unknown word");
    pos_ += length;
    return true;
  }

  bool Value(JsonValue *value, int depth) {
    if (depth >= JSON_DEPTH_MAX) return Fail("nested too deeply");
    switch (Peek()) {
      case '{':
        return Object(value, depth);
      case '[':
        return Array(value, depth);
      case '"':
        value->kind = JsonValue::STRING;
        return String(&value->text);
      case 't':
        value->kind = JsonValue::BOOL;
        value->boolean = true;
        return Word("true");
      case 'f':
        value->kind = JsonValue::BOOL;
        return Word("false");
      case 'n':
        value->kind = JsonValue::NUL;
        return Word("null");
      default:
        return Number(value);
    }
  }

  bool Object(JsonValue *value, int depth) {
    value->kind = JsonValue::OBJECT;
    pos_++;  // '{'
    Blank();
    if (Peek() == '}') {
      pos_++;
      return true;
    }
    for (;;) {
      Blank();
      if (Peek() != '"') return Fail("expected a member name");
      std::pair<std::string, JsonValue> member;
      if (!String(&member.first)) return false;
      Blank();
      if (Peek() != ':') return Fail("expected ':'");
      pos_++;
      Blank();
      if (!Value(&member.second, depth + 1)) return false;
      value->members.push_back(std::move(member));
      Blank();
      if (Peek() == ',') {
        pos_++;
        continue;
      }
      if (Peek() == '}') {
        pos_++;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  bool Array(JsonValue *value, int depth) {
    value->kind = JsonValue::ARRAY;
    pos_++;  // '['
    Blank();
    if (Peek() == ']') {
      pos_++;
      return true;
    }
    for (;;) {
      Blank();
      JsonValue item;
      if (!Value(&item, depth + 1)) return false;
      value->items.push_back(std::move(item));
      Blank();
      if (Peek() == ',') {
        pos_++;
        continue;
      }
      if (Peek() == ']') {
        pos_++;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  bool Hex4(unsigned *code) {
    if (s_.size() - pos_ < 4) return Fail("short \\u escape");
    unsigned result = 0;
    for (int i = 0; i < 4; i++) {
      char c = s_[pos_++];
      result <<= 4;
      if (c >= '0' && c <= '9') {
        result |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        result |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        result |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return Fail("bad \\u escape");
      }
    }
    *code = result;
    return true;
  }

  bool Escape(std::string *out) {
    if (AtEnd()) return Fail("unterminated string");
    char c = s_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        *out += c;
        return true;
      case 'b':
        *out += '\b';
        return true;
      case 'f':
        *out += '\f';
        return true;
      case 'n':
        *out += '\n';
        return true;
      case 'r':
        *out += '\r';
        return true;
      case 't':
        *out += '\t';
        return true;
      case 'u': {
        unsigned code;
        if (!Hex4(&code)) return false;
        if (code >= 0xd800 && code <= 0xdbff && s_.compare(pos_, 2, "\\u") == 0) {
          size_t mark = pos_;
          pos_ += 2;
          unsigned low;
          if (!Hex4(&low)) return false;
          if (low >= 0xdc00 && low <= 0xdfff) {
            AppendUtf8(0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00), out);
            return true;
          }
          pos_ = mark;  // not a pair: the second escape stands on its own
        }
        AppendUtf8(code >= 0xd800 && code <= 0xdfff ? kReplacement : code, out);
        return true;
      }
      default:
        return Fail("bad escape");
    }
  }

  bool String(std::string *out) {
    pos_++;  // '"'
    for (;;) {
      if (AtEnd()) return Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        pos_++;
        return true;
      }
      if (c < 0x20) return Fail("control character in a string");
      if (c == '\\') {
        pos_++;
        if (!Escape(out)) return false;
        continue;
      }
      size_t run = Utf8Length(reinterpret_cast<const unsigned char *>(s_.data()) + pos_, s_.size() - pos_);
      if (run == 0) {
        AppendUtf8(kReplacement, out);
        pos_++;
      } else {
        out->append(s_, pos_, run);
        pos_ += run;
      }
    }
  }

  bool Digits() {
    size_t start = pos_;
    while (!AtEnd() && s_[pos_] >= '0' && s_[pos_] <= '9') pos_++;
    return pos_ > start;
  }

  // The JSON number grammar, checked here; strtod converts only what passed.
  bool Number(JsonValue *value) {
    size_t start = pos_;
    if (Peek() == '-') pos_++;
    if (Peek() == '0') {
      pos_++;
    } else if (!Digits()) {
      return Fail("expected a value");
    }
    if (Peek() == '.') {
      pos_++;
      if (!Digits()) return Fail("bad number");
    }
    if (Peek() == 'e' || Peek() == 'E') {
      pos_++;
      if (Peek() == '+' || Peek() == '-') pos_++;
      if (!Digits()) return Fail("bad number");
    }
    value->kind = JsonValue::NUMBER;
    value->number = strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
    return true;
  }

  const std::string &s_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue *JsonValue::Get(const char *key) const {
  if (kind != OBJECT) return nullptr;
  for (const auto &member : members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *error) {
  *value = JsonValue();
  JsonReader reader(text);
  return reader.Document(value, error);
}

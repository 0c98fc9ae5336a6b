// SPDX-License-Identifier: MIT
#include "common/utf8.h"

size_t Utf8Length(const unsigned char *text, size_t left) {
  const unsigned char c = text[0];
  if (c < 0x80) return 1;
  size_t length;
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (size_t i = 1; i < length; i++) {
    if ((text[i] & 0xc0) != 0x80) return 0;
  }
  if ((c == 0xe0 && text[1] < 0xa0) || (c == 0xed && text[1] > 0x9f) || (c == 0xf0 && text[1] < 0x90) ||
      (c == 0xf4 && text[1] > 0x8f)) {
    return 0;
  }
  return length;
}

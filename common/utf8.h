// SPDX-License-Identifier: MIT
// UTF-8 validation shared by the status reply writer and wardctl's reader.
// Pure function; safe on any thread.
#pragma once

#include <cstddef>

// The length of the valid UTF-8 sequence at text (1 to 4), or 0 when the
// bytes there are not one: overlong forms, surrogates and values beyond
// U+10FFFF are not valid. left (at least 1) is how many bytes may be read.
size_t Utf8Length(const unsigned char *text, size_t left);

// SPDX-License-Identifier: MIT
// CRC-16/XMODEM checksum; pure function, any thread.
#include "common/crc16.h"

#include <array>

namespace {

constexpr uint16_t kPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; i++) {
    unsigned value = i << 8;
    for (int bit = 0; bit < 8; bit++) {
      bool carry = (value & 0x8000) != 0;
      value = (value << 1) & 0xFFFF;
      if (carry) value ^= kPolynomial;
    }
    table[i] = static_cast<uint16_t>(value);
  }
  return table;
}

// Built by the compiler, so it sits in read-only data like a written-out table.
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[0] == 0x0000 && kCrcTable[1] == 0x1021 && kCrcTable[2] == 0x2042 &&
                  kCrcTable[3] == 0x3063,
              "CRC-16/XMODEM table");
static_assert(kCrcTable[255] == 0x1EF0, "CRC-16/XMODEM table");

}  // namespace

uint16_t Crc16(const void *data, int32_t length) {
  if (data == nullptr) return 0;
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  unsigned value = 0;
  for (int32_t i = 0; i < length; i++) {
    unsigned index = ((value >> 8) ^ bytes[i]) & 0xFF;
    value = (kCrcTable[index] ^ (value << 8)) & 0xFFFF;
  }
  return static_cast<uint16_t>(value);
}

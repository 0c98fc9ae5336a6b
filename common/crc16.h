// SPDX-License-Identifier: MIT
// CRC-16/XMODEM checksum; a pure function, any thread.
#pragma once

#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final
// XOR) of length bytes; 0 for a length of 0 or less.
[[nodiscard]] uint16_t Crc16(const void *data, int32_t length);

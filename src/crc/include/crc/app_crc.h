#pragma once
// The two CRCs of the application link: the frame check of every application frame and
// the image check carried by the wireless update command.

#include <cstddef>
#include <cstdint>

// Frame CRC: polynomial 0x1021, initial value 0, MSB first, no final XOR, computed a
// nibble at a time from a 16-entry table. 0x31C3 over "123456789", 0x60C6 over {0x06}.
uint16_t appCrc16(const uint8_t* data, size_t length);

// Image CRC: polynomial 0x1021, initial value 0xFFFF, MSB first, no final XOR.
// 0x29B1 over "123456789".
uint16_t crc16CcittFalse(const uint8_t* data, size_t length);

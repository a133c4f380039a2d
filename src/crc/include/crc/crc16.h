#pragma once
// CRC-16 of the serial framing (polynomial 0x1021, initial value 0, MSB first, no final
// XOR), computed bit by bit over a running state so that a packet can be fed in pieces.

#include <cstdint>

struct Crc16State {
    uint16_t currentCrc;
};

// Each operation needs its pointers; given a null one it does nothing.
void crc16_init(Crc16State* state);
void crc16_update(Crc16State* state, const uint8_t* src, uint32_t lengthInBytes);
void crc16_finalize(Crc16State* state, uint16_t* hash);

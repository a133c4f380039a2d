#include "crc/crc16.h"

void crc16_init(Crc16State* state)
{
    if (state)
        state->currentCrc = 0;
}

void crc16_update(Crc16State* state, const uint8_t* src, uint32_t lengthInBytes)
{
    if (!state || (!src && lengthInBytes))
        return;
    uint32_t crc = state->currentCrc;
    for (uint32_t i = 0; i < lengthInBytes; ++i) {
        crc ^= uint32_t(src[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x10000)
                crc ^= 0x1021;
            crc &= 0xFFFF;
        }
    }
    state->currentCrc = uint16_t(crc);
}

void crc16_finalize(Crc16State* state, uint16_t* hash)
{
    if (state && hash)
        *hash = state->currentCrc;
}

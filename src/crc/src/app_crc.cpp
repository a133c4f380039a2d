#include "crc/app_crc.h"

#include <array>

namespace {

// Entry i is the remainder of i placed in the top four bits: 0x0000, 0x1021, 0x2042, ...
constexpr std::array<uint16_t, 16> makeNibbleTable()
{
    std::array<uint16_t, 16> table {};
    for (unsigned i = 0; i < 16; ++i) {
        unsigned r = i << 12;
        for (int bit = 0; bit < 4; ++bit)
            r = (r & 0x8000) ? ((r << 1) ^ 0x1021) : (r << 1);
        table[i] = uint16_t(r);
    }
    return table;
}

constexpr std::array<uint16_t, 16> kNibbleTable = makeNibbleTable();
static_assert(kNibbleTable[1] == 0x1021 && kNibbleTable[2] == 0x2042 && kNibbleTable[3] == 0x3063
    && kNibbleTable[15] == 0xF1EF);

// Byte-wise table for the image CRC, which runs over images of up to some megabytes.
constexpr std::array<uint16_t, 256> makeByteTable()
{
    std::array<uint16_t, 256> table {};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x8000) ? ((r << 1) ^ 0x1021) : (r << 1);
        table[i] = uint16_t(r);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kByteTable = makeByteTable();

} // namespace

uint16_t appCrc16(const uint8_t* data, size_t length)
{
    uint16_t crc = 0;
    if (!data)
        return crc;
    for (size_t i = 0; i < length; ++i) {
        crc = uint16_t(kNibbleTable[(crc >> 12) ^ (data[i] >> 4)] ^ (crc << 4));
        crc = uint16_t(kNibbleTable[(crc >> 12) ^ (data[i] & 0x0F)] ^ (crc << 4));
    }
    return crc;
}

uint16_t crc16CcittFalse(const uint8_t* data, size_t length)
{
    uint16_t crc = 0xFFFF;
    if (!data)
        return crc;
    for (size_t i = 0; i < length; ++i)
        crc = uint16_t(kByteTable[(crc >> 8) ^ data[i]] ^ (crc << 8));
    return crc;
}

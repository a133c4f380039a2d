#include "crc/app_crc.h"
#include "crc/crc16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

const uint8_t kDigits[] = { '1', '2', '3', '4', '5', '6', '7', '8', '9' };

uint16_t crc16Of(const uint8_t* data, uint32_t length)
{
    Crc16State state;
    crc16_init(&state);
    crc16_update(&state, data, length);
    uint16_t hash = 0;
    crc16_finalize(&state, &hash);
    return hash;
}

// Straight from the definition, one bit at a time, for any initial value.
uint16_t reference(const std::vector<uint8_t>& data, uint16_t init)
{
    uint16_t crc = init;
    for (uint8_t byte : data)
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 15) ^ (byte >> bit)) & 1;
            crc = uint16_t(crc << 1);
            if (top)
                crc ^= 0x1021;
        }
    return crc;
}

TEST(Crc, CheckValues)
{
    EXPECT_EQ(crc16Of(kDigits, 9), 0x31C3);
    EXPECT_EQ(crc16Of(reinterpret_cast<const uint8_t*>("abc"), 3), 0x9DD6);
    EXPECT_EQ(appCrc16(kDigits, 9), 0x31C3);
    const uint8_t code = 0x06;
    EXPECT_EQ(appCrc16(&code, 1), 0x60C6);
    EXPECT_EQ(crc16CcittFalse(kDigits, 9), 0x29B1);
    // Empty input leaves the initial value.
    EXPECT_EQ(appCrc16(kDigits, 0), 0x0000);
    EXPECT_EQ(crc16CcittFalse(kDigits, 0), 0xFFFF);
    EXPECT_EQ(crc16Of(kDigits, 0), 0x0000);
}

// The worked frames' CRCs: 0x09 -> 29 91, 0x3A -> 19 97, 0x01 -> 21 10.
TEST(Crc, AppCrcOfWorkedFrames)
{
    const uint8_t jump = 0x09, nrf = 0x3A, one = 0x01;
    EXPECT_EQ(appCrc16(&jump, 1), 0x9129);
    EXPECT_EQ(appCrc16(&nrf, 1), 0x9719);
    EXPECT_EQ(appCrc16(&one, 1), 0x1021);
    const uint8_t update[] = { 0x0E, 0x34, 0x12, 0xA0, 0x86, 0x01, 0x00 };
    EXPECT_EQ(appCrc16(update, sizeof update), 0x0BC1);
}

TEST(Crc, AllThreeAgreeWithTheBitwiseDefinitionOnRandomData)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> data(rng() % 300);
        for (auto& b : data)
            b = uint8_t(rng());
        ASSERT_EQ(appCrc16(data.data(), data.size()), reference(data, 0));
        ASSERT_EQ(crc16CcittFalse(data.data(), data.size()), reference(data, 0xFFFF));
        ASSERT_EQ(crc16Of(data.data(), uint32_t(data.size())), reference(data, 0));
    }
}

TEST(Crc, Crc16FedInPiecesEqualsOneUpdate)
{
    Crc16State state;
    crc16_init(&state);
    crc16_update(&state, kDigits, 4);
    crc16_update(&state, kDigits + 4, 0);
    crc16_update(&state, kDigits + 4, 5);
    uint16_t hash = 0;
    crc16_finalize(&state, &hash);
    EXPECT_EQ(hash, 0x31C3);
    // init starts over whatever the state held.
    crc16_init(&state);
    crc16_finalize(&state, &hash);
    EXPECT_EQ(hash, 0);
}

TEST(Crc, MissingPointersAreRefusedWithoutTouchingAnything)
{
    Crc16State state { 0x1234 };
    crc16_update(&state, nullptr, 5);
    EXPECT_EQ(state.currentCrc, 0x1234);
    crc16_init(nullptr);
    crc16_update(nullptr, kDigits, 9);
    crc16_finalize(nullptr, nullptr);
    crc16_finalize(&state, nullptr);
    EXPECT_EQ(appCrc16(nullptr, 10), 0);
    EXPECT_EQ(crc16CcittFalse(nullptr, 10), 0xFFFF);
}

} // namespace

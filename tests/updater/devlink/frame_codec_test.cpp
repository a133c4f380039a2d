#include "devlink/frame_codec.h"

#include "crc/app_crc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& body)
{
    uint8_t out[64];
    const size_t n = encodeFrame(body.data(), body.size(), out, sizeof out);
    return Bytes(out, out + n);
}

Bytes reportFor(const Bytes& frame)
{
    Bytes report(kOutputReportSize);
    EXPECT_TRUE(packReport(frame.data(), frame.size(), report.data()));
    return report;
}

Bytes expectedReport(const Bytes& frame)
{
    Bytes report(kOutputReportSize, 0xFF);
    report[0] = 0x00;
    std::copy(frame.begin(), frame.end(), report.begin() + 1);
    return report;
}

// A reply buffer with guard bytes on both sides: any store outside the 65 bytes shows.
struct GuardedReply {
    static constexpr uint8_t kGuard = 0xA5;
    std::array<uint8_t, 16 + kReplyBufferSize + 16> bytes;
    GuardedReply() { bytes.fill(kGuard); }
    uint8_t* reply() { return bytes.data() + 16; }
    bool guardsIntact() const
    {
        for (size_t i = 0; i < 16; ++i)
            if (bytes[i] != kGuard || bytes[16 + kReplyBufferSize + i] != kGuard)
                return false;
        return true;
    }
};

DecodedFrame decode(const Bytes& report, uint8_t* reply)
{
    return decodeFrame(report.data(), report.size(), reply);
}

TEST(FrameEncoding, WorkedFramesInTheirReports)
{
    uint8_t body[kCommandWithArgsBodyLength];
    struct Case {
        Bytes body;
        Bytes frame;
    } cases[] = {
        { { 0x06 }, { 0x01, 0x06, 0xC6, 0x60, 0x04 } },
        { { 0x09 }, { 0x01, 0x09, 0x29, 0x91, 0x04 } },
        { { 0x3A }, { 0x01, 0x3A, 0x19, 0x97, 0x04 } },
        { { 0x01 }, { 0x01, 0x10, 0x01, 0x21, 0x10, 0x10, 0x04 } },
        { Bytes(body, body + commandWithArgsBody(0x0E, 0x1234, 100000, body)),
            { 0x01, 0x0E, 0x34, 0x12, 0xA0, 0x86, 0x10, 0x01, 0x00, 0xC1, 0x0B, 0x04 } },
    };
    for (const Case& c : cases) {
        const Bytes frame = encode(c.body);
        EXPECT_EQ(frame, c.frame);
        EXPECT_EQ(reportFor(frame), expectedReport(c.frame));
    }
    // READ_DEVICE_INFO: 00 01 06 C6 60 04, then fill to the 65th byte (59 bytes of 0xFF).
    const Bytes report = reportFor(encode({ 0x06 }));
    ASSERT_EQ(report.size(), 65u);
    EXPECT_EQ(std::count(report.begin() + 6, report.end(), 0xFF), 59);
}

TEST(FrameEncoding, ArgumentBodyIsLittleEndian)
{
    uint8_t body[kCommandWithArgsBodyLength];
    ASSERT_EQ(commandWithArgsBody(0x0E, 0xA1B2, 0xC3D4E5F6, body), 7u);
    EXPECT_EQ(Bytes(body, body + 7), (Bytes { 0x0E, 0xB2, 0xA1, 0xF6, 0xE5, 0xD4, 0xC3 }));
    ASSERT_EQ(commandBody(0x3A, body), 1u);
    EXPECT_EQ(body[0], 0x3A);
}

TEST(FrameEncoding, EveryByteNeedingEscapeGetsOneDleAndFitsTheLongestFrame)
{
    // Argument bytes of 0x01, 0x04, 0x10 only: with a CRC of such bytes too, the frame is the
    // longest; find the worst over the three values and check it stays within 20.
    size_t longest = 0;
    const uint8_t specials[] = { 0x01, 0x04, 0x10 };
    for (uint8_t code : specials)
        for (uint8_t a : specials)
            for (uint8_t b : specials) {
                uint8_t body[7];
                commandWithArgsBody(code, uint16_t(a | (a << 8)), uint32_t(b) * 0x01010101u, body);
                const Bytes frame = encode(Bytes(body, body + 7));
                longest = std::max(longest, frame.size());
                ASSERT_LE(frame.size(), kMaxCommandWithArgsFrameLength);
                // Decoding the frame gives the body and its CRC back.
                uint8_t reply[kReplyBufferSize];
                const DecodedFrame d = decode(frame, reply);
                ASSERT_TRUE(d.complete);
                ASSERT_EQ(d.length, 9u);
                ASSERT_EQ(0, std::memcmp(reply, body, 7));
            }
    EXPECT_GE(longest, 2u + 7 * 2);
}

TEST(FrameEncoding, RefusesWhatDoesNotFit)
{
    uint8_t out[8];
    std::memset(out, 0x77, sizeof out);
    const uint8_t one = 0x01; // needs 7 bytes
    EXPECT_EQ(encodeFrame(&one, 1, out, 6), 0u);
    EXPECT_EQ(out[0], 0x77); // untouched
    EXPECT_EQ(encodeFrame(&one, 1, out, 7), 7u);
    EXPECT_EQ(encodeFrame(nullptr, 1, out, 8), 0u);
    EXPECT_EQ(encodeFrame(&one, 1, nullptr, 8), 0u);

    Bytes big(65, 0x20), report(kOutputReportSize, 0x33);
    EXPECT_FALSE(packReport(big.data(), 65, report.data()));
    EXPECT_EQ(report[0], 0x33);
    EXPECT_TRUE(packReport(big.data(), 64, report.data()));
    EXPECT_EQ(report[0], 0x00);
    EXPECT_EQ(report[64], 0x20);
}

TEST(FrameDecoding, ReportCases)
{
    uint8_t reply[kReplyBufferSize];

    // Junk before SOH is dropped; the rest of the report after a good EOT is ignored.
    DecodedFrame d = decode({ 0x55, 0x66, 0x77, 0x01, 0x06, 0xC6, 0x60, 0x04, 0x09, 0x09 }, reply);
    EXPECT_TRUE(d.complete);
    EXPECT_EQ(d.length, 3u);
    EXPECT_EQ(Bytes(reply, reply + 3), (Bytes { 0x06, 0xC6, 0x60 }));

    // Escaped bytes are data; the escaped CRC of code 0x01 matches.
    d = decode({ 0x01, 0x10, 0x01, 0x21, 0x10, 0x10, 0x04 }, reply);
    EXPECT_TRUE(d.complete);
    EXPECT_EQ(Bytes(reply, reply + d.length), (Bytes { 0x01, 0x21, 0x10 }));
    d = decode({ 0x01, 0x0A, 0x10, 0x04, 0x10, 0x01, 0x10, 0x10 }, reply);
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(Bytes(reply, reply + d.length), (Bytes { 0x0A, 0x04, 0x01, 0x10 }));

    // A bad CRC: decoding goes on and the bytes after that EOT join the frame.
    d = decode({ 0x01, 0x06, 0x05, 0x07, 0x0C, 0x04, 0x33, 0x44 }, reply);
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(Bytes(reply, reply + d.length), (Bytes { 0x06, 0x05, 0x07, 0x0C, 0x33, 0x44 }));
    EXPECT_EQ(reply[0], 0x06); // still the echo of 0x06 by its first byte

    // ... and a later matching EOT over all of it still completes the frame.
    Bytes body = { 0x06, 0x05, 0x07, 0x0C, 0x33 };
    const uint16_t crc = appCrc16(body.data(), body.size());
    d = decode({ 0x01, 0x06, 0x05, 0x07, 0x0C, 0x04, 0x33, uint8_t(crc), uint8_t(crc >> 8), 0x04 }, reply);
    EXPECT_TRUE(d.complete);
    EXPECT_EQ(d.length, 7u);

    // No EOT at all: what was decoded, not complete.
    d = decode({ 0x01, 0x0A, 'h', 'i' }, reply);
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(d.length, 3u);

    // An EOT with fewer than two bytes before it, or a CRC over nothing, completes nothing.
    d = decode({ 0x01, 0x00, 0x04 }, reply);
    EXPECT_FALSE(d.complete);
    d = decode({ 0x01, 0x00, 0x00, 0x04 }, reply); // appCrc16 of nothing is 0, but length is 2
    EXPECT_FALSE(d.complete);
    EXPECT_EQ(d.length, 2u);

    // A second SOH starts the frame over.
    d = decode({ 0x01, 0x3A, 0x3A, 0x01, 0x09, 0x29, 0x91, 0x04 }, reply);
    EXPECT_TRUE(d.complete);
    EXPECT_EQ(reply[0], 0x09);
}

TEST(FrameDecoding, ReplyBytesPastTheFrameKeepTheirContents)
{
    uint8_t reply[kReplyBufferSize];
    std::memset(reply, 0xEE, sizeof reply);
    const DecodedFrame d = decode({ 0x01, 0x06, 0xC6, 0x60, 0x04 }, reply);
    EXPECT_EQ(d.length, 3u);
    EXPECT_EQ(reply[3], 0xEE);
    EXPECT_EQ(reply[64], 0xEE);
}

TEST(FrameDecoding, BadReportsStayInsideTheirBuffers)
{
    const std::vector<Bytes> reports = {
        Bytes(64, 0x10), // all DLE
        Bytes(64, 0x41), // no SOH: 64 bytes stored
        Bytes(64, 0x01), // only SOHs
        Bytes(64, 0x04), // only EOTs, nothing before them
        Bytes { 0x04 }, // EOT first
        Bytes { 0x41, 0x04 }, // EOT after one byte
        Bytes { 0x01, 0x0A, 'a', 'b', 'c' }, // text without zero or EOT
        Bytes(200, 0x42), // longer than any report
        Bytes {}, // nothing
    };
    for (const Bytes& report : reports) {
        GuardedReply guarded;
        // The report lives in a buffer of exactly its size, so ASan sees any over-read.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[report.size()]);
        if (!report.empty())
            std::memcpy(exact.get(), report.data(), report.size());
        const DecodedFrame d = decodeFrame(exact.get(), report.size(), guarded.reply());
        EXPECT_LE(d.length, kReplyBufferSize);
        EXPECT_FALSE(d.complete);
        EXPECT_TRUE(guarded.guardsIntact());
    }
    uint8_t reply[kReplyBufferSize];
    EXPECT_EQ(decodeFrame(nullptr, 10, reply).length, 0u);
    const uint8_t soh = 0x01;
    EXPECT_EQ(decodeFrame(&soh, 1, nullptr).length, 0u);
}

// Many random reports, some built around valid frames: the decoder stays in bounds, and
// any report it calls complete holds a frame whose CRC really matches.
TEST(FrameDecoding, RandomReportsFuzz)
{
    std::mt19937 rng(20240601);
    const uint8_t interesting[] = { 0x01, 0x04, 0x10, 0x0A, 0x00, 0xFF };
    for (int round = 0; round < 20000; ++round) {
        Bytes report(size_t(rng() % 130));
        for (auto& b : report)
            b = (rng() % 3 == 0) ? interesting[rng() % 6] : uint8_t(rng());
        if (round % 4 == 0 && report.size() > 30) {
            Bytes body(1 + rng() % 7);
            for (auto& b : body)
                b = uint8_t(rng());
            const Bytes frame = encode(body);
            std::copy(
                frame.begin(), frame.end(), report.begin() + long(rng() % (report.size() - frame.size())));
        }
        GuardedReply guarded;
        const DecodedFrame d = decode(report, guarded.reply());
        ASSERT_TRUE(guarded.guardsIntact());
        ASSERT_LE(d.length, kReplyBufferSize);
        if (d.complete) {
            ASSERT_GT(d.length, 2u);
            const uint8_t* r = guarded.reply();
            ASSERT_EQ(appCrc16(r, d.length - 2), uint16_t(r[d.length - 2] | (r[d.length - 1] << 8)));
        }
    }
}

TEST(FrameDecoding, EncodedFramesDecodeToTheirBodyAnywhereInAReport)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 2000; ++round) {
        Bytes body(1 + rng() % 20);
        for (auto& b : body)
            b = uint8_t(rng());
        const Bytes frame = encode(body);
        ASSERT_FALSE(frame.empty());
        Bytes report(64, 0xFF);
        // Junk without SOH before the frame, so that the frame's SOH starts it.
        const size_t offset = rng() % (64 - frame.size() + 1);
        for (size_t i = 0; i < offset; ++i)
            report[i] = uint8_t(0x20 + rng() % 0x50);
        std::copy(frame.begin(), frame.end(), report.begin() + long(offset));
        uint8_t reply[kReplyBufferSize];
        const DecodedFrame d = decode(report, reply);
        ASSERT_TRUE(d.complete);
        ASSERT_EQ(d.length, body.size() + 2);
        ASSERT_EQ(Bytes(reply, reply + body.size()), body);
    }
}

} // namespace

// The serial transports byte for byte over an in-memory line: framing, acknowledgements,
// ping, the UART peripheral's limits, the bus bridge's command bytes, and the connection's
// serial kinds. Expected CRCs were computed apart from the code (CRC-16/XMODEM).
#include "blfwk/bootloader.h"
#include "blfwk/bus_pal.h"
#include "blfwk/serial_packetizer.h"
#include "blfwk/uart_peripheral.h"
#include "recording_logger.h"
#include "scripted_serial.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <stdexcept>

using namespace blfwk;
using blfwktest::RecordingLogger;
using testsupport::ByteVector;
using testsupport::SerialLine;

namespace {

std::mutex g_pauseMutex;
std::vector<int64_t> g_pauses;
void recordPause(platform::Milliseconds ms)
{
    // The start-byte polls are slept for real: a wait measured on the clock would otherwise
    // spin and record them by the million, and the recording itself would stretch the wait.
    if (ms.count() == blfwk::SerialPacketizer::kPollPauseMs) {
        std::this_thread::sleep_for(ms);
        return;
    }
    std::lock_guard<std::mutex> lock(g_pauseMutex);
    g_pauses.push_back(ms.count());
}

struct NoSleeping {
    NoSleeping()
    {
        g_pauses.clear();
        platform::setPauseHook(recordPause);
    }
    ~NoSleeping() { platform::setPauseHook(nullptr); }
};

const ByteVector kCommand12 = { 0x07, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0 }; // get-property 1, memory 0
const ByteVector kAck = { 0x5A, 0xA1 };
const ByteVector kNak = { 0x5A, 0xA2 };

ByteVector frame(uint8_t type, const ByteVector& payload, uint16_t crc)
{
    // Grown byte by byte: the cross compiler's bounds warning misfires on an insert here.
    ByteVector f = { 0x5A, type, uint8_t(payload.size()), uint8_t(payload.size() >> 8), uint8_t(crc),
        uint8_t(crc >> 8) };
    for (uint8_t byte : payload)
        f.push_back(byte);
    return f;
}

ByteVector counting(size_t n)
{
    ByteVector v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i);
    return v;
}

struct Serial : ::testing::Test {
    NoSleeping noSleeping;
    RecordingLogger logger { Logger::Debug };
    std::shared_ptr<SerialLine> line = std::make_shared<SerialLine>();
    SerialPacketizer packetizer { new UartPeripheral(testsupport::scriptedPort(line)), 300 };

    status_t read(ByteVector* out = nullptr, PacketType type = PacketType::Command)
    {
        uint8_t* packet = nullptr;
        uint32_t length = 99;
        const status_t status = packetizer.readPacket(&packet, &length, type);
        if (out)
            *out = packet ? ByteVector(packet, packet + length) : ByteVector {};
        return status;
    }
};

TEST_F(Serial, CommandPacketIsFramedWithItsCrcAndWaitsForTheAck)
{
    line->send(kAck);
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Command), kStatus_Success);
    ASSERT_EQ(line->writes.size(), 1u); // one peripheral write for the whole framing packet
    EXPECT_EQ(line->writes[0], frame(0xA4, kCommand12, 0x334B));

    // A data packet of the largest size goes out as type A5.
    line->send(kAck);
    EXPECT_EQ(packetizer.writePacket(counting(32).data(), 32, PacketType::Data), kStatus_Success);
    EXPECT_EQ(line->writes[1][1], 0xA5);
    EXPECT_EQ(line->writes[1].size(), 38u);
}

TEST_F(Serial, OversizedOrMissingPacketIsRefusedBeforeAnythingIsSent)
{
    const ByteVector big(33, 0xEE);
    EXPECT_EQ(packetizer.writePacket(big.data(), 33, PacketType::Data), kStatus_InvalidArgument);
    EXPECT_EQ(packetizer.writePacket(nullptr, 0, PacketType::Command), kStatus_InvalidArgument);
    EXPECT_TRUE(line->writes.empty());
    EXPECT_TRUE(logger.contains("Error: invalid packet or packet size 33\r\n"));
    uint32_t length = 0;
    EXPECT_EQ(packetizer.readPacket(nullptr, &length, PacketType::Command), kStatus_InvalidArgument);
    EXPECT_TRUE(logger.contains("Error: invalid packet\r\n"));
}

TEST_F(Serial, NakIsAnsweredWithTheSameFrameAndOtherSyncBytesEndTheWrite)
{
    line->send(kNak);
    line->send(kAck);
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Command), kStatus_Success);
    ASSERT_EQ(line->writes.size(), 2u);
    EXPECT_EQ(line->writes[0], line->writes[1]);

    line->send({ 0x5A, 0xA3 });
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Data), kStatus_AbortDataPhase);
    line->send({ 0x5A, 0xA7 });
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Command), kStatus_InvalidPacketType);
    EXPECT_TRUE(
        logger.contains("Error: Unexpected sync byte 0xa7 received, expected Ack, AckAbort or Nak\r\n"));
}

TEST_F(Serial, ResponseIsReadAndItsAckDeferredUntilFinalize)
{
    line->send({ 0x11, 0x22 }); // noise before the start byte is skipped
    line->send(frame(0xA4, kCommand12, 0x334B));
    ByteVector packet;
    EXPECT_EQ(read(&packet), kStatus_Success);
    EXPECT_EQ(packet, kCommand12);
    EXPECT_TRUE(line->writes.empty()); // the Ack is owed, not sent
    EXPECT_EQ(packetizer.finalize(), kStatus_Success);
    EXPECT_EQ(packetizer.finalize(), kStatus_Success);
    ASSERT_EQ(line->writes.size(), 1u);
    EXPECT_EQ(line->writes[0], kAck);
}

TEST_F(Serial, AbortPacketTurnsTheOwedAckIntoAckAbort)
{
    EXPECT_EQ(packetizer.abortPacket(), kStatus_Success); // nothing owed: nothing to turn
    EXPECT_EQ(packetizer.finalize(), kStatus_Success);
    EXPECT_TRUE(line->writes.empty());

    line->send(frame(0xA4, counting(32), 0x0E97));
    EXPECT_EQ(read(), kStatus_Success);
    EXPECT_EQ(packetizer.abortPacket(), kStatus_Success);
    line->send(frame(0xA4, kCommand12, 0x334B));
    EXPECT_EQ(read(), kStatus_Success);
    ASSERT_EQ(line->writes.size(), 1u);
    EXPECT_EQ(line->writes[0], ByteVector({ 0x5A, 0xA3 }));
}

TEST_F(Serial, AnnouncementAbove32IsReadAs32WithTheCrcOverTheHeaderAsUsed)
{
    // Announces 40 bytes; the CRC is over 5A A4 20 00 and the 32 bytes.
    ByteVector f = frame(0xA4, counting(32), 0x0E97);
    f[2] = 40;
    line->send(f);
    ByteVector packet;
    EXPECT_EQ(read(&packet), kStatus_Success);
    EXPECT_EQ(packet, counting(32));

    // With the CRC of the announced length the packet fails its check: Nak, then read again.
    ByteVector bad = frame(0xA4, counting(32), 0xAF3B);
    bad[2] = 40;
    line->send(bad);
    line->send(frame(0xA4, kCommand12, 0x334B));
    EXPECT_EQ(read(&packet), kStatus_Success);
    EXPECT_EQ(packet, kCommand12);
    EXPECT_EQ(line->written(), ByteVector({ 0x5A, 0xA1, 0x5A, 0xA2 })); // owed Ack, then the Nak
    EXPECT_TRUE(logger.contains("Error: invalid crc 0xaf3b, expected 0xe97\r\n"));
}

TEST_F(Serial, PingArrivingForAResponseIsAnsweredAnd10003Returned)
{
    line->send({ 0x5A, 0xA6 });
    EXPECT_EQ(read(), kStatus_Ping);
    ASSERT_EQ(line->writes.size(), 2u);
    EXPECT_EQ(line->writes[0], ByteVector({ 0x5A, 0xA7 }));
    EXPECT_EQ(line->writes[1], ByteVector({ 0x03, 0x02, 0x01, 0x50, 0x00, 0x00, 0x4A, 0x24 }));

    line->send({ 0x5A, 0xA5 }); // a data packet where a response is expected
    EXPECT_EQ(read(), kStatus_Fail);
    EXPECT_TRUE(logger.contains("Error: read_data_packet found unexpected packet type 0xa5\r\n"));
}

TEST_F(Serial, PingReportsTheVersionAndChecksItsCrc)
{
    line->peer = [this](const ByteVector& w) {
        if (w == ByteVector({ 0x5A, 0xA6 }))
            line->send({ 0x5A, 0xA7, 0x03, 0x02, 0x01, 0x50, 0x00, 0x00, 0x4A, 0x24 });
    };
    PingResponse response {};
    EXPECT_EQ(packetizer.ping(0, 0, &response, 115200), kStatus_Success);
    EXPECT_EQ(packetizer.getVersion(), 0x50010203u);
    EXPECT_EQ(response.crc16, 0x244A);
    EXPECT_TRUE(logger.contains("Ping responded in 1 attempt(s)\n"));
    EXPECT_TRUE(logger.contains("Framing protocol version = 0x50010203, options = 0x0\n"));
    // 90000 / 115200 + 20 ms for the rest of the answer to arrive.
    EXPECT_NE(std::find(g_pauses.begin(), g_pauses.end(), 20), g_pauses.end());

    line->peer = [this](const ByteVector&) {
        line->send({ 0x5A, 0xA7, 0x03, 0x02, 0x01, 0x50, 0x00, 0x00, 0x4A, 0x25 });
    };
    EXPECT_EQ(packetizer.ping(0, 0, nullptr, 0), kStatus_InvalidCRC);
    EXPECT_TRUE(logger.contains("Error: ping crc16 failed, received 0x254a, expected 0x244a\n"));
}

TEST_F(Serial, PingRetriesMakeRetriesPlusOneAttempts)
{
    line->waitOutLimits = false; // a silent peer; the half second is measured on the clock
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(packetizer.ping(0, 0, nullptr, 0), kStatus_NoPingResponse);
    EXPECT_EQ(line->writes.size(), 1u);
    EXPECT_EQ(packetizer.ping(3, 7, nullptr, 0), kStatus_NoPingResponse);
    EXPECT_EQ(line->writes.size(), 5u);
    EXPECT_EQ(std::count(g_pauses.begin(), g_pauses.end(), 7), 4);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(seconds, 2.4);
    EXPECT_LT(seconds, 4.0);

    // The third attempt is answered.
    int pings = 0;
    line->peer = [&](const ByteVector&) {
        if (++pings == 3)
            line->send({ 0x5A, 0xA7, 0x03, 0x02, 0x01, 0x50, 0x00, 0x00, 0x4A, 0x24 });
    };
    EXPECT_EQ(packetizer.ping(3, 0, nullptr, 0), kStatus_Success);
    EXPECT_EQ(pings, 3);
    EXPECT_TRUE(logger.contains("Ping responded in 3 attempt(s)\n"));
}

TEST_F(Serial, BackToBackWritePausesAfterASyncPacket)
{
    line->send(frame(0xA4, kCommand12, 0x334B));
    EXPECT_EQ(read(), kStatus_Success);
    g_pauses.clear();
    line->send(kAck);
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Data), kStatus_Success);
    EXPECT_EQ(line->writes[0], kAck); // the owed Ack goes first
    EXPECT_EQ(g_pauses, std::vector<int64_t>({ 100 }));
    line->send(kAck);
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Data), kStatus_Success);
    EXPECT_EQ(g_pauses.size(), 1u);
}

// Peers that misbehave: every case ends in a status within its limits.
TEST_F(Serial, BadPeersEndInAStatusWithinTheTimeLimit)
{
    using Clock = std::chrono::steady_clock;
    auto timed = [&](auto fn) {
        const auto start = Clock::now();
        const status_t status = fn();
        return std::make_pair(status, std::chrono::duration<double>(Clock::now() - start).count());
    };

    // Never a start byte: garbage for as long as the host listens.
    line->peer = nullptr;
    line->send(ByteVector(5000, 0x00));
    auto [status, seconds] = timed([&] { return read(); });
    EXPECT_EQ(status, kStatus_Timeout);
    EXPECT_LT(seconds, 1.0);
    EXPECT_TRUE(logger.contains("Error: read_start_byte() timedout after "));
    line->toHost.clear();

    // Silence.
    std::tie(status, seconds) = timed([&] { return read(); });
    EXPECT_EQ(status, kStatus_Timeout);
    EXPECT_GT(seconds, 0.25);
    EXPECT_LT(seconds, 1.0);

    // A header that stops half-way: the rest of the packet times out.
    line->send({ 0x5A, 0xA4, 0x0C });
    EXPECT_EQ(read(), kStatus_Timeout);
    line->send({ 0x5A, 0xA4, 0x0C, 0x00, 0x4B, 0x33, 1, 2, 3 });
    EXPECT_EQ(read(), kStatus_Timeout);

    // Every copy corrupted: the host refuses a bounded number of times and gives up.
    line->toHost.clear();
    line->writes.clear();
    ByteVector corrupt = frame(0xA4, kCommand12, 0x334C);
    line->peer = [&](const ByteVector& w) {
        if (w == kNak)
            line->send(corrupt);
    };
    line->send(corrupt);
    EXPECT_EQ(read(), kStatus_InvalidCRC);
    EXPECT_EQ(line->writes.size(), SerialPacketizer::kMaxResends);

    // A peer that refuses every copy of ours.
    line->writes.clear();
    line->peer = [&](const ByteVector& w) {
        if (w.size() > 2)
            line->send(kNak);
    };
    EXPECT_EQ(packetizer.writePacket(kCommand12.data(), 12, PacketType::Command), kStatus_InvalidCRC);
    EXPECT_EQ(line->writes.size(), 1 + SerialPacketizer::kMaxResends);

    // The line goes away in the middle of a packet: no hang, a status.
    line->peer = nullptr;
    line->send({ 0x5A, 0xA4, 0x20, 0x00, 0x00, 0x00, 1, 2, 3 });
    line->gone = true;
    std::tie(status, seconds) = timed([&] { return read(); });
    EXPECT_NE(status, kStatus_Success);
    EXPECT_LT(seconds, 1.0);
}

TEST(UartPeripheral, ReadsWithinItsOwnLimitsAndTracesEveryByte)
{
    auto line = std::make_shared<SerialLine>();
    line->send({ 0xAA, 0xBB }); // waiting before the open: drained
    UartPeripheral uart(testsupport::scriptedPort(line));
    EXPECT_TRUE(line->toHost.empty());

    RecordingLogger logger(Logger::Trace);
    uint8_t byte = 0;
    int32_t actual = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(uart.read(&byte, 1, &actual, 5000), kStatus_Timeout); // 5000 is not used
    const double ms
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(actual, 0);
    EXPECT_GE(ms, 19.0);
    EXPECT_LT(ms, 200.0);

    line->send({ 0x01, 0x02 });
    uint8_t two[2] = {};
    EXPECT_EQ(uart.read(two, 2, &actual, 0), kStatus_Success);
    EXPECT_EQ(logger.lines, std::vector<std::string>({ "<", ">\n", "<", "01", " ", "02", ">\n" }));

    logger.lines.clear();
    EXPECT_EQ(uart.write(two, 2), kStatus_Success);
    EXPECT_EQ(logger.lines, std::vector<std::string>({ "[", "01", " ", "02", "]\n" }));
    line->gone = true;
    EXPECT_EQ(uart.write(two, 2), kStatus_Fail);
    EXPECT_EQ(uart.read(two, 2, &actual, 0), kStatus_Timeout);
    EXPECT_EQ(actual, 0);
}

} // namespace

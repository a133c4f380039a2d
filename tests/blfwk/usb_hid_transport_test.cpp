#include "blfwk/usb_hid_packetizer.h"
#include "blfwk/usb_hid_peripheral.h"
#include "fake_bootloader.h"
#include "recording_logger.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace blfwk;
using blfwktest::RecordingLogger;
using blfwktest::report;
using testsupport::Bytes;
using testsupport::ScriptedHid;

namespace {

struct Transport : ::testing::Test {
    ScriptedHid hid;
    RecordingLogger logger { Logger::Debug };
    UsbHidPacketizer packetizer { new UsbHidPeripheral(0x2b29, 0x0b), 5000 };

    status_t read(PacketType type, Bytes* out = nullptr)
    {
        uint8_t* packet = nullptr;
        uint32_t length = 99;
        const status_t status = packetizer.readPacket(&packet, &length, type);
        if (out)
            *out = packet ? Bytes(packet, packet + length) : Bytes {};
        lastLength = length;
        lastPacket = packet;
        return status;
    }
    uint32_t lastLength = 0;
    uint8_t* lastPacket = nullptr;
};

TEST(UsbHidPeripheral, OpensByIdentityAndClosesWithShutdown)
{
    ScriptedHid hid;
    {
        UsbHidPeripheral peripheral(0x15a2, 0x73);
        EXPECT_EQ(hid.openedVendor, 0x15a2);
        EXPECT_EQ(hid.openedProduct, 0x73);
        EXPECT_EQ(hid.closes, 0);
    }
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(hid.shutdowns, 1);

    hid.openSucceeds = false;
    try {
        UsbHidPeripheral peripheral(0x2b29, 0x0b);
        FAIL() << "opened a missing device";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(
            e.what(), "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x2b29, pid=0x000b).");
    }
    EXPECT_EQ(hid.closes, 1); // nothing was left open
}

TEST(UsbHidPeripheral, ReadStatusFollowsTheByteCount)
{
    ScriptedHid hid;
    UsbHidPeripheral peripheral(1, 2);
    uint8_t buffer[36];
    int32_t actual = 77;

    hid.queueSilence();
    EXPECT_EQ(peripheral.read(buffer, 36, &actual, 123), kStatus_Timeout);
    EXPECT_EQ(actual, 0);
    EXPECT_EQ(hid.readTimeouts.back(), 123);

    hid.queueReport({ 1, 2, 3 });
    EXPECT_EQ(peripheral.read(buffer, 36, &actual, 5), kStatus_Timeout);
    EXPECT_EQ(actual, 3);

    hid.queueReport({ 1, 2, 3, 4 });
    EXPECT_EQ(peripheral.read(buffer, 36, &actual, 5), kStatus_Success);
    EXPECT_EQ(actual, 4);

    hid.queueFailure();
    EXPECT_EQ(peripheral.read(buffer, 36, &actual, 5), kStatus_Fail);
    EXPECT_EQ(actual, -1);

    hid.queueReport(Bytes(36, 9));
    EXPECT_EQ(peripheral.read(buffer, 36, nullptr, 5), kStatus_Success);
}

TEST(UsbHidPeripheral, ByteTracesInSeparatePiecesOnlyAtTrace)
{
    ScriptedHid hid;
    UsbHidPeripheral peripheral(1, 2);
    uint8_t buffer[36];
    RecordingLogger logger(Logger::Debug);

    hid.queueReport({ 0xab, 0x01, 0, 0 });
    peripheral.read(buffer, 36, nullptr, 5);
    EXPECT_TRUE(logger.lines.empty());

    logger.setFilterLevel(Logger::Trace);
    hid.queueReport({ 0xab, 0x01 });
    peripheral.read(buffer, 36, nullptr, 5);
    EXPECT_EQ(logger.lines, (std::vector<std::string> { "<", "ab", " ", "01", ">\n" }));

    logger.lines.clear();
    hid.queueFailure();
    peripheral.read(buffer, 36, nullptr, 5);
    EXPECT_EQ(logger.lines, (std::vector<std::string> { "<", ">\n" }));

    logger.lines.clear();
    const Bytes out(36, 0x5a);
    EXPECT_EQ(peripheral.write(out.data(), 36, 1000), kStatus_Success);
    ASSERT_EQ(logger.lines.size(), 73u); // the progress counter relies on this
    EXPECT_EQ(logger.lines.front(), "[");
    EXPECT_EQ(logger.lines[1], "5a");
    EXPECT_EQ(logger.lines[2], " ");
    EXPECT_EQ(logger.lines[71], "5a");
    EXPECT_EQ(logger.lines.back(), "]\n");
    EXPECT_EQ(hid.writeTimeouts.back(), 1000);
}

TEST(UsbHidPeripheral, WriteFailureLogsTheLibraryError)
{
    ScriptedHid hid;
    UsbHidPeripheral peripheral(1, 2);
    RecordingLogger logger(Logger::Info);
    const uint8_t out[4] = { 1, 0, 0, 0 };

    hid.writeResult = -1;
    EXPECT_EQ(peripheral.write(out, 4, 50), kStatus_Fail);
    EXPECT_EQ(logger.lines,
        (std::vector<std::string> {
            "WriteFile failed with error 31: A device attached to the system is not functioning." }));

    hid.writeResult = 0;
    EXPECT_EQ(peripheral.write(out, 4, 50), kStatus_Success);
    // The plain write sends nothing on this peripheral.
    const size_t writes = hid.writes.size();
    EXPECT_EQ(peripheral.write(out, 4), kStatus_Success);
    EXPECT_EQ(hid.writes.size(), writes);
}

TEST_F(Transport, CommandPacketGoesOutAsReportOne)
{
    const uint8_t packet[12] = { 0x02, 0, 0, 2, 0x00, 0xa0, 0, 0, 0x00, 0x10, 0, 0 };
    ASSERT_EQ(packetizer.writePacket(packet, 12, PacketType::Command), kStatus_Success);
    ASSERT_EQ(hid.writes.size(), 1u);
    Bytes expected { 0x01, 0x00, 0x0c, 0x00 };
    expected.insert(expected.end(), packet, packet + 12);
    expected.resize(36, 0);
    EXPECT_EQ(hid.writes[0], expected);
    EXPECT_EQ(hid.writeTimeouts[0], 5000);

    const uint8_t data[3] = { 7, 8, 9 };
    ASSERT_EQ(packetizer.writePacket(data, 3, PacketType::Data), kStatus_Success);
    EXPECT_EQ(hid.writes[1][0], 2);
    EXPECT_EQ(hid.writes[1][2], 3);
    EXPECT_EQ(hid.writes[1][6], 9);
    EXPECT_EQ(hid.reads, 0); // abort checking is off: nothing read before a data packet
}

TEST_F(Transport, RefusesBadTypesAndOversizedPackets)
{
    const uint8_t packet[33] = {};
    EXPECT_EQ(packetizer.writePacket(packet, 4, PacketType(2)), kStatus_Fail);
    EXPECT_TRUE(logger.contains("usbhid: unsupported packet type 2\n"));
    EXPECT_NE(packetizer.writePacket(packet, 33, PacketType::Data), kStatus_Success);
    EXPECT_EQ(packetizer.writePacket(nullptr, 4, PacketType::Data), kStatus_InvalidArgument);
    EXPECT_TRUE(hid.writes.empty());

    EXPECT_EQ(read(PacketType(7)), kStatus_Fail);
    EXPECT_EQ(hid.reads, 0);
    EXPECT_EQ(lastLength, 0u);
    EXPECT_EQ(lastPacket, nullptr);
    EXPECT_EQ(packetizer.getMaxPacketSize(), 32u);
}

TEST_F(Transport, ReadsResponsesAndRejectsUnexpectedOrShortReports)
{
    Bytes out;
    hid.queueReport(blfwktest::genericResponse(0, 0x0b));
    ASSERT_EQ(read(PacketType::Command, &out), kStatus_Success);
    EXPECT_EQ(out, (Bytes { 0xa0, 0, 0, 2, 0, 0, 0, 0, 0x0b, 0, 0, 0 }));

    hid.queueReport(report(4, { 1, 2, 3 }));
    EXPECT_EQ(read(PacketType::Command), kStatus_Fail);
    EXPECT_TRUE(logger.contains("usbhid: received unexpected report=4\n"));

    hid.queueReport(report(3, { 1, 2, 3 }));
    EXPECT_EQ(read(PacketType::Data), kStatus_Fail);
    EXPECT_TRUE(logger.contains("usbhid: received unexpected report=3\n"));

    // 20 bytes announced, 16 delivered in total.
    Bytes shortReport = report(4, Bytes(12, 0xee), 20);
    shortReport.resize(16);
    hid.queueReport(shortReport);
    EXPECT_EQ(read(PacketType::Data), kStatus_Fail);
    EXPECT_TRUE(logger.contains("usbhid: received only 12 bytes of packet with length 20\n"));

    // A length beyond the report can never be satisfied.
    hid.queueReport(report(4, Bytes(32, 1), 0xffff));
    EXPECT_EQ(read(PacketType::Data), kStatus_Fail);
    EXPECT_TRUE(logger.contains("usbhid: received only 32 bytes of packet with length 65535\n"));

    hid.queueSilence();
    EXPECT_EQ(read(PacketType::Command), kStatus_Timeout);
    hid.queueFailure();
    EXPECT_EQ(read(PacketType::Command), kStatus_Fail);
    EXPECT_EQ(hid.readTimeouts.back(), 5000);
}

TEST_F(Transport, ZeroLengthReportsAndTheContinuousReadCount)
{
    const uint8_t cmd[4] = { 0x0b, 0, 0, 0 };
    packetizer.writePacket(cmd, 4, PacketType::Command);

    // First read after a write: stale zero-length reports are skipped.
    hid.queueReport(report(3, {}, 0));
    hid.queueReport(report(3, {}, 0));
    hid.queueReport(blfwktest::genericResponse(0, 0x0b));
    Bytes out;
    ASSERT_EQ(read(PacketType::Command, &out), kStatus_Success);
    EXPECT_EQ(out.size(), 12u);
    EXPECT_EQ(hid.reads, 3);
    EXPECT_EQ(logger.count("usbhid: received data phase abort\n"), 2u);

    // Second read after the write: a zero-length report is delivered at once.
    hid.queueReport(report(4, {}, 0));
    hid.queueReport(report(4, { 1 }));
    ASSERT_EQ(read(PacketType::Data, &out), kStatus_Success);
    EXPECT_EQ(lastLength, 0u);
    EXPECT_EQ(hid.pendingInputs(), 1u);
}

TEST_F(Transport, FiftyZeroLengthReportsInARowAreDeliveredAsAnAbort)
{
    const uint8_t cmd[4] = { 0x0b, 0, 0, 0 };
    packetizer.writePacket(cmd, 4, PacketType::Command);
    for (int i = 0; i < 60; ++i)
        hid.queueReport(report(3, {}, 0));
    ASSERT_EQ(read(PacketType::Command), kStatus_Success);
    EXPECT_EQ(lastLength, 0u);
    EXPECT_EQ(hid.reads, 50);
}

TEST_F(Transport, AbortPollBeforeEachDataPacketWhileEnabled)
{
    packetizer.setAbortEnabled(true);
    const uint8_t data[4] = { 1, 2, 3, 4 };

    hid.queueSilence();
    EXPECT_EQ(packetizer.writePacket(data, 4, PacketType::Data), kStatus_Success);
    EXPECT_EQ(hid.readTimeouts.back(), 10);
    EXPECT_EQ(hid.writes.size(), 1u);

    // Any report at all (its content unexamined) is the receiver aborting.
    hid.queueReport({ 9, 9 });
    EXPECT_EQ(packetizer.writePacket(data, 4, PacketType::Data), kStatus_AbortDataPhase);
    EXPECT_TRUE(logger.contains("usb hid detected receiver data abort\n"));
    hid.queueFailure();
    EXPECT_EQ(packetizer.writePacket(data, 4, PacketType::Data), kStatus_AbortDataPhase);
    EXPECT_EQ(hid.writes.size(), 1u);

    // Command packets are never held up by the poll.
    const int reads = hid.reads;
    EXPECT_EQ(packetizer.writePacket(data, 4, PacketType::Command), kStatus_Success);
    EXPECT_EQ(hid.reads, reads);
}

TEST_F(Transport, AbortPacketSendsAnEmptyCommandAndDrainsInput)
{
    hid.queueReport(report(4, { 1, 2 }));
    hid.queueReport(report(4, { 3 }));
    hid.queueSilence();
    hid.queueReport(report(3, { 4 })); // after the drain stopped
    packetizer.abortPacket();
    ASSERT_EQ(hid.writes.size(), 1u);
    Bytes expected(36, 0);
    expected[0] = 1;
    EXPECT_EQ(hid.writes[0], expected);
    EXPECT_EQ(hid.pendingInputs(), 1u);
}

TEST_F(Transport, AWriteFailureIsStatusOne)
{
    hid.writeResult = -1;
    const uint8_t cmd[4] = { 0x0b, 0, 0, 0 };
    EXPECT_EQ(packetizer.writePacket(cmd, 4, PacketType::Command), kStatus_Fail);
}

} // namespace

#include "devlink/app_exchange.h"

#include "devlink/frame_codec.h"

#include "crc/app_crc.h"
#include "scripted_hid.h"
#include "state/app_callbacks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using testsupport::Bytes;
using testsupport::ScriptedHid;

std::vector<std::string> g_log;
void recordLog(const char* text)
{
    g_log.emplace_back(text);
}

class Exchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_log.clear();
        setLogCallback(recordLog);
        std::memset(reply, 0, sizeof reply);
    }
    void TearDown() override { setLogCallback(nullptr); }

    // A 64-byte input report holding the frame of body, padded with fill.
    static Bytes inputReport(const Bytes& body, uint8_t fill = 0x00)
    {
        uint8_t frame[64];
        const size_t n = encodeFrame(body.data(), body.size(), frame, sizeof frame);
        Bytes report(64, fill);
        std::memcpy(report.data(), frame, n);
        return report;
    }
    static Bytes textReport(const std::string& text, bool withZero = true)
    {
        Bytes body { kTextMessageCode };
        body.insert(body.end(), text.begin(), text.end());
        if (withZero)
            body.push_back(0);
        return inputReport(body);
    }
    long count(const std::string& line) const { return std::count(g_log.begin(), g_log.end(), line); }

    ScriptedHid hid;
    uint8_t reply[kReplyBufferSize + 8];
};

TEST_F(Exchange, EchoAcceptedAfterOneWriteWithTheDocumentedLimits)
{
    hid.queueReport(inputReport({ 0x06, 0x11, 0x22, 0x33 }));
    EXPECT_TRUE(transactCommand(0x06, reply));

    EXPECT_EQ(hid.openedVendor, 0x2B29);
    EXPECT_EQ(hid.openedProduct, 0x55);
    ASSERT_EQ(hid.writes.size(), 1u);
    Bytes expected(65, 0xFF);
    const uint8_t frame[] = { 0x00, 0x01, 0x06, 0xC6, 0x60, 0x04 };
    std::copy(std::begin(frame), std::end(frame), expected.begin());
    EXPECT_EQ(hid.writes[0], expected);
    EXPECT_THAT(hid.writeTimeouts, ::testing::ElementsAre(-1));
    EXPECT_THAT(hid.readTimeouts, ::testing::ElementsAre(10000));
    EXPECT_EQ(hid.opens, 1);
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(Bytes(reply, reply + 4), (Bytes { 0x06, 0x11, 0x22, 0x33 }));
    EXPECT_THAT(g_log,
        ::testing::ElementsAre(
            "\r\nOpening HID device\r\n", "Sending command\r\n", "Waiting for response\r\n"));
}

// The device's text goes to the log alone: standard output is the front end's (with --json
// every line of it is one JSON object), and the text is whatever bytes the device sent.
TEST_F(Exchange, TextLinesInBetweenGoToTheLogAloneWithoutCounting)
{
    hid.queueReport(textReport("VERSION 1.2\r\n"));
    hid.queueReport({ 0x3B }); // unexpected (no SOH: decodes to 0x3B)
    hid.queueReport(textReport("busy"));
    hid.queueReport({ 0x7F });
    hid.queueReport(textReport("still busy"));
    hid.queueReport(inputReport({ 0x3A }));
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(transactCommand(0x3A, reply));
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "");
    EXPECT_EQ(count("VERSION 1.2\r\n"), 1);
    EXPECT_EQ(count("busy"), 1);
    EXPECT_EQ(count("still busy"), 1);
    EXPECT_EQ(count("Unexpected command\r\n"), 2);
    EXPECT_EQ(hid.reads, 6);
    EXPECT_EQ(hid.closes, 1);
}

TEST_F(Exchange, TextWithoutZeroStopsAtTheDecodedBytes)
{
    // Stale bytes in the reply must not be printed past the frame, nor its CRC bytes.
    std::memset(reply, 'Z', sizeof reply);
    hid.queueReport(textReport("abc", false));
    Bytes partial = { 0x01, kTextMessageCode, 'x', 'y' }; // no EOT at all
    hid.queueReport(partial);
    hid.queueReport(inputReport({ 0x06 }));
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(transactCommand(0x06, reply));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_THAT(g_log, ::testing::Contains("abc"));
    EXPECT_THAT(g_log, ::testing::Contains("xy"));
    EXPECT_THAT(g_log, ::testing::Each(::testing::Not(::testing::HasSubstr("Z"))));
}

TEST_F(Exchange, ThreeUnexpectedRepliesEndTheExchange)
{
    hid.queueReport(inputReport({ 0x07 }));
    hid.queueReport(inputReport({ 0x05 }));
    hid.queueReport(inputReport({ 0x08 }));
    hid.queueReport(inputReport({ 0x06 })); // never read
    EXPECT_FALSE(transactCommand(0x06, reply));
    EXPECT_EQ(hid.reads, 3);
    EXPECT_EQ(count("Unexpected command\r\n"), 3);
    EXPECT_EQ(g_log.back(), "Unexpected command\r\n");
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(hid.pendingInputs(), 1u);
}

TEST_F(Exchange, ThreeSilentOrFailedReadsEndTheExchange)
{
    hid.queueSilence(2);
    hid.queueFailure();
    EXPECT_FALSE(transactCommand(0x06, reply));
    EXPECT_EQ(hid.reads, 3);
    EXPECT_THAT(hid.readTimeouts, ::testing::ElementsAre(10000, 10000, 10000));
    EXPECT_EQ(count("Unexpected command\r\n"), 3);
    EXPECT_EQ(hid.closes, 1);
}

TEST_F(Exchange, TwoUnexpectedThenEchoSucceeds)
{
    hid.queueSilence();
    hid.queueReport(inputReport({ 0x09 }));
    hid.queueReport(inputReport({ 0x06, 0x01 }));
    EXPECT_TRUE(transactCommand(0x06, reply));
    EXPECT_EQ(count("Unexpected command\r\n"), 2);
}

TEST_F(Exchange, EchoWithBadCrcIsAcceptedByItsFirstByte)
{
    hid.queueReport({ 0x01, 0x06, 0x05, 0x07, 0x0C, 0x04, 0x99, 0x98 });
    EXPECT_TRUE(transactCommand(0x06, reply));
    EXPECT_EQ(reply[0], 0x06);
    EXPECT_EQ(reply[1], 0x05);
}

TEST_F(Exchange, ReportThatDecodesToNothingIsNotTakenForTheEcho)
{
    // reply[0] already holds the code from an earlier exchange; a report of a bare SOH
    // decodes no byte, so it must not count as the echo.
    reply[0] = 0x06;
    hid.queueReport({ 0x01 });
    hid.queueReport({ 0x01, 0x04 });
    hid.queueReport({ 0x10 });
    EXPECT_FALSE(transactCommand(0x06, reply));
    EXPECT_EQ(count("Unexpected command\r\n"), 3);
}

TEST_F(Exchange, OpenFailure)
{
    hid.openSucceeds = false;
    EXPECT_FALSE(transactCommand(0x06, reply));
    EXPECT_THAT(g_log, ::testing::ElementsAre("\r\nOpening HID device\r\n", "Failed to open HID device\r\n"));
    EXPECT_TRUE(hid.writes.empty());
    EXPECT_EQ(hid.reads, 0);
    EXPECT_EQ(hid.closes, 0);
}

TEST_F(Exchange, FailedWriteStillWaitsForAReply)
{
    hid.writeResult = -1;
    hid.queueReport(inputReport({ 0x06 }));
    EXPECT_TRUE(transactCommand(0x06, reply));
    EXPECT_EQ(hid.reads, 1);
}

TEST_F(Exchange, SendsReportSuccessOnlyWhenBytesWereWritten)
{
    platform::HidDevice* device = openAppDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(sendCommandWithArgs(0x0E, device, 0x1234, 100000));
    ASSERT_EQ(hid.writes.size(), 1u);
    const Bytes frame = { 0x00, 0x01, 0x0E, 0x34, 0x12, 0xA0, 0x86, 0x10, 0x01, 0x00, 0xC1, 0x0B, 0x04 };
    EXPECT_EQ(Bytes(hid.writes[0].begin(), hid.writes[0].begin() + 13), frame);
    EXPECT_EQ(std::count(hid.writes[0].begin() + 13, hid.writes[0].end(), 0xFF), 52);
    EXPECT_EQ(hid.writes[0].size(), 65u);

    hid.writeResult = 0;
    EXPECT_FALSE(sendCommand(0x09, device));
    hid.writeResult = -1;
    EXPECT_FALSE(sendCommandWithArgs(0x0E, device, 1, 2));
    hid.writeResult = 65;
    EXPECT_TRUE(sendCommand(0x09, device));
    EXPECT_FALSE(sendCommand(0x09, nullptr));
    EXPECT_EQ(hid.writes.size(), 4u);
    EXPECT_EQ(hid.reads, 0);
}

} // namespace

// The connection's serial kinds over a scripted line: the open with its ping, commands, the
// owed Ack sent on flush and on destruction, and the texts of a failed open.
#include "blfwk/bootloader.h"
#include "blfwk/serial_packetizer.h"
#include "recording_logger.h"
#include "scripted_serial.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace blfwk;
using blfwktest::RecordingLogger;
using testsupport::ByteVector;
using testsupport::SerialLine;

namespace {

std::shared_ptr<SerialLine> g_line;
std::string g_openedName;
int g_openedBaud = 0;

std::unique_ptr<platform::SerialPort> openScripted(const std::string& name, int baud, std::string* error)
{
    g_openedName = name;
    g_openedBaud = baud;
    if (name == "ttyMISSING") {
        *error = "no such port";
        return nullptr;
    }
    return testsupport::scriptedPort(g_line);
}

const ByteVector kPingResponse = { 0x5A, 0xA7, 0x03, 0x02, 0x01, 0x50, 0x00, 0x00, 0x4A, 0x24 };
// get-property current-version, memory 0, framed; and the device's answer K2.1.0.
const ByteVector kGetVersionFrame
    = { 0x5A, 0xA4, 0x0C, 0x00, 0x4B, 0x33, 0x07, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0 };
const ByteVector kVersionResponseFrame
    = { 0x5A, 0xA4, 0x0C, 0x00, 0x64, 0x18, 0xA7, 0, 0, 2, 0, 0, 0, 0, 0x00, 0x01, 0x02, 0x4B };

struct SerialConnection : ::testing::Test {
    RecordingLogger logger { Logger::Debug };
    void SetUp() override
    {
        platform::setPauseHook([](platform::Milliseconds) {});
        g_line = std::make_shared<SerialLine>();
        platform::setSerialPortOpener(openScripted);
    }
    void TearDown() override
    {
        platform::setSerialPortOpener(nullptr);
        platform::setPauseHook(nullptr);
        g_line.reset();
    }
    static PeripheralConfig uartConfig()
    {
        PeripheralConfig config;
        config.peripheralKind = PeripheralConfig::PeripheralUart;
        config.portName = "ttyS7";
        config.baudRate = 57600;
        config.packetTimeoutMs = 300;
        config.pingOnOpen = true;
        return config;
    }
    // A target that answers a ping and get-property current-version.
    void answerAsTarget()
    {
        g_line->peer = [](const ByteVector& w) {
            if (w == ByteVector({ 0x5A, 0xA6 }))
                g_line->send(kPingResponse);
            else if (w == kGetVersionFrame) {
                g_line->send({ 0x5A, 0xA1 });
                g_line->send(kVersionResponseFrame);
            }
        };
    }
};

TEST_F(SerialConnection, UartOpensWithAPingRunsCommandsAndAcknowledgesTheLastResponse)
{
    answerAsTarget();
    {
        Bootloader connection(uartConfig());
        EXPECT_EQ(g_openedName, "ttyS7");
        EXPECT_EQ(g_openedBaud, 57600);
        EXPECT_EQ(connection.getPacketizer()->getVersion(), 0x50010203u);
        EXPECT_EQ(connection.getCurrentVersion(), 0x4B020100u);
        const size_t writes = g_line->writes.size();
        connection.flush(); // the owed Ack of the response
        ASSERT_EQ(g_line->writes.size(), writes + 1);
        EXPECT_EQ(g_line->writes.back(), ByteVector({ 0x5A, 0xA1 }));

        // An explicit ping: no answer is a runtime error with the status text.
        g_line->peer = nullptr;
        try {
            connection.ping(0, 0, 0);
            FAIL() << "a silent target answered";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "No response received for ping command.");
        }
    }
    // Destruction acknowledged nothing more: the Ack was already sent by flush.
    EXPECT_NE(g_line->writes.back(), ByteVector({ 0x5A, 0xA1 }));

    answerAsTarget();
    g_line->writes.clear();
    {
        Bootloader connection(uartConfig());
        connection.getCurrentVersion();
    }
    EXPECT_EQ(g_line->writes.back(), ByteVector({ 0x5A, 0xA1 })); // sent on destruction
}

TEST_F(SerialConnection, FailedOpensCarryTheirTexts)
{
    PeripheralConfig config = uartConfig();
    config.portName = "ttyMISSING";
    try {
        Bootloader connection(config);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(
            e.what(), "Error: UartPeripheral() cannot open PC UART port(ttyMISSING), speed(57600 Hz).");
    }

    // A silent target: the ping fails, and the connection with it.
    config = uartConfig();
    try {
        Bootloader connection(config);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error: Initial ping failure: No response received for ping command.");
    }
    EXPECT_EQ(g_line->writes.size(), 1u); // one attempt for a UART

    // Without pingOnOpen nothing is sent while the connection opens.
    g_line->writes.clear();
    config.pingOnOpen = false;
    {
        Bootloader connection(config);
        EXPECT_TRUE(g_line->writes.empty());
    }
    EXPECT_TRUE(g_line->writes.empty());

    // A bridge that does not answer its handshake.
    config.peripheralKind = PeripheralConfig::PeripheralBusPalUart;
    config.busPal.function = BusPalSettings::Spi;
    g_line->peer = [](const ByteVector&) { g_line->send({ 'B', 'B', 'I', 'O', '0' }); };
    try {
        Bootloader connection(config);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error: BusPalUartPeripheral() cannot enter BitBang Mode.");
    }
}

} // namespace

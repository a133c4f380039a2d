// The bus bridge's command bytes for every function, its transfers in 4096-byte pieces and
// its failures, against a scripted adapter that answers each write in turn.
#include "blfwk/bus_pal.h"
#include "recording_logger.h"
#include "scripted_serial.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

using namespace blfwk;
using blfwktest::RecordingLogger;
using testsupport::ByteVector;
using testsupport::SerialLine;

namespace {

std::vector<int64_t> g_busPalPauses;
void recordBusPalPause(platform::Milliseconds ms)
{
    g_busPalPauses.push_back(ms.count());
}

ByteVector text(const char* t)
{
    return ByteVector(t, t + std::strlen(t));
}

struct Adapter {
    std::shared_ptr<SerialLine> line = std::make_shared<SerialLine>();
    std::vector<ByteVector> replies; // the answer to each write, in order
    size_t next = 0;

    explicit Adapter(std::vector<ByteVector> answers)
        : replies(std::move(answers))
    {
        line->peer = [this](const ByteVector&) {
            if (next < replies.size())
                line->send(replies[next]);
            ++next;
        };
    }
    std::unique_ptr<BusPalUartPeripheral> open(const BusPalSettings& settings)
    {
        return std::make_unique<BusPalUartPeripheral>(testsupport::scriptedPort(line), settings);
    }
};

BusPalSettings settingsFor(int32_t function)
{
    BusPalSettings s;
    s.function = function;
    return s;
}

struct Case {
    int32_t function;
    std::vector<ByteVector> writes;
    std::vector<ByteVector> replies;
};

TEST(BusPal, EachFunctionSendsItsCommandBytes)
{
    const ByteVector ok = { 0x01 };
    const std::vector<Case> cases = {
        { BusPalSettings::Spi, { { 0x00 }, { 0x01 }, { 0x60, 0x64, 0, 0, 0 }, { 0x86 } },
            { text("BBIO1"), text("SPI1"), ok, ok } },
        { BusPalSettings::I2c, { { 0x00 }, { 0x02 }, { 0x70, 0x10 }, { 0x60, 0x64, 0, 0, 0 } },
            { text("BBIO1"), text("I2C1"), ok, ok } },
        { BusPalSettings::Can,
            { { 0x00 }, { 0x07 }, { 0x40, 4, 0, 0, 0 }, { 0x30, 0x21, 0x03, 0, 0 },
                { 0x20, 0x23, 0x01, 0, 0 } },
            { text("BBIO1"), text("CAN1"), ok, ok, ok } },
        { BusPalSettings::GpioConfig, { { 0x00 }, { 0x00 }, { 0x40, 'A', 3, 2 } },
            { text("BBIO1"), text("BBIO1"), ok } },
        { BusPalSettings::GpioSet, { { 0x00 }, { 0x00 }, { 0x80, 'A', 3, 1 } },
            { text("BBIO1"), text("BBIO1"), ok } },
        { BusPalSettings::FpgaClock, { { 0x00 }, { 0x00 }, { 0x20, 48, 0, 0, 0 } },
            { text("BBIO1"), text("BBIO1"), ok } },
    };
    for (const Case& c : cases) {
        Adapter adapter(c.replies);
        BusPalSettings s = settingsFor(c.function);
        s.gpioPort = 'A';
        s.gpioPin = 3;
        s.gpioMux = 2;
        s.gpioLevel = 1;
        s.fpgaClockMhz = 48;
        auto peripheral = adapter.open(s);
        EXPECT_EQ(adapter.line->writes, c.writes) << "function " << c.function;
    }
}

TEST(BusPal, RefusalsThrowTheirTexts)
{
    RecordingLogger logger(Logger::Info);
    auto refused = [](std::vector<ByteVector> replies, const BusPalSettings& s) -> std::string {
        Adapter adapter(std::move(replies));
        try {
            adapter.open(s);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "opened";
    };
    EXPECT_EQ(refused({ text("BBIOX") }, settingsFor(BusPalSettings::Spi)),
        "Error: BusPalUartPeripheral() cannot enter BitBang Mode.");
    EXPECT_TRUE(logger.contains("Error: enter bit bang mode failed\n"));
    EXPECT_TRUE(logger.contains("Dumping any remaining data...\n"));
    EXPECT_EQ(refused({ text("BBIO1") }, settingsFor(0)), "Unsupported BusPal function type");
    EXPECT_EQ(refused({ text("BBIO1"), text("SPI1"), { 0x00 } }, settingsFor(BusPalSettings::Spi)),
        "Error: BusPalUartPeripheral() cannot set SPI speed(100 kHz).");
    EXPECT_TRUE(logger.contains("Error: bad response to Spi Set Speed, response byte = 0x0\n"));
    EXPECT_EQ(refused({ text("BBIO1"), text("SPI1"), { 0x01 }, { 0x02 } }, settingsFor(BusPalSettings::Spi)),
        "Error: BusPalUartPeripheral() cannot set SPI polarity(ActiveLow(1)), phase(SecondEdge(1)), and "
        "direction(MsbFirst(0)).");
    EXPECT_EQ(refused({ text("BBIO1"), text("I2C1"), { 0x05 } }, settingsFor(BusPalSettings::I2c)),
        "Error: BusPalUartPeripheral() cannot set I2C address 10.");
    EXPECT_EQ(refused({ text("BBIO1"), text("CAN1"), { 1 }, { 1 }, { 0 } }, settingsFor(BusPalSettings::Can)),
        "Error: BusPalUartPeripheral() cannot set CAN rxid(0x123).");
    BusPalSettings gpio = settingsFor(BusPalSettings::GpioSet);
    gpio.gpioPort = 'B';
    gpio.gpioPin = 0x1F;
    gpio.gpioLevel = 1;
    EXPECT_EQ(refused({ text("BBIO1"), text("BBIO1"), { 0 } }, gpio),
        "Error: BusPalUartPeripheral() cannot set GPIO B,1F,01");
    // An adapter that stops answering: the wait for its reply is bounded.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(refused({ text("BBIO1") }, settingsFor(BusPalSettings::Can)),
        "Error: BusPalUartPeripheral() cannot enter CAN Mode.");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, BusPal::kReplyWaitMs / 1000.0);
    EXPECT_LT(seconds, BusPal::kReplyWaitMs / 1000.0 + 1.0);
}

TEST(BusPal, TransfersCarryTheFramedStreamInPieces)
{
    RecordingLogger logger(Logger::Trace);
    Adapter adapter({ text("BBIO1"), text("SPI1"), { 1 }, { 1 } });
    auto spi = adapter.open(settingsFor(BusPalSettings::Spi));
    adapter.line->writes.clear();

    // 5000 bytes: one transfer of 4096 and one of 904; each is answered after its data.
    adapter.replies = { {}, { 1 }, {}, { 1 } };
    adapter.next = 0;
    const ByteVector data(5000, 0x5A);
    EXPECT_EQ(spi->write(data.data(), uint32_t(data.size())), kStatus_Success);
    ASSERT_EQ(adapter.line->writes.size(), 4u);
    EXPECT_EQ(adapter.line->writes[0], ByteVector({ 0x04, 0x00, 0x10, 0x00, 0x00 }));
    EXPECT_EQ(adapter.line->writes[1].size(), 4096u);
    EXPECT_EQ(adapter.line->writes[2], ByteVector({ 0x04, 0x88, 0x03, 0x00, 0x00 }));
    EXPECT_EQ(adapter.line->writes[3].size(), 904u);

    // A read: the header asks for three bytes; the reply byte, then the bytes.
    adapter.line->writes.clear();
    adapter.replies = { { 1, 0x5A, 0xA1, 0x00 } };
    adapter.next = 0;
    logger.lines.clear();
    uint8_t bytes[3] = {};
    int32_t actual = 0;
    EXPECT_EQ(spi->read(bytes, 3, &actual, 0), kStatus_Success);
    EXPECT_EQ(actual, 3);
    EXPECT_EQ(adapter.line->writes[0], ByteVector({ 0x04, 0x00, 0x00, 0x03, 0x00 }));
    EXPECT_EQ(bytes[1], 0xA1);
    EXPECT_EQ(logger.all(), "-04 00 00 03 00-\n+01+\n<5a a1 00>\n");

    // A refused write: status 1 with the bridge's message.
    adapter.replies = { {}, { 0x07 } };
    adapter.next = 0;
    EXPECT_EQ(spi->write(data.data(), 10), kStatus_Fail);
    EXPECT_TRUE(logger.contains("Error: bad response to spi write, response byte = 0x7\n"));
}

TEST(BusPal, I2cReadIsTriedTwiceAndCanWaitsBeforeItsFirstRead)
{
    RecordingLogger logger(Logger::Info);
    Adapter i2cAdapter({ text("BBIO1"), text("I2C1"), { 1 }, { 1 }, { 0 }, { 0 } });
    auto i2c = i2cAdapter.open(settingsFor(BusPalSettings::I2c));
    uint8_t byte = 0;
    int32_t actual = 9;
    EXPECT_EQ(i2c->read(&byte, 1, &actual, 0), kStatus_Timeout);
    EXPECT_EQ(actual, 0);
    EXPECT_EQ(logger.count("Initial read on I2C failed, trying again...\n"), 2u);
    EXPECT_EQ(logger.count("Error: bad response to i2c read, response byte 0 = 0x0\n"), 2u);
    EXPECT_EQ(logger.count("Error: Bus Pal read returned 0\n"), 1u);

    g_busPalPauses.clear();
    platform::setPauseHook(recordBusPalPause);
    Adapter canAdapter({ text("BBIO1"), text("CAN1"), { 1 }, { 1 }, { 1 }, { 1, 0x5A }, { 1, 0xA1 } });
    auto can = canAdapter.open(settingsFor(BusPalSettings::Can));
    EXPECT_EQ(can->read(&byte, 1, &actual, 0), kStatus_Success);
    EXPECT_EQ(can->read(&byte, 1, &actual, 0), kStatus_Success);
    EXPECT_EQ(byte, 0xA1);
    platform::setPauseHook(nullptr);
    EXPECT_EQ(g_busPalPauses, std::vector<int64_t>({ 100 }));
}

} // namespace

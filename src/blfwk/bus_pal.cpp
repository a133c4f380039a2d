#include "blfwk/bus_pal.h"

#include "byte_trace.h"

#include "platform/clock.h"

#include "textutil/format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace blfwk {

namespace {

void putLe32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = uint8_t(value >> (8 * i));
}

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = textutil::formatv(format, args);
    va_end(args);
    throw std::runtime_error(message);
}

} // namespace

BusPal::BusPal(platform::SerialPort* port)
    : m_port(port)
{ }

int BusPal::portRead(uint8_t* data, size_t length, const char* open, const char* close)
{
    const int totalMs = UartPeripheral::kReadTotalBaseMs + UartPeripheral::kReadTotalPerByteMs * int(length);
    int count = m_port->read(data, length, totalMs, UartPeripheral::kReadIntervalMs);
    if (count == 0)
        count = m_port->read(data, length, totalMs, UartPeripheral::kReadIntervalMs);
    if (count < 0)
        count = 0;
    if (Log::traceEnabled())
        traceSerialBytes(open, data, count, close);
    return count;
}

bool BusPal::portWrite(const uint8_t* data, size_t length, const char* open, const char* close)
{
    if (Log::traceEnabled())
        traceSerialBytes(open, data, int(length), close);
    return m_port->write(data, length) == int(length);
}

uint8_t* BusPal::readReply(size_t length)
{
    length = std::min(length, kBufferSize);
    size_t done = 0;
    while (done < length) {
        const int n = portRead(m_responseBuffer + done, length - done, "+", "+\n");
        if (n <= 0)
            return nullptr;
        done += size_t(n);
    }
    return m_responseBuffer;
}

uint8_t* BusPal::waitReply(size_t length, int maxAttempts)
{
    // The adapter answers every command; a silent one is given a bounded wait.
    const auto start = platform::now();
    for (int attempt = 1;; ++attempt) {
        if (uint8_t* reply = readReply(length))
            return reply;
        if (maxAttempts && attempt >= maxAttempts)
            return nullptr;
        if (platform::now() - start >= std::chrono::milliseconds(kReplyWaitMs))
            return nullptr;
    }
}

uint8_t BusPal::sendCommand(const uint8_t* bytes, size_t length)
{
    if (!portWrite(bytes, length, "-", "-\n")) {
        Log::error("Error: Bus Pal write command failed\n");
        return 0;
    }
    const uint8_t* reply = waitReply(1);
    return reply ? reply[0] : 0;
}

uint8_t BusPal::sendCommand(uint8_t byte)
{
    return sendCommand(&byte, 1);
}

bool BusPal::sendCommand(uint8_t byte, const char* expectedResponse)
{
    if (!portWrite(&byte, 1, "-", "-\n")) {
        Log::error("Error: Bus Pal write command failed\n");
        return false;
    }
    const size_t length = std::strlen(expectedResponse);
    const uint8_t* reply = waitReply(length);
    return reply && std::memcmp(reply, expectedResponse, length) == 0;
}

uint8_t BusPal::sendWithValue(uint8_t command, uint32_t value)
{
    uint8_t bytes[5] = { command };
    putLe32(bytes + 1, value);
    return sendCommand(bytes, sizeof bytes);
}

bool BusPal::bitBangHandshake()
{
    const uint8_t command = kCmd_BitBang;
    if (!portWrite(&command, 1, "-", "-\n"))
        return false;
    // Waited for like any reply (bounded), and read on after a partial read: a single short
    // read would fail the open whenever the host or the adapter is a little slow.
    const uint8_t* reply = waitReply(5);
    return reply && std::memcmp(reply, "BBIO1", 5) == 0;
}

void BusPal::hardReset()
{
    if (sendCommand(kCmd_HardReset) != kReplyOk)
        Log::error("Error: bad response from hard reset\n");
}

bool BusPal::enterBitBangMode()
{
    Log::info("Entering bit bang mode...\n");
    if (bitBangHandshake()) {
        Log::info("Entered BB mode\n");
        return true;
    }
    Log::error("Error: enter bit bang mode failed\n");
    Log::error("Dumping any remaining data...\n");
    // Bounded: an adapter that never stops talking is not one we can use.
    uint8_t byte = 0;
    for (int i = 0; i < int(kBufferSize) && portRead(&byte, 1, "+", "+\n") == 1; ++i) { }
    return false;
}

bool BusPal::enterSpiMode()
{
    if (!sendCommand(kCmd_SpiMode, "SPI1"))
        return false;
    m_mode = ModeSpi;
    return true;
}

bool BusPal::enterCanMode()
{
    if (!sendCommand(kCmd_CanMode, "CAN1"))
        return false;
    m_mode = ModeCan;
    return true;
}

bool BusPal::enterI2cMode()
{
    if (!sendCommand(kCmd_I2cMode, "I2C1"))
        return false;
    m_mode = ModeI2c;
    return true;
}

bool BusPal::configureGpio(uint8_t port, uint8_t pin, uint8_t mux)
{
    const uint8_t bytes[4] = { kCmd_GpioConfig, port, pin, mux };
    const uint8_t reply = sendCommand(bytes, sizeof bytes);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Gpio Set, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setGpio(uint8_t port, uint8_t pin, uint8_t level)
{
    const uint8_t bytes[4] = { kCmd_GpioSet, port, pin, level };
    const uint8_t reply = sendCommand(bytes, sizeof bytes);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Gpio Set, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setFpgaClock(uint32_t mhz)
{
    const uint8_t reply = sendWithValue(kCmd_FpgaClock, mhz);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to FPGA Set Clock, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setSpiSpeed(uint32_t khz)
{
    const uint8_t reply = sendWithValue(kCmd_SpiSpeed, khz);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Spi Set Speed, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setSpiConfig(uint32_t polarity, uint32_t phase, uint32_t direction)
{
    const uint8_t config = uint8_t(kCmd_SpiConfig + 4 * (polarity & 1) + 2 * (phase & 1) + (direction & 1));
    if (sendCommand(config) != kReplyOk) {
        Log::error("Error: bad response from Set Spi Config\n");
        return false;
    }
    return true;
}

bool BusPal::setI2cAddress(uint8_t address)
{
    const uint8_t bytes[2] = { kCmd_I2cAddress, address };
    const uint8_t reply = sendCommand(bytes, sizeof bytes);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Set I2c Address, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setI2cSpeed(uint32_t khz)
{
    const uint8_t reply = sendWithValue(kCmd_I2cSpeed, khz);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to I2c Set Speed, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setCanSpeed(uint32_t speed)
{
    const uint8_t reply = sendWithValue(kCmd_CanSpeed, speed);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Can Set Speed, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setCanTxid(uint32_t txid)
{
    const uint8_t reply = sendWithValue(kCmd_CanTxid, txid);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Can Set Txid, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::setCanRxid(uint32_t rxid)
{
    const uint8_t reply = sendWithValue(kCmd_CanRxid, rxid);
    if (reply != kReplyOk) {
        Log::error("Error: bad response to Can Set Rxid, response byte = 0x%x\n", reply);
        return false;
    }
    return true;
}

bool BusPal::write(const uint8_t* data, size_t length)
{
    switch (m_mode) {
    case ModeSpi:
        return writeSpi(data, length);
    case ModeI2c:
        return writeI2c(data, length);
    case ModeCan:
        return writeCan(data, length);
    default:
        return false;
    }
}

int BusPal::read(uint8_t* data, size_t length)
{
    switch (m_mode) {
    case ModeSpi:
        return readSpi(data, length);
    case ModeCan:
        return readCan(data, length);
    case ModeI2c: {
        if (length == 0)
            return 0;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int count = readI2c(data, length);
            if (count > 0)
                return count;
            Log::info("Initial read on I2C failed, trying again...\n");
        }
        return 0;
    }
    default:
        return 0;
    }
}

bool BusPal::transferWrite(uint8_t opcode, const uint8_t* data, size_t length, const char* name)
{
    length = std::min(length, kBufferSize);
    const uint8_t header[5] = { opcode, uint8_t(length & 0xFF), uint8_t(length >> 8), 0, 0 };
    if (!portWrite(header, sizeof header, "-", "-\n") || !portWrite(data, length, "[", "]\n")) {
        Log::error("Error: Bus Pal %s write command failed\n", name);
        return false;
    }
    // After a CAN write the adapter is asked twice at most.
    const uint8_t* reply = waitReply(1, opcode == kCmd_CanTransfer ? 2 : 0);
    if (!reply)
        return false;
    if (reply[0] != kReplyOk) {
        Log::error("Error: bad response to %s write, response byte = 0x%x\n", name, reply[0]);
        return false;
    }
    return true;
}

int BusPal::transferRead(uint8_t opcode, uint8_t* data, size_t length, const char* name)
{
    length = std::min(length, kBufferSize);
    const uint8_t header[5] = { opcode, 0, 0, uint8_t(length & 0xFF), uint8_t(length >> 8) };
    if (!portWrite(header, sizeof header, "-", "-\n")) {
        if (opcode == kCmd_I2cTransfer)
            Log::error("Error: Bus Pal i2c read command failed\n");
        else
            Log::error("Error: Bus Pal read %s command failed\n", name);
        return 0;
    }
    const uint8_t* reply = waitReply(1);
    if (!reply || reply[0] != kReplyOk) {
        Log::error("Error: bad response to %s read, response byte 0 = 0x%x\n", name, reply ? reply[0] : 0);
        return 0;
    }
    size_t done = 0;
    while (done < length) {
        const int n = portRead(data + done, length - done, "<", ">\n");
        if (n <= 0)
            return 0;
        done += size_t(n);
    }
    return int(length);
}

bool BusPal::writeSpi(const uint8_t* data, size_t length)
{
    return transferWrite(kCmd_SpiTransfer, data, length, "spi");
}

bool BusPal::writeI2c(const uint8_t* data, size_t length)
{
    return transferWrite(kCmd_I2cTransfer, data, length, "i2c");
}

bool BusPal::writeCan(const uint8_t* data, size_t length)
{
    return transferWrite(kCmd_CanTransfer, data, length, "can");
}

int BusPal::readSpi(uint8_t* data, size_t length)
{
    return transferRead(kCmd_SpiTransfer, data, length, "spi");
}

int BusPal::readCan(uint8_t* data, size_t length)
{
    if (m_canReadDelayMs) {
        platform::pause(platform::Milliseconds(m_canReadDelayMs));
        m_canReadDelayMs = 0;
    }
    return transferRead(kCmd_CanTransfer, data, length, "can");
}

int BusPal::readI2c(uint8_t* data, size_t length)
{
    return transferRead(kCmd_I2cTransfer, data, length, "i2c");
}

BusPalUartPeripheral::BusPalUartPeripheral(const char* port, long speed, const BusPalSettings& settings)
    : UartPeripheral(port, speed)
{
    configure(settings);
}

BusPalUartPeripheral::BusPalUartPeripheral(
    std::unique_ptr<platform::SerialPort> port, const BusPalSettings& settings)
    : UartPeripheral(std::move(port))
{
    configure(settings);
}

void BusPalUartPeripheral::configure(const BusPalSettings& s)
{
    m_busPal = std::make_unique<BusPal>(port());
    if (!m_busPal->enterBitBangMode()) {
        m_busPal.reset();
        fail("Error: BusPalUartPeripheral() cannot enter BitBang Mode.");
    }
    BusPal& bp = *m_busPal;
    switch (s.function) {
    case BusPalSettings::Spi:
        if (!bp.enterSpiMode())
            fail("Error: BusPalUartPeripheral() cannot enter SPI Mode.");
        if (!bp.setSpiSpeed(uint32_t(s.spiSpeedKhz)))
            fail("Error: BusPalUartPeripheral() cannot set SPI speed(%d kHz).", s.spiSpeedKhz);
        if (!bp.setSpiConfig(uint32_t(s.spiPolarity), uint32_t(s.spiPhase), uint32_t(s.spiDirection)))
            fail("Error: BusPalUartPeripheral() cannot set SPI polarity(%s(%d)), phase(%s(%d)), and "
                 "direction(%s(%d)).",
                s.spiPolarity ? "ActiveLow" : "ActiveHigh", s.spiPolarity,
                s.spiPhase ? "SecondEdge" : "FirstEdge", s.spiPhase,
                s.spiDirection == 1 ? "LsbFirst" : "MsbFirst", s.spiDirection);
        break;
    case BusPalSettings::I2c:
        if (!bp.enterI2cMode())
            fail("Error: BusPalUartPeripheral() cannot enter I2C Mode.");
        if (!bp.setI2cAddress(s.i2cAddress))
            fail("Error: BusPalUartPeripheral() cannot set I2C address %02X.", s.i2cAddress);
        if (!bp.setI2cSpeed(uint32_t(s.i2cSpeedKhz)))
            fail("Error: BusPalUartPeripheral() cannot set I2C speed(%d KHz).", s.i2cSpeedKhz);
        break;
    case BusPalSettings::Can:
        if (!bp.enterCanMode())
            fail("Error: BusPalUartPeripheral() cannot enter CAN Mode.");
        if (!bp.setCanSpeed(uint32_t(s.canSpeed)))
            fail("Error: BusPalUartPeripheral() cannot set CAN speed(%d).", s.canSpeed);
        if (!bp.setCanTxid(uint32_t(s.canTxid)))
            fail("Error: BusPalUartPeripheral() cannot set CAN txid(0x%x).", s.canTxid);
        if (!bp.setCanRxid(uint32_t(s.canRxid)))
            fail("Error: BusPalUartPeripheral() cannot set CAN rxid(0x%x).", s.canRxid);
        break;
    case BusPalSettings::GpioConfig:
        if (!bp.enterBitBangMode())
            fail("Error: BusPalUartPeripheral() cannot enter Bitbang mode for GPIO setting.");
        if (!bp.configureGpio(uint8_t(s.gpioPort), s.gpioPin, s.gpioMux))
            fail("Error: BusPalUartPeripheral() cannot configure GPIO %c,%02X,%02X", s.gpioPort, s.gpioPin,
                s.gpioMux);
        break;
    case BusPalSettings::GpioSet:
        if (!bp.enterBitBangMode())
            fail("Error: BusPalUartPeripheral() cannot enter Bitbang mode for GPIO setting.");
        if (!bp.setGpio(uint8_t(s.gpioPort), s.gpioPin, s.gpioLevel))
            fail("Error: BusPalUartPeripheral() cannot set GPIO %c,%02X,%02X", s.gpioPort, s.gpioPin,
                s.gpioLevel);
        break;
    case BusPalSettings::FpgaClock:
        if (!bp.enterBitBangMode())
            fail("Error: BusPalUartPeripheral() cannot enter Bitbang mode for FPGA clock setting.");
        if (!bp.setFpgaClock(uint32_t(s.fpgaClockMhz)))
            fail("Error: BusPalUartPeripheral() cannot set FPGA clock to %2d MHz", s.fpgaClockMhz);
        break;
    default:
        fail("Unsupported BusPal function type");
    }
}

status_t BusPalUartPeripheral::read(uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t)
{
    if (!buffer)
        return kStatus_InvalidArgument;
    const int count = m_busPal->read(buffer, requestedBytes);
    if (actualBytes)
        *actualBytes = count;
    if (count >= int(requestedBytes))
        return kStatus_Success;
    Log::error("Error: Bus Pal read returned 0\n");
    return kStatus_Timeout;
}

status_t BusPalUartPeripheral::write(const uint8_t* buffer, uint32_t byteCount)
{
    if (!buffer)
        return kStatus_InvalidArgument;
    for (uint32_t done = 0; done < byteCount;) {
        const uint32_t piece = std::min<uint32_t>(byteCount - done, uint32_t(BusPal::kBufferSize));
        if (!m_busPal->write(buffer + done, piece))
            return kStatus_Fail;
        done += piece;
    }
    return kStatus_Success;
}

} // namespace blfwk

#pragma once
// A bus-bridge adapter on a serial port: a small byte-coded command set brings it into
// SPI, I2C or CAN mode (or drives a GPIO pin or an FPGA clock), and its transfer commands
// then carry the bootloader's framed byte stream to and from the target. BusPalUartPeripheral
// opens the port, configures the adapter from a BusPalSettings record and moves the
// packetizer's bytes through the transfers.

#include "blfwk/bootloader.h"
#include "blfwk/uart_peripheral.h"

#include <memory>

namespace blfwk {

class BusPal {
public:
    enum Mode : int32_t { ModeNone = 0, ModeSpi = 1, ModeI2c = 2, ModeCan = 3 };
    enum : uint8_t {
        kCmd_BitBang = 0x00,
        kCmd_SpiMode = 0x01,
        kCmd_I2cMode = 0x02,
        kCmd_CanMode = 0x07,
        kCmd_HardReset = 0x0F,
        kCmd_FpgaClock = 0x20,
        kCmd_GpioConfig = 0x40,
        kCmd_GpioSet = 0x80,
        kCmd_SpiSpeed = 0x60,
        kCmd_SpiConfig = 0x80,
        kCmd_I2cAddress = 0x70,
        kCmd_I2cSpeed = 0x60,
        kCmd_CanSpeed = 0x40,
        kCmd_CanTxid = 0x30,
        kCmd_CanRxid = 0x20,
        kCmd_SpiTransfer = 0x04,
        kCmd_I2cTransfer = 0x08,
        kCmd_CanTransfer = 0x03,
        kReplyOk = 0x01,
    };
    static constexpr size_t kBufferSize = 4096; // largest transfer, and the reply buffer
    static constexpr int kReplyWaitMs = 2000; // how long a command waits for the adapter's reply
    static constexpr uint32_t kFirstCanReadDelayMs = 100;

    // Talks through the port; does not own it.
    explicit BusPal(platform::SerialPort* port);
    virtual ~BusPal() = default;
    BusPal(const BusPal&) = delete;
    BusPal& operator=(const BusPal&) = delete;

    virtual bool bitBangHandshake();
    virtual void hardReset();
    virtual bool enterBitBangMode();
    virtual bool enterSpiMode();
    virtual bool enterCanMode();
    virtual bool enterI2cMode();
    virtual bool configureGpio(uint8_t port, uint8_t pin, uint8_t mux);
    virtual bool setGpio(uint8_t port, uint8_t pin, uint8_t level);
    virtual bool setFpgaClock(uint32_t mhz);
    virtual bool setSpiSpeed(uint32_t khz);
    virtual bool setSpiConfig(uint32_t polarity, uint32_t phase, uint32_t direction);
    virtual bool setI2cAddress(uint8_t address);
    virtual bool setI2cSpeed(uint32_t khz);
    virtual bool setCanSpeed(uint32_t speed);
    virtual bool setCanTxid(uint32_t txid);
    virtual bool setCanRxid(uint32_t rxid);
    // Exactly min(length, 4096) bytes into the reply buffer; nullptr when a read yields nothing.
    virtual uint8_t* readReply(size_t length);
    // The transfers of the current mode; false / 0 while no mode is set.
    virtual bool write(const uint8_t* data, size_t length);
    virtual int read(uint8_t* data, size_t length);

    Mode mode() const { return m_mode; }

protected:
    // Writes the bytes and returns the one-byte reply; 0 when the write or the wait failed.
    virtual uint8_t sendCommand(const uint8_t* bytes, size_t length);
    virtual uint8_t sendCommand(uint8_t byte);
    // Writes one byte and compares the reply text.
    virtual bool sendCommand(uint8_t byte, const char* expectedResponse);
    virtual bool writeSpi(const uint8_t* data, size_t length);
    virtual bool writeI2c(const uint8_t* data, size_t length);
    virtual bool writeCan(const uint8_t* data, size_t length);
    virtual int readSpi(uint8_t* data, size_t length);
    virtual int readCan(uint8_t* data, size_t length);
    virtual int readI2c(uint8_t* data, size_t length);

private:
    int portRead(uint8_t* data, size_t length, const char* open, const char* close);
    bool portWrite(const uint8_t* data, size_t length, const char* open, const char* close);
    // Asks readReply again until a reply comes or the wait is over (maxAttempts 0: no count).
    uint8_t* waitReply(size_t length, int maxAttempts = 0);
    uint8_t sendWithValue(uint8_t command, uint32_t value);
    bool transferWrite(uint8_t opcode, const uint8_t* data, size_t length, const char* name);
    int transferRead(uint8_t opcode, uint8_t* data, size_t length, const char* name);

    platform::SerialPort* m_port;
    uint8_t m_responseBuffer[kBufferSize] = {};
    Mode m_mode = ModeNone;
    uint32_t m_canReadDelayMs = kFirstCanReadDelayMs;
};

class BusPalUartPeripheral : public UartPeripheral {
public:
    // Opens the port and configures the adapter; throws std::runtime_error when either fails.
    BusPalUartPeripheral(const char* port, long speed, const BusPalSettings& settings);
    // Over a port already open (tests).
    BusPalUartPeripheral(std::unique_ptr<platform::SerialPort> port, const BusPalSettings& settings);

    // 0 when every requested byte came through, else kStatus_Timeout.
    status_t read(
        uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t timeoutMs) override;
    // In transfers of at most 4096 bytes; kStatus_Fail as soon as one fails.
    status_t write(const uint8_t* buffer, uint32_t byteCount) override;

    BusPal* busPal() const { return m_busPal.get(); }

private:
    void configure(const BusPalSettings& settings);

    std::unique_ptr<BusPal> m_busPal;
};

} // namespace blfwk

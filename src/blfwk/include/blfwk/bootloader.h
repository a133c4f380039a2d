#pragma once
// One connection to a device bootloader over the transport a PeripheralConfig names. It owns
// the packetizer (and through it the peripheral) and runs commands over it. The first
// connection of a process that finds no logger installed installs a FileLogger at Trace.

#include "blfwk/command.h"
#include "blfwk/logger.h"
#include "blfwk/packetizer.h"

#include <string>

namespace blfwk {

// Settings of a bus bridge on a serial port.
struct BusPalSettings {
    enum Function : int32_t {
        None = 0,
        Spi = 1,
        I2c = 2,
        Can = 3,
        GpioConfig = 4,
        GpioSet = 5,
        FpgaClock = 6
    };
    int32_t function = None;
    int32_t spiSpeedKhz = 100;
    int32_t spiPolarity = 1;
    int32_t spiPhase = 1;
    int32_t spiDirection = 0;
    uint8_t i2cAddress = 0x10;
    int32_t i2cSpeedKhz = 100;
    int32_t canSpeed = 4;
    int32_t canTxid = 0x321;
    int32_t canRxid = 0x123;
    char gpioPort = 0;
    uint8_t gpioPin = 0;
    uint8_t gpioLevel = 0;
    uint8_t gpioMux = 0;
    int32_t fpgaClockMhz = 0;
};

struct PeripheralConfig {
    enum Kind : int32_t { PeripheralUart = 1, PeripheralBusPalUart = 2, PeripheralUsbHid = 3 };

    // Only the texts and the bridge settings have defaults; the caller sets the rest.
    int32_t peripheralKind;
    std::string portName;
    int32_t baudRate;
    int32_t packetTimeoutMs;
    uint16_t usbVendorId;
    uint16_t usbProductId;
    bool pingOnOpen;
    BusPalSettings busPal;
};

class Bootloader {
public:
    // Opens the connection; throws std::runtime_error when the transport cannot be opened or
    // is not supported.
    explicit Bootloader(const PeripheralConfig& config);
    virtual ~Bootloader();
    Bootloader(const Bootloader&) = delete;
    Bootloader& operator=(const Bootloader&) = delete;

    // Runs the command; its outcome is read from the command afterwards.
    void inject(Command& cmd);
    void flush();

    // Serial connections only: pings the target; throws on failure. Returns at once otherwise.
    void ping(int retries, unsigned int delay, int comSpeed);

    // Convenience operations: throw std::runtime_error with the status text on failure.
    void execute(uint32_t entry_point, uint32_t param = 0, uint32_t stack_pointer = 0);
    void reset();
    uint32_t getCurrentVersion();
    uint32_t getSecurityState();

    Packetizer* getPacketizer() const { return m_packetizer; }
    // The logger this connection created and installed, or nullptr.
    FileLogger* getLogger() const { return m_logger; }

private:
    uint32_t getPropertyWord(uint8_t propertyValue);

    Packetizer* m_packetizer = nullptr;
    FileLogger* m_logger = nullptr;
};

} // namespace blfwk

#pragma once
// The bootloader face on a serial line: a pseudo-terminal whose slave end a host opens like
// any serial port. Behind it either the device's bootloader speaks the serial framing
// directly, or a bus-bridge adapter in bit-bang command mode stands in front of it and passes
// the framed bytes through its SPI, I2C or CAN transfers.

#include "device.h"
#include "framing_target.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace devsim {

struct SerialFaceConfig {
    std::string linkPath; // a symbolic link to the slave made here (replaced if it is a link); empty: none
    bool busPal = false; // a bridge in front of the bootloader
    int baudRate = 0; // paces the line at this many bit/s (10 bits a byte); 0: as fast as it goes
};

// The adapter's command set on the device side: everything the host writes goes in, the
// adapter's replies come out; transfers carry bytes to and from the framing target.
class BusPalBridge {
public:
    enum class Mode { Off, BitBang, Spi, I2c, Can };

    explicit BusPalBridge(FramingTarget& target);
    void receive(const uint8_t* data, size_t length);
    std::deque<uint8_t>& output() { return m_output; }
    Mode mode() const { return m_mode; }

private:
    // Carries out the command at the front of m_input; 0 when it is not complete yet.
    size_t parseOne();
    // The bus mode's transfer: write bytes to the target, read its answer back.
    size_t transfer();
    // A command answered 0x01 once its n value bytes are there.
    size_t withValue(size_t n);
    void reply(const char* text);
    void replyByte(uint8_t byte) { m_output.push_back(byte); }

    FramingTarget& m_target;
    Mode m_mode = Mode::Off;
    Bytes m_input;
    std::deque<uint8_t> m_output;
};

class SerialFace {
public:
    SerialFace(Device& device, SerialFaceConfig config);
    ~SerialFace();
    SerialFace(const SerialFace&) = delete;
    SerialFace& operator=(const SerialFace&) = delete;

    // Opens the pseudo-terminal, makes the link and starts serving.
    bool start(std::string* error);
    void stop();
    const std::string& slavePath() const { return m_slavePath; }

private:
    void run();
    // The time bytes take on the paced line (zero when unpaced).
    std::chrono::steady_clock::duration lineTime(size_t bytes) const;

    Device& m_device;
    SerialFaceConfig m_config;
    int m_master = -1;
    int m_slave = -1; // held open so the line stays up between hosts
    std::string m_slavePath;
    bool m_linked = false;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

} // namespace devsim

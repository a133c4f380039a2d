#pragma once
// Serial ports: the byte stream under the bootloader's serial transports. A port is opened
// exclusively, set to the given baud rate with 8 data bits, no parity, one stop bit and no flow
// control, and read with two time limits. The Linux backend is termios; tests install an opener
// of their own and run the same transports over an in-memory byte pipe.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Reads up to length bytes. Returns once all have arrived, once totalMs have passed since
    // the call, or once intervalMs have passed after a byte without the next one. totalMs 0
    // takes only what has already arrived. Returns the count obtained, -1 when the port failed
    // (the peer hung up, the device went away).
    virtual int read(uint8_t* buffer, size_t length, int totalMs, int intervalMs) = 0;

    // Writes every byte and waits until they have left. Returns the count written, -1 on failure.
    virtual int write(const uint8_t* data, size_t length) = 0;
};

// Opens a port. A name without a leading '/' is looked up under /dev/ ("ttyUSB0" is
// "/dev/ttyUSB0"). Returns nullptr with a reason in *error (when given) if the port does not
// exist, is held by another program or is not a terminal. Line settings that the device
// refuses do not fail the open.
std::unique_ptr<SerialPort> openSerialPort(
    const std::string& name, int baudRate, std::string* error = nullptr);

// Installs the opener openSerialPort() uses for the whole process (tests); nullptr restores the
// platform's own.
using SerialPortOpener
    = std::unique_ptr<SerialPort> (*)(const std::string& name, int baudRate, std::string* error);
void setSerialPortOpener(SerialPortOpener opener);

} // namespace platform

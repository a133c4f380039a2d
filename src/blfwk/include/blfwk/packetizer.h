#pragma once
// The two transport interfaces: a Peripheral moves raw bytes or reports, a Packetizer carries
// whole bootloader packets (command, response and data packets) over one.

#include "blfwk/protocol_tables.h"

#include <cstdint>

namespace blfwk {

// Which kind of packet an operation moves. Any other value is refused.
enum class PacketType : int32_t {
    Command = 0, // command and response packets
    Data = 1, // data-phase packets
};

class Peripheral {
public:
    virtual ~Peripheral() = default;
    // Reads up to requestedBytes; stores the count obtained (-1 after a failure) in actualBytes
    // when given. Returns 0, kStatus_Fail or kStatus_Timeout.
    virtual status_t read(uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t timeoutMs)
        = 0;
    virtual status_t write(const uint8_t* buffer, uint32_t byteCount) = 0;
};

class Packetizer {
public:
    // Takes ownership of the peripheral.
    Packetizer(Peripheral* peripheral, uint32_t packetTimeoutMs);
    virtual ~Packetizer();
    Packetizer(const Packetizer&) = delete;
    Packetizer& operator=(const Packetizer&) = delete;

    // On success *packet points into the packetizer's own buffer until its next read.
    virtual status_t readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) = 0;
    virtual status_t writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) = 0;
    virtual status_t abortPacket() = 0;
    virtual status_t sync() = 0; // after a failed data-packet read
    virtual status_t finalize() = 0; // when the connection is flushed
    virtual status_t pump() = 0; // before each data-packet read
    virtual uint32_t getMaxPacketSize() = 0;
    virtual Peripheral* getPeripheral() { return m_peripheral; }

    // While on, the packetizer checks for a receiver abort before each data packet it sends.
    void setAbortEnabled(bool enabled) { m_isAbortEnabled = enabled; }
    bool isAbortEnabled() const { return m_isAbortEnabled; }
    uint32_t getVersion() const { return m_version; }
    uint16_t getOptions() const { return m_options; }
    uint32_t getPacketTimeoutMs() const { return m_packetTimeoutMs; }

protected:
    Peripheral* m_peripheral;
    uint32_t m_version = 0; // framing protocol version a serial ping reports
    uint16_t m_options = 0;
    uint32_t m_packetTimeoutMs;
    bool m_isAbortEnabled = false;
};

} // namespace blfwk

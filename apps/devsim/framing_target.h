#pragma once
// The device end of the serial framing: bytes from the host are parsed into framing packets,
// checked, acknowledged and handed to the device's bootloader face as the reports it already
// understands; its response and data reports go back as framing packets, one at a time, each
// waiting for the host's Ack (a Nak resends it). A ping is answered with the device's framing
// version. Nothing here blocks: the caller feeds bytes in, calls poll() and takes bytes out.

#include "device.h"

#include <chrono>
#include <cstdint>
#include <deque>

namespace devsim {

class FramingTarget {
public:
    static constexpr uint32_t kPingVersion = 0x50010200; // 'P' 1.2.0
    static constexpr size_t kMaxPayload = 32;
    static constexpr int kByteGapMs = 1000; // a packet whose bytes stop for longer is dropped

    explicit FramingTarget(Device& device);
    ~FramingTarget();
    FramingTarget(const FramingTarget&) = delete;
    FramingTarget& operator=(const FramingTarget&) = delete;

    // Bytes that arrived from the host.
    void receive(const uint8_t* data, size_t length);
    // Takes what the device has produced since and starts the next framing packet when the
    // host has acknowledged the last one.
    void poll();
    // What goes to the host, oldest first.
    std::deque<uint8_t>& output() { return m_output; }

    // Counters for tests and the status line.
    unsigned packetsIn() const { return m_packetsIn; }
    unsigned naksSent() const { return m_naksSent; }

private:
    enum class State { Idle, Type, Header, Payload };

    bool ensureHandle();
    void dropHandle();
    void collectReports();
    void onPacket(uint8_t type, const uint8_t* payload, size_t length);
    void onSync(uint8_t type);
    void sendNextFrame();
    void appendSync(uint8_t type);
    void appendPingResponse();

    Device& m_device;
    int m_handle = -1;
    std::chrono::steady_clock::time_point m_lastLookup {};

    State m_state = State::Idle;
    uint8_t m_header[6] = {};
    size_t m_got = 0;
    uint8_t m_payload[kMaxPayload] = {};
    size_t m_length = 0;
    std::chrono::steady_clock::time_point m_lastByte {};

    std::deque<Bytes> m_reports; // from the device, not yet framed
    Bytes m_lastFrame; // the framing packet the host has not acknowledged yet
    bool m_awaitingAck = false;
    std::deque<uint8_t> m_output;
    unsigned m_packetsIn = 0;
    unsigned m_naksSent = 0;
};

} // namespace devsim

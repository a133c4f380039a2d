#include "framing_target.h"

#include "bootloader_protocol.h"

#include "crc/crc16.h"

#include <json/value.h>

namespace devsim {

namespace {

constexpr uint8_t kStart = 0x5A;
constexpr uint8_t kAck = 0xA1;
constexpr uint8_t kNak = 0xA2;
constexpr uint8_t kAckAbort = 0xA3;
constexpr uint8_t kCommand = 0xA4;
constexpr uint8_t kData = 0xA5;
constexpr uint8_t kPing = 0xA6;
constexpr uint8_t kPingResponse = 0xA7;

uint16_t crcOf(const uint8_t* a, size_t na, const uint8_t* b, size_t nb)
{
    Crc16State state;
    crc16_init(&state);
    crc16_update(&state, a, uint32_t(na));
    crc16_update(&state, b, uint32_t(nb));
    uint16_t crc = 0;
    crc16_finalize(&state, &crc);
    return crc;
}

} // namespace

FramingTarget::FramingTarget(Device& device)
    : m_device(device)
{ }

FramingTarget::~FramingTarget()
{
    dropHandle();
}

bool FramingTarget::ensureHandle()
{
    if (m_handle >= 0)
        return true;
    // The device may be away or showing its application; look again now and then.
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastLookup < std::chrono::milliseconds(50))
        return false;
    m_lastLookup = now;
    const Json::Value state = m_device.state();
    if (!state["present"].asBool() || state["face"].asString() == "application")
        return false;
    m_handle = m_device.openHandle(state["vid"].asUInt(), state["pid"].asUInt());
    return m_handle >= 0;
}

void FramingTarget::dropHandle()
{
    if (m_handle >= 0)
        m_device.closeHandle(m_handle);
    m_handle = -1;
}

void FramingTarget::collectReports()
{
    if (m_handle < 0)
        return;
    for (;;) {
        Bytes report;
        std::string error;
        if (!m_device.read(m_handle, bl::kReportSize, 0, report, error, {})) {
            dropHandle(); // the device left: what it had sent was delivered first
            return;
        }
        if (report.empty())
            return;
        m_reports.push_back(std::move(report));
    }
}

void FramingTarget::receive(const uint8_t* data, size_t length)
{
    const auto now = std::chrono::steady_clock::now();
    if (m_state != State::Idle && now - m_lastByte > std::chrono::milliseconds(kByteGapMs))
        m_state = State::Idle; // the rest of that packet never came
    if (length)
        m_lastByte = now;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        switch (m_state) {
        case State::Idle:
            if (byte == kStart)
                m_state = State::Type;
            break; // anything else between packets is noise
        case State::Type:
            if (byte == kCommand || byte == kData) {
                m_header[0] = kStart;
                m_header[1] = byte;
                m_got = 2;
                m_state = State::Header;
            } else {
                m_state = State::Idle;
                onSync(byte);
            }
            break;
        case State::Header:
            m_header[m_got++] = byte;
            if (m_got == 6) {
                m_length = size_t(m_header[2]) | size_t(m_header[3]) << 8;
                if (m_length > kMaxPayload) {
                    // No packet is that long: the header itself was damaged.
                    appendSync(kNak);
                    ++m_naksSent;
                    m_state = State::Idle;
                } else if (m_length == 0) {
                    m_state = State::Idle;
                    onPacket(m_header[1], m_payload, 0);
                } else {
                    m_got = 0;
                    m_state = State::Payload;
                }
            }
            break;
        case State::Payload:
            m_payload[m_got++] = byte;
            if (m_got == m_length) {
                m_state = State::Idle;
                onPacket(m_header[1], m_payload, m_length);
            }
            break;
        }
    }
}

void FramingTarget::onSync(uint8_t type)
{
    switch (type) {
    case kAck:
        m_awaitingAck = false;
        break;
    case kNak:
        if (m_awaitingAck)
            m_output.insert(m_output.end(), m_lastFrame.begin(), m_lastFrame.end());
        break;
    case kAckAbort:
        // The host abandons the data phase: what data was still to go is dropped.
        m_awaitingAck = false;
        for (auto it = m_reports.begin(); it != m_reports.end();)
            it = (*it)[0] == bl::kReportDataIn ? m_reports.erase(it) : it + 1;
        break;
    case kPing:
        // A host (re)opening the link: whatever was under way is over.
        m_awaitingAck = false;
        m_reports.clear();
        m_output.clear();
        if (ensureHandle())
            appendPingResponse();
        break;
    default:
        break; // not a packet type: noise
    }
}

void FramingTarget::onPacket(uint8_t type, const uint8_t* payload, size_t length)
{
    const uint16_t received = uint16_t(m_header[4] | m_header[5] << 8);
    if (crcOf(m_header, 4, payload, length) != received) {
        appendSync(kNak);
        ++m_naksSent;
        return;
    }
    ++m_packetsIn;
    if (type == kCommand) {
        // A new command means the host has moved on from anything it left unacknowledged.
        m_awaitingAck = false;
        collectReports();
        m_reports.clear();
    }
    if (!ensureHandle())
        return; // no bootloader behind the line: silence, as a device that is away gives

    collectReports();
    Bytes report(bl::kReportSize, 0);
    report[0] = type == kCommand ? bl::kReportCommand : bl::kReportDataOut;
    report[2] = uint8_t(length);
    std::copy(payload, payload + length, report.begin() + 4);
    int written = 0;
    std::string error;
    const bool accepted = m_device.write(m_handle, report, written, error);
    if (!accepted && error != kDataPhaseAbortedError) {
        dropHandle();
        return;
    }
    collectReports();
    // A device that gives up a data phase refuses the packet and says so in its acknowledgement;
    // its abort status follows as the response.
    appendSync(accepted ? kAck : kAckAbort);
    sendNextFrame();
}

void FramingTarget::poll()
{
    collectReports();
    sendNextFrame();
}

void FramingTarget::sendNextFrame()
{
    if (m_awaitingAck || m_reports.empty())
        return;
    const Bytes report = std::move(m_reports.front());
    m_reports.pop_front();
    const size_t length = std::min<size_t>(size_t(report[2]) | size_t(report[3]) << 8, kMaxPayload);
    m_lastFrame.assign(6, 0);
    m_lastFrame[0] = kStart;
    m_lastFrame[1] = report[0] == bl::kReportResponse ? kCommand : kData;
    m_lastFrame[2] = uint8_t(length);
    m_lastFrame[3] = 0;
    const uint16_t crc = crcOf(m_lastFrame.data(), 4, report.data() + 4, length);
    m_lastFrame[4] = uint8_t(crc & 0xFF);
    m_lastFrame[5] = uint8_t(crc >> 8);
    m_lastFrame.insert(m_lastFrame.end(), report.begin() + 4, report.begin() + 4 + long(length));
    m_output.insert(m_output.end(), m_lastFrame.begin(), m_lastFrame.end());
    m_awaitingAck = true;
}

void FramingTarget::appendSync(uint8_t type)
{
    m_output.push_back(kStart);
    m_output.push_back(type);
}

void FramingTarget::appendPingResponse()
{
    uint8_t bytes[10] = { kStart, kPingResponse };
    for (int i = 0; i < 4; ++i)
        bytes[2 + i] = uint8_t(kPingVersion >> (8 * i));
    const uint16_t crc = crcOf(bytes, 8, nullptr, 0);
    bytes[8] = uint8_t(crc & 0xFF);
    bytes[9] = uint8_t(crc >> 8);
    m_output.insert(m_output.end(), bytes, bytes + sizeof bytes);
}

} // namespace devsim

#include "blfwk/serial_packetizer.h"

#include "blfwk/logger.h"

#include "crc/crc16.h"
#include "platform/clock.h"

#include <chrono>
#include <cstring>

namespace blfwk {

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(platform::now() - start).count();
    return double(ms) / 1000.0;
}

uint16_t framingCrc(const uint8_t* header, uint32_t headerLength, const uint8_t* payload, uint32_t length)
{
    Crc16State crcInfo;
    crc16_init(&crcInfo);
    crc16_update(&crcInfo, header, headerLength);
    crc16_update(&crcInfo, payload, length);
    uint16_t crc = 0;
    crc16_finalize(&crcInfo, &crc);
    return crc;
}

uint16_t pingResponseCrc(const uint8_t record[8])
{
    const uint8_t header[2] = { kFramingPacketStartByte, kFramingPacketType_PingResponse };
    return framingCrc(header, sizeof header, record, 6);
}

} // namespace

SerialPacketizer::SerialPacketizer(UartPeripheral* peripheral, uint32_t packetTimeoutMs)
    : Packetizer(peripheral, packetTimeoutMs)
{ }

status_t SerialPacketizer::sendSyncPacket(uint8_t type)
{
    m_serialContext.isBackToBackWrite = true;
    const uint8_t packet[2] = { kFramingPacketStartByte, type };
    const status_t status = m_peripheral->write(packet, sizeof packet);
    if (status != kStatus_Success)
        Log::error("Error: cannot send sync packet 0x%x, status = 0x%x\r\n", type, status);
    return status;
}

status_t SerialPacketizer::sendOwedAck()
{
    if (m_serialContext.isAckNeeded) {
        m_serialContext.isAckNeeded = false;
        return sendSyncPacket(kFramingPacketType_Ack);
    }
    if (m_serialContext.isAckAbortNeeded) {
        m_serialContext.isAckAbortNeeded = false;
        return sendSyncPacket(kFramingPacketType_AckAbort);
    }
    return kStatus_Success;
}

status_t SerialPacketizer::abortPacket()
{
    if (!m_serialContext.isAckNeeded)
        return kStatus_Success;
    m_serialContext.isAckAbortNeeded = true;
    m_serialContext.isAckNeeded = false;
    return kStatus_Success;
}

status_t SerialPacketizer::readStartByte()
{
    const auto start = platform::now();
    const double limit = double(m_packetTimeoutMs) / 1000.0;
    for (;;) {
        uint8_t byte = 0;
        const status_t status = m_peripheral->read(&byte, 1, nullptr, m_packetTimeoutMs);
        if (status == kStatus_Success && byte == kFramingPacketStartByte)
            return kStatus_Success;
        if (status != kStatus_Success && status != kStatus_Timeout)
            return status;
        const double elapsed = secondsSince(start);
        if (!(elapsed < limit)) {
            Log::error("Error: read_start_byte() timedout after %2.3f seconds\n", elapsed);
            return kStatus_Timeout;
        }
        platform::pause(platform::Milliseconds(kPollPauseMs));
    }
}

status_t SerialPacketizer::readHeader(uint8_t* type)
{
    if (const status_t status = readStartByte())
        return status;
    return m_peripheral->read(type, 1, nullptr, m_packetTimeoutMs);
}

status_t SerialPacketizer::writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type)
{
    if (!packet || byteCount > kMaxPacketSize) {
        Log::error("Error: invalid packet or packet size %d\r\n", int(byteCount));
        return kStatus_InvalidArgument;
    }
    if (const status_t status = sendOwedAck())
        return status;
    if (m_serialContext.isBackToBackWrite) {
        // The peer needs a moment between our sync packet and the next framing packet.
        m_serialContext.isBackToBackWrite = false;
        platform::pause(platform::Milliseconds(kBackToBackPauseMs));
    }

    uint8_t* frame = m_serialContext.frame;
    frame[0] = kFramingPacketStartByte;
    frame[1] = type == PacketType::Command ? kFramingPacketType_Command : kFramingPacketType_Data;
    frame[2] = uint8_t(byteCount & 0xFF);
    frame[3] = uint8_t(byteCount >> 8);
    std::memcpy(frame + kFramingHeaderSize, packet, byteCount);
    const uint16_t crc = framingCrc(frame, 4, packet, byteCount);
    frame[4] = uint8_t(crc & 0xFF);
    frame[5] = uint8_t(crc >> 8);
    m_serialContext.frameLength = kFramingHeaderSize + byteCount;

    if (const status_t status = m_peripheral->write(frame, m_serialContext.frameLength))
        return status;
    return waitForAck();
}

status_t SerialPacketizer::waitForAck()
{
    for (uint32_t naks = 0;;) {
        uint8_t type = 0;
        if (const status_t status = readHeader(&type))
            return status;
        switch (type) {
        case kFramingPacketType_Ack:
            return kStatus_Success;
        case kFramingPacketType_AckAbort:
            return kStatus_AbortDataPhase;
        case kFramingPacketType_Nak:
            // Every Nak is answered by the same framing packet, but a line that corrupts
            // every copy must not hold the host forever.
            if (++naks > kMaxResends) {
                Log::error("Error: packet refused %u times, giving up\r\n", naks);
                return kStatus_InvalidCRC;
            }
            if (const status_t status
                = m_peripheral->write(m_serialContext.frame, m_serialContext.frameLength))
                return status;
            break;
        default:
            Log::error("Error: Unexpected sync byte 0x%x received, expected Ack, AckAbort or Nak\r\n", type);
            return kStatus_InvalidPacketType;
        }
    }
}

status_t SerialPacketizer::readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type)
{
    if (!packet || !packetLength) {
        Log::error("Error: invalid packet\r\n");
        return kStatus_InvalidArgument;
    }
    *packetLength = 0;
    m_serialContext.isBackToBackWrite = false;
    if (const status_t status = sendOwedAck())
        return status;

    const uint8_t expected
        = type == PacketType::Command ? kFramingPacketType_Command : kFramingPacketType_Data;
    uint32_t length = 0;
    for (uint32_t naks = 0;; ++naks) {
        std::memset(m_serialContext.data, 0, sizeof m_serialContext.data);
        uint8_t header[4] = { 0, 0, 0, 0 };
        if (const status_t status = readHeader(&header[1]))
            return status;
        header[0] = kFramingPacketStartByte;
        if (header[1] == kFramingPacketType_Ping) {
            answerPing();
            return kStatus_Ping;
        }
        if (header[1] != expected) {
            Log::error("Error: read_data_packet found unexpected packet type 0x%x\r\n", header[1]);
            return kStatus_Fail;
        }
        uint8_t crcBytes[2] = { 0, 0 };
        if (const status_t status = m_peripheral->read(header + 2, 2, nullptr, m_packetTimeoutMs))
            return status;
        if (const status_t status = m_peripheral->read(crcBytes, 2, nullptr, m_packetTimeoutMs))
            return status;
        length = uint32_t(header[2]) | uint32_t(header[3]) << 8;
        if (length > kMaxPacketSize) {
            // Never more than the buffer holds; the CRC below is over the length as used.
            length = kMaxPacketSize;
            header[2] = uint8_t(length);
            header[3] = 0;
        }
        if (length)
            if (const status_t status
                = m_peripheral->read(m_serialContext.data, length, nullptr, m_packetTimeoutMs))
                return status;
        const uint16_t received = uint16_t(crcBytes[0] | crcBytes[1] << 8);
        const uint16_t computed = framingCrc(header, sizeof header, m_serialContext.data, length);
        if (received == computed)
            break;
        Log::error("Error: invalid crc 0x%x, expected 0x%x\r\n", received, computed);
        if (naks == kMaxResends) {
            // A peer whose every copy arrives corrupted must not hold the host forever.
            Log::error("Error: packet corrupted %u times, giving up\r\n", naks + 1);
            return kStatus_InvalidCRC;
        }
        sendSyncPacket(kFramingPacketType_Nak);
    }
    m_serialContext.isAckNeeded = true;
    *packet = m_serialContext.data;
    *packetLength = length;
    return kStatus_Success;
}

void SerialPacketizer::answerPing()
{
    const uint8_t header[2] = { kFramingPacketStartByte, kFramingPacketType_PingResponse };
    m_peripheral->write(header, sizeof header);
    uint8_t record[8] = {};
    for (int i = 0; i < 4; ++i)
        record[i] = uint8_t(kHostPingVersion >> (8 * i));
    const uint16_t crc = pingResponseCrc(record);
    record[6] = uint8_t(crc & 0xFF);
    record[7] = uint8_t(crc >> 8);
    m_peripheral->write(record, sizeof record);
}

status_t SerialPacketizer::ping(int retries, unsigned int delayMs, PingResponse* response, int comSpeed)
{
    bool answered = false;
    int attempt = 0;
    for (; attempt <= retries && !answered; ++attempt) {
        const uint8_t ping[2] = { kFramingPacketStartByte, kFramingPacketType_Ping };
        if (m_peripheral->write(ping, sizeof ping) == kStatus_Success) {
            const auto start = platform::now();
            while (secondsSince(start) < kPingWaitMs / 1000.0) {
                uint8_t byte = 0;
                if (m_peripheral->read(&byte, 1, nullptr, m_packetTimeoutMs) == kStatus_Success
                    && byte == kFramingPacketStartByte) {
                    answered = true;
                    break;
                }
                platform::pause(platform::Milliseconds(kPollPauseMs));
            }
        }
        if (!answered && delayMs)
            platform::pause(platform::Milliseconds(delayMs));
    }
    if (!answered)
        return kStatus_NoPingResponse;
    Log::info("Ping responded in %d attempt(s)\n", attempt);

    if (comSpeed != 0)
        platform::pause(platform::Milliseconds(90000 / comSpeed + 20));

    uint8_t type = 0;
    if (const status_t status = m_peripheral->read(&type, 1, nullptr, m_packetTimeoutMs))
        return status;
    if (type != kFramingPacketType_PingResponse)
        return kStatus_InvalidPacketType;
    uint8_t record[8] = {};
    if (const status_t status = m_peripheral->read(record, sizeof record, nullptr, m_packetTimeoutMs))
        return status;
    PingResponse answer {};
    answer.version = uint32_t(record[0]) | uint32_t(record[1]) << 8 | uint32_t(record[2]) << 16
        | uint32_t(record[3]) << 24;
    answer.options = uint16_t(record[4] | record[5] << 8);
    answer.crc16 = uint16_t(record[6] | record[7] << 8);
    const uint16_t computed = pingResponseCrc(record);
    if (answer.crc16 != computed) {
        Log::info("Error: ping crc16 failed, received 0x%x, expected 0x%x\n", answer.crc16, computed);
        return kStatus_InvalidCRC;
    }
    Log::debug("Framing protocol version = 0x%x, options = 0x%x\n", answer.version, answer.options);
    m_version = answer.version;
    m_options = answer.options;
    if (response)
        *response = answer;
    return kStatus_Success;
}

} // namespace blfwk

#include "blfwk/usb_hid_packetizer.h"

#include "blfwk/logger.h"

#include <cstring>

namespace blfwk {

UsbHidPacketizer::UsbHidPacketizer(UsbHidPeripheral* peripheral, uint32_t packetTimeoutMs)
    : Packetizer(peripheral, packetTimeoutMs)
{ }

status_t UsbHidPacketizer::readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type)
{
    if (!m_peripheral || !packet || !packetLength)
        return kStatus_InvalidArgument;
    *packet = nullptr;
    *packetLength = 0;

    uint8_t expectedId;
    if (type == PacketType::Command)
        expectedId = kReportId_Response;
    else if (type == PacketType::Data)
        expectedId = kReportId_DataIn;
    else {
        Log::error("usbhid: unsupported packet type %d\n", int(type));
        return kStatus_Fail;
    }

    // A zero-length report met by the first read after a write is stale: skip it, up to a
    // limit. On any later read it is the device aborting the data phase.
    uint32_t retries = 0;
    int32_t count = 0;
    uint32_t length = 0;
    do {
        const status_t status = m_peripheral->read(m_report, kReportSize, &count, m_packetTimeoutMs);
        if (status != kStatus_Success)
            return status;
        if (retries == 0)
            ++m_continuousReadCount;
        if (m_report[0] != expectedId) {
            Log::error("usbhid: received unexpected report=%x\n", m_report[0]);
            return kStatus_Fail;
        }
        length = uint32_t(m_report[2]) | (uint32_t(m_report[3]) << 8);
        if (length == 0) {
            Log::info("usbhid: received data phase abort\n");
            if (m_continuousReadCount >= 2)
                break;
            ++retries;
        }
    } while (count > 0 && length == 0 && retries < kMaxZeroLengthRetries);

    const int32_t payload = count - int32_t(kReportHeaderSize);
    if (payload < int32_t(length)) {
        Log::error("usbhid: received only %d bytes of packet with length %d\n", payload, int(length));
        return kStatus_Fail;
    }
    *packet = m_report + kReportHeaderSize;
    *packetLength = length;
    return kStatus_Success;
}

status_t UsbHidPacketizer::writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type)
{
    if (!m_peripheral || (byteCount && !packet))
        return kStatus_InvalidArgument;

    uint8_t reportId;
    if (type == PacketType::Command)
        reportId = kReportId_Command;
    else if (type == PacketType::Data)
        reportId = kReportId_DataOut;
    else {
        Log::error("usbhid: unsupported packet type %d\n", int(type));
        return kStatus_Fail;
    }
    if (byteCount > kMaxPacketSize) {
        Log::error("usbhid: packet of %u bytes does not fit a report\n", byteCount);
        return kStatus_InvalidArgument;
    }

    if (m_isAbortEnabled && reportId == kReportId_DataOut) {
        int32_t count = 0;
        m_peripheral->read(m_abortReport, kReportSize, &count, kAbortPollTimeoutMs);
        if (count != 0) {
            Log::info("usb hid detected receiver data abort\n");
            return kStatus_AbortDataPhase;
        }
    }

    std::memset(m_report, 0, sizeof m_report);
    m_report[0] = reportId;
    m_report[2] = uint8_t(byteCount & 0xFF);
    m_report[3] = uint8_t(byteCount >> 8);
    if (byteCount)
        std::memcpy(m_report + kReportHeaderSize, packet, byteCount);
    m_continuousReadCount = 0;
    return getPeripheral()->write(m_report, kReportSize, m_packetTimeoutMs);
}

status_t UsbHidPacketizer::abortPacket()
{
    const status_t status = writePacket(nullptr, 0, PacketType::Command);
    flushInput();
    return status;
}

void UsbHidPacketizer::flushInput()
{
    int32_t count = 0;
    do {
        count = 0;
        if (m_peripheral->read(m_report, kReportSize, &count, m_packetTimeoutMs) == kStatus_Fail)
            break;
    } while (count > 0);
}

} // namespace blfwk

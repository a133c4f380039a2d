#pragma once
// Bootloader packets in numbered 36-byte HID reports: report id, a padding byte, the packet
// length (little-endian) and up to 32 packet bytes. Ids 1 (command) and 2 (data) go to the
// device, 3 (response) and 4 (data) come from it.

#include "blfwk/packetizer.h"
#include "blfwk/usb_hid_peripheral.h"

namespace blfwk {

class UsbHidPacketizer : public Packetizer {
public:
    enum : uint8_t {
        kReportId_Command = 1,
        kReportId_DataOut = 2,
        kReportId_Response = 3,
        kReportId_DataIn = 4,
    };
    static constexpr uint32_t kReportSize = 36;
    static constexpr uint32_t kReportHeaderSize = 4;
    static constexpr uint32_t kMaxPacketSize = 32;
    // Zero-length reports skipped in a row by the first read after a write.
    static constexpr uint32_t kMaxZeroLengthRetries = 50;
    static constexpr uint32_t kAbortPollTimeoutMs = 10;

    // Takes ownership of the peripheral.
    UsbHidPacketizer(UsbHidPeripheral* peripheral, uint32_t packetTimeoutMs);

    status_t readPacket(uint8_t** packet, uint32_t* packetLength, PacketType type) override;
    status_t writePacket(const uint8_t* packet, uint32_t byteCount, PacketType type) override;
    status_t abortPacket() override;
    status_t sync() override { return kStatus_Success; }
    status_t finalize() override { return kStatus_Success; }
    status_t pump() override { return kStatus_Success; }
    uint32_t getMaxPacketSize() override { return kMaxPacketSize; }
    UsbHidPeripheral* getPeripheral() override { return static_cast<UsbHidPeripheral*>(m_peripheral); }

    // Reads and discards reports until one read delivers nothing or fails.
    void flushInput();

private:
    uint8_t m_report[kReportSize] = {};
    uint8_t m_abortReport[kReportSize] = {};
    uint32_t m_continuousReadCount = 0; // reads since the last write
};

} // namespace blfwk

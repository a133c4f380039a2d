#pragma once
// The peripheral that reaches a device bootloader through the platform HID service: input
// reports read and output reports written, each with a time limit, every byte traced at the
// Trace level.

#include "blfwk/packetizer.h"

#include "platform/hid.h"

namespace blfwk {

class UsbHidPeripheral : public Peripheral {
public:
    // Opens the first device with this identity; throws std::runtime_error when there is none.
    UsbHidPeripheral(uint16_t vendorId, uint16_t productId);
    ~UsbHidPeripheral() override;
    UsbHidPeripheral(const UsbHidPeripheral&) = delete;
    UsbHidPeripheral& operator=(const UsbHidPeripheral&) = delete;

    // One input report. 0 with 4 bytes or more, kStatus_Fail when the read failed, kStatus_Timeout
    // for 0 to 3 bytes (nothing in time included).
    status_t read(
        uint8_t* buffer, uint32_t requestedBytes, int32_t* actualBytes, uint32_t timeoutMs) override;
    // Not used on this peripheral: sends nothing.
    status_t write(const uint8_t* buffer, uint32_t byteCount) override;
    // One output report within timeoutMs; kStatus_Fail (with the library's error logged) otherwise.
    status_t write(const uint8_t* buffer, uint32_t byteCount, uint32_t timeoutMs);

    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }

private:
    uint16_t m_vendorId;
    uint16_t m_productId;
    platform::HidService& m_hid;
    platform::HidDevice* m_device = nullptr;
};

} // namespace blfwk

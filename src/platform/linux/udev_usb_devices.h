#pragma once
// USB presence over libudev: every "usb_device" of the "usb" subsystem, in the order udev
// enumerates them, as "USB\VID_%04X&PID_%04X&REV_%04X".

#include "platform/usb_devices.h"

#include <optional>
#include <string>

namespace platform::linux_backend {

// The hardware id from the sysfs attributes idVendor, idProduct and bcdDevice (hexadecimal
// text, as sysfs holds them). Nothing when the vendor or product id is missing or not
// hexadecimal; a missing or unreadable revision counts as 0.
std::optional<std::string> hardwareIdFromAttributes(
    const char* idVendor, const char* idProduct, const char* bcdDevice);

class UdevUsbDevices : public UsbDeviceService {
public:
    bool presentHardwareIds(std::vector<std::string>& ids) override;
};

UsbDeviceService& udevUsbDevices();

} // namespace platform::linux_backend

#pragma once
// USB presence: the first hardware-id string of every USB device present, in the form
// "USB\VID_%04X&PID_%04X&REV_%04X" (upper-case hexadecimal), so that a scan can examine
// each device as text. One backend per platform and one for the virtual USB bus.

#include <cstdio>
#include <string>
#include <vector>

namespace platform {

class UsbDeviceService {
public:
    virtual ~UsbDeviceService() = default;

    // Replaces ids with the hardware ids of the devices present now, in enumeration order.
    // False when the list could not be taken (ids is then empty).
    virtual bool presentHardwareIds(std::vector<std::string>& ids) = 0;
};

// The service this process uses: the one installed with setUsbDeviceService(), otherwise the
// virtual bus when it is selected (TARVEL_VBUS or selectVirtualBus), else the platform's.
UsbDeviceService& usbDeviceService();

// Installs a service for the whole process; nullptr goes back to the default.
void setUsbDeviceService(UsbDeviceService* service);

// Formats one hardware id the way every backend reports it.
inline std::string formatUsbHardwareId(unsigned vendorId, unsigned productId, unsigned revision)
{
    char text[48];
    std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X&REV_%04X", vendorId & 0xFFFFu,
        productId & 0xFFFFu, revision & 0xFFFFu);
    return text;
}

} // namespace platform

#include "linux/udev_usb_devices.h"

#include <libudev.h>

#include <cctype>

namespace platform::linux_backend {
namespace {

// One to four hexadecimal digits, surrounded by nothing but white space.
bool parseHex16(const char* text, unsigned& value)
{
    if (!text)
        return false;
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    unsigned result = 0;
    int digits = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*text)); ++text) {
        if (++digits > 4)
            return false;
        char c = char(std::tolower(static_cast<unsigned char>(*text)));
        result = result * 16 + unsigned(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (digits == 0 || *text != '\0')
        return false;
    value = result;
    return true;
}

} // namespace

std::optional<std::string> hardwareIdFromAttributes(
    const char* idVendor, const char* idProduct, const char* bcdDevice)
{
    unsigned vendor = 0;
    unsigned product = 0;
    unsigned revision = 0;
    if (!parseHex16(idVendor, vendor) || !parseHex16(idProduct, product))
        return std::nullopt;
    if (!parseHex16(bcdDevice, revision))
        revision = 0;
    return formatUsbHardwareId(vendor, product, revision);
}

bool UdevUsbDevices::presentHardwareIds(std::vector<std::string>& ids)
{
    ids.clear();
    udev* context = udev_new();
    if (!context)
        return false;
    udev_enumerate* enumerate = udev_enumerate_new(context);
    bool ok = enumerate && udev_enumerate_add_match_subsystem(enumerate, "usb") >= 0
        && udev_enumerate_add_match_property(enumerate, "DEVTYPE", "usb_device") >= 0
        && udev_enumerate_scan_devices(enumerate) >= 0;
    if (ok) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
        {
            udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (!device)
                continue; // gone between the scan and now
            const char* devtype = udev_device_get_devtype(device);
            if (devtype && std::string(devtype) == "usb_device") {
                auto id = hardwareIdFromAttributes(udev_device_get_sysattr_value(device, "idVendor"),
                    udev_device_get_sysattr_value(device, "idProduct"),
                    udev_device_get_sysattr_value(device, "bcdDevice"));
                if (id)
                    ids.push_back(*id);
            }
            udev_device_unref(device);
        }
    }
    if (enumerate)
        udev_enumerate_unref(enumerate);
    udev_unref(context);
    return ok;
}

UsbDeviceService& udevUsbDevices()
{
    static UdevUsbDevices service;
    return service;
}

} // namespace platform::linux_backend

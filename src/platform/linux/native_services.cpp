// What the Linux backend gives the selection: hidapi over hidraw, udev enumeration, the mount
// table with udev facts and udisks2, the udev monitor with the mount-table watch.

#include "platform/native.h"

#include "linux/hidapi_backend.h"
#include "linux/linux_device_events.h"
#include "linux/linux_volumes.h"
#include "linux/udev_usb_devices.h"

namespace platform::native {

HidService& hidService()
{
    return linux_backend::hidapiService();
}
UsbDeviceService& usbDeviceService()
{
    return linux_backend::udevUsbDevices();
}
VolumeService& volumeService()
{
    return linux_backend::linuxVolumes();
}
DeviceEventService& deviceEventService()
{
    return linux_backend::linuxDeviceEvents();
}

const char* platformName()
{
    return "linux";
}

} // namespace platform::native

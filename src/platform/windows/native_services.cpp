// What the Windows backend gives the selection.

#include "platform/native.h"

#include "windows/windows_backends.h"

namespace platform::native {

HidService& hidService()
{
    return windows_backend::hidapiService();
}
UsbDeviceService& usbDeviceService()
{
    return windows_backend::setupApiUsbDevices();
}
VolumeService& volumeService()
{
    return windows_backend::logicalDriveVolumes();
}
DeviceEventService& deviceEventService()
{
    return windows_backend::deviceChangeWindow();
}
std::unique_ptr<SerialPort> openSerialPort(const std::string& name, int baudRate, std::string* error)
{
    return windows_backend::openComPort(name, baudRate, error);
}

const char* platformName()
{
    return "windows";
}

} // namespace platform::native

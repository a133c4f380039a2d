#pragma once
// The Windows backend's services, one per file: hidapi's Windows backend with the project's
// timed write, SetupAPI presence, the device-change window, the logical drives and their
// volume control codes, and COM ports.

#include "platform/device_events.h"
#include "platform/hid.h"
#include "platform/serial_port.h"
#include "platform/usb_devices.h"
#include "platform/volumes.h"

#include <memory>
#include <string>

namespace platform::windows_backend {

HidService& hidapiService();
UsbDeviceService& setupApiUsbDevices();
VolumeService& logicalDriveVolumes();
DeviceEventService& deviceChangeWindow();
std::unique_ptr<SerialPort> openComPort(const std::string& name, int baudRate, std::string* error);

// The window of the running device-event service (tests post WM_DEVICECHANGE to it); nullptr
// while it is stopped.
void* deviceChangeWindowHandle();

// The Win32 error text "<operation> failed with error <code>: <system message>".
std::string systemErrorText(const char* operation, unsigned long code);

} // namespace platform::windows_backend

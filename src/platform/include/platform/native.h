#pragma once
// The seam between the services' selection and the platform's own backend. The backend
// folder the build chooses (TARVEL_PLATFORM_BACKEND: linux/) defines these, together with the
// plain functions of files.h, local_folders.h and single_instance.h. Programs do not call them:
// they use hidService() and its kin, which fall back to these when no service is installed
// and no virtual bus is selected.

#include <memory>
#include <string>

namespace platform {

class HidService;
class UsbDeviceService;
class VolumeService;
class DeviceEventService;
class SerialPort;

namespace native {

HidService& hidService();
UsbDeviceService& usbDeviceService();
VolumeService& volumeService();
DeviceEventService& deviceEventService();
std::unique_ptr<SerialPort> openSerialPort(const std::string& name, int baudRate, std::string* error);
// The platform as a session recording's header names it: "linux", "windows".
const char* platformName();

} // namespace native
} // namespace platform

// Selection of the USB presence, volume and device-change services: an installed service
// first, then the virtual bus when one is selected, else the platform's backend.

#include "platform/device_events.h"
#include "platform/usb_devices.h"
#include "platform/vbus/backends.h"
#include "platform/volumes.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<UsbDeviceService*> g_usb{nullptr};
std::atomic<VolumeService*> g_volumes{nullptr};
std::atomic<DeviceEventService*> g_events{nullptr};

// Until the Linux backends (udev enumeration, mount table, udev monitor) join the build,
// a process without a bus sees no devices, no volumes and gets no events.
class NoUsbDevices : public UsbDeviceService {
public:
    bool presentHardwareIds(std::vector<std::string>& ids) override
    {
        ids.clear();
        return false;
    }
};

class NoVolumes : public VolumeService {
public:
    bool mountedVolumes(std::vector<VolumeInfo>& volumes) override
    {
        volumes.clear();
        return false;
    }
    bool removalStep(const std::string&, VolumeStep) override { return false; }
};

class NoDeviceEvents : public DeviceEventService {
public:
    bool start(DeviceEventCallback) override { return false; }
    void stop() override {}
};

} // namespace

UsbDeviceService& usbDeviceService()
{
    if (UsbDeviceService* installed = g_usb.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->usb;
    static NoUsbDevices none;
    return none;
}

void setUsbDeviceService(UsbDeviceService* service) { g_usb.store(service); }

VolumeService& volumeService()
{
    if (VolumeService* installed = g_volumes.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->volumes;
    static NoVolumes none;
    return none;
}

void setVolumeService(VolumeService* service) { g_volumes.store(service); }

DeviceEventService& deviceEventService()
{
    if (DeviceEventService* installed = g_events.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->events;
    static NoDeviceEvents none;
    return none;
}

void setDeviceEventService(DeviceEventService* service) { g_events.store(service); }

} // namespace platform

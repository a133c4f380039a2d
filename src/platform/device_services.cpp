// Selection of the USB presence, volume and device-change services: an installed service
// first, then the virtual bus when one is selected, else the Linux backends (udev enumeration,
// mount table with udev facts and udisks2, udev monitor and mount-table watch).

#include "platform/device_events.h"
#include "platform/usb_devices.h"
#include "platform/vbus/backends.h"
#include "platform/volumes.h"

#include "linux/linux_device_events.h"
#include "linux/linux_volumes.h"
#include "linux/udev_usb_devices.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<UsbDeviceService*> g_usb{nullptr};
std::atomic<VolumeService*> g_volumes{nullptr};
std::atomic<DeviceEventService*> g_events{nullptr};

} // namespace

UsbDeviceService& usbDeviceService()
{
    if (UsbDeviceService* installed = g_usb.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->usb;
    return linux_backend::udevUsbDevices();
}

void setUsbDeviceService(UsbDeviceService* service) { g_usb.store(service); }

VolumeService& volumeService()
{
    if (VolumeService* installed = g_volumes.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->volumes;
    return linux_backend::linuxVolumes();
}

void setVolumeService(VolumeService* service) { g_volumes.store(service); }

DeviceEventService& deviceEventService()
{
    if (DeviceEventService* installed = g_events.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->events;
    return linux_backend::linuxDeviceEvents();
}

void setDeviceEventService(DeviceEventService* service) { g_events.store(service); }

} // namespace platform

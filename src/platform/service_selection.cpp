// Which backend a service call reaches: the service installed for the process (tests, the
// in-process simulator) first, then the virtual bus when one is selected, else the platform's
// own backend (platform/native.h). Serial ports are not on the bus: an installed opener, else
// the platform's.

#include "platform/device_events.h"
#include "platform/hid.h"
#include "platform/native.h"
#include "platform/serial_port.h"
#include "platform/usb_devices.h"
#include "platform/vbus/backends.h"
#include "platform/volumes.h"

#include <atomic>

namespace platform {
namespace {

template <class Service> class Selection {
public:
    using OnBus = Service& (*)(vbus::Bus& bus);
    using Native = Service& (*)();

    constexpr Selection(OnBus onBus, Native native)
        : m_onBus(onBus)
        , m_native(native)
    { }

    Service& current() const
    {
        if (Service* installed = m_installed.load())
            return *installed;
        if (vbus::Bus* bus = vbus::selectedBus())
            return m_onBus(*bus);
        return m_native();
    }

    void install(Service* service) { m_installed.store(service); }

private:
    std::atomic<Service*> m_installed { nullptr };
    OnBus m_onBus;
    Native m_native;
};

constinit Selection<HidService> g_hid(
    [](vbus::Bus& bus) -> HidService& { return bus.hid; }, native::hidService);
constinit Selection<UsbDeviceService> g_usb(
    [](vbus::Bus& bus) -> UsbDeviceService& { return bus.usb; }, native::usbDeviceService);
constinit Selection<VolumeService> g_volumes(
    [](vbus::Bus& bus) -> VolumeService& { return bus.volumes; }, native::volumeService);
constinit Selection<DeviceEventService> g_events(
    [](vbus::Bus& bus) -> DeviceEventService& { return bus.events; }, native::deviceEventService);

std::atomic<SerialPortOpener> g_opener { nullptr };

} // namespace

HidService& hidService() { return g_hid.current(); }
void setHidService(HidService* service) { g_hid.install(service); }

UsbDeviceService& usbDeviceService() { return g_usb.current(); }
void setUsbDeviceService(UsbDeviceService* service) { g_usb.install(service); }

VolumeService& volumeService() { return g_volumes.current(); }
void setVolumeService(VolumeService* service) { g_volumes.install(service); }

DeviceEventService& deviceEventService() { return g_events.current(); }
void setDeviceEventService(DeviceEventService* service) { g_events.install(service); }

std::unique_ptr<SerialPort> openSerialPort(const std::string& name, int baudRate, std::string* error)
{
    if (SerialPortOpener opener = g_opener.load())
        return opener(name, baudRate, error);
    return native::openSerialPort(name, baudRate, error);
}

void setSerialPortOpener(SerialPortOpener opener)
{
    g_opener.store(opener);
}

} // namespace platform

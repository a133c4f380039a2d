// Which backend a service call reaches: the service installed for the process (tests, the
// in-process simulator) first, then the virtual bus when one is selected, else the platform's
// own backend (platform/native.h); while a session is recorded, through the recording layer. Serial ports are not on the bus: an installed opener, else
// the platform's.

#include "platform/device_events.h"
#include "platform/hid.h"
#include "platform/native.h"
#include "platform/serial_port.h"
#include "platform/usb_devices.h"
#include "platform/vbus/backends.h"
#include "recording_services.h"
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

    // The service without the recording layer.
    Service& chosen() const
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

// While a session is recorded every call goes through the recording layer, which passes it on
// to the service chosen as above.
template <class Service> Service& current(const Selection<Service>& selection, Service& (*recorded)(Service& (*)()),
    Service& (*chosen)())
{
    if (recording_layer::active())
        return recorded(chosen);
    return selection.chosen();
}

constinit Selection<HidService> g_hid(
    [](vbus::Bus& bus) -> HidService& { return bus.hid; }, native::hidService);
constinit Selection<UsbDeviceService> g_usb(
    [](vbus::Bus& bus) -> UsbDeviceService& { return bus.usb; }, native::usbDeviceService);
constinit Selection<VolumeService> g_volumes(
    [](vbus::Bus& bus) -> VolumeService& { return bus.volumes; }, native::volumeService);
constinit Selection<DeviceEventService> g_events(
    [](vbus::Bus& bus) -> DeviceEventService& { return bus.events; }, native::deviceEventService);

HidService& chosenHid() { return g_hid.chosen(); }
UsbDeviceService& chosenUsb() { return g_usb.chosen(); }
VolumeService& chosenVolumes() { return g_volumes.chosen(); }
DeviceEventService& chosenEvents() { return g_events.chosen(); }

std::atomic<SerialPortOpener> g_opener { nullptr };

} // namespace

HidService& hidService() { return current(g_hid, recording_layer::hid, chosenHid); }
void setHidService(HidService* service) { g_hid.install(service); }

UsbDeviceService& usbDeviceService() { return current(g_usb, recording_layer::usb, chosenUsb); }
void setUsbDeviceService(UsbDeviceService* service) { g_usb.install(service); }

VolumeService& volumeService() { return current(g_volumes, recording_layer::volumes, chosenVolumes); }
void setVolumeService(VolumeService* service) { g_volumes.install(service); }

DeviceEventService& deviceEventService()
{
    return current(g_events, recording_layer::events, chosenEvents);
}
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

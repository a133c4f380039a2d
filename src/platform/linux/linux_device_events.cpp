#include "linux/linux_device_events.h"

#include "linux/linux_volumes.h"
#include "linux/volume_facts.h"

#include <libudev.h>

#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace platform::linux_backend {

MountTableSource::MountTableSource(int fd, VolumeLister lister)
    : m_fd(fd)
    , m_lister(std::move(lister))
{
    if (m_lister && !m_lister(m_last))
        m_last.clear();
}

MountTableSource::~MountTableSource()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

short MountTableSource::pollEvents() const
{
    return POLLPRI;
}

void MountTableSource::collect(std::vector<DeviceEvent>& events)
{
    std::vector<VolumeInfo> now;
    if (!m_lister || !m_lister(now))
        return; // try again at the next change
    std::vector<DeviceEvent> changes = volumeChangeEvents(m_last, now);
    events.insert(events.end(), changes.begin(), changes.end());
    m_last = std::move(now);
}

bool changesDeviceNodes(const char* action, const char* subsystem, const char* devtype)
{
    std::string act = action ? action : "";
    if (act != "add" && act != "remove")
        return false;
    std::string sub = subsystem ? subsystem : "";
    return sub == "hidraw" || (sub == "usb" && devtype && std::string(devtype) == "usb_device");
}

UdevMonitorSource::UdevMonitorSource()
{
    m_context = udev_new();
    if (!m_context)
        return;
    // Without a udev daemon nothing arrives from "udev"; the kernel's own messages still do.
    const char* origin = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    m_monitor = udev_monitor_new_from_netlink(m_context, origin);
    if (m_monitor
        && (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") < 0
            || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) < 0
            || udev_monitor_enable_receiving(m_monitor) < 0)) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }
}

UdevMonitorSource::~UdevMonitorSource()
{
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_context)
        udev_unref(m_context);
}

int UdevMonitorSource::fd() const
{
    return m_monitor ? udev_monitor_get_fd(m_monitor) : -1;
}

short UdevMonitorSource::pollEvents() const
{
    return POLLIN;
}

void UdevMonitorSource::collect(std::vector<DeviceEvent>& events)
{
    // The monitor's socket is non-blocking: take every message that is waiting.
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        if (changesDeviceNodes(udev_device_get_action(device), udev_device_get_subsystem(device),
                udev_device_get_devtype(device)))
            events.push_back({ DeviceEventKind::NodesChanged, {} });
        udev_device_unref(device);
    }
}

bool LinuxDeviceEvents::start(DeviceEventCallback callback)
{
    m_loop.stop();
    auto usb = std::make_unique<UdevMonitorSource>();
    if (!usb->ok())
        return false;
    int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<std::unique_ptr<EventSource>> sources;
    // Device nodes first: when both are ready at once, the device came before its volume
    // (and on leaving, udisks2 unmounts only after the device has gone).
    sources.push_back(std::move(usb));
    sources.push_back(std::make_unique<MountTableSource>(fd, listMountedVolumes));
    return m_loop.start(std::move(sources), std::move(callback));
}

DeviceEventService& linuxDeviceEvents()
{
    static LinuxDeviceEvents service;
    return service;
}

} // namespace platform::linux_backend

#pragma once
// Device-change events on Linux: a udev monitor for USB devices and hidraw nodes coming and
// going (NodesChanged), and a watch of the mount table, which the kernel marks with POLLPRI on
// every change (a new removable mount: Arrival; one that went away: RemoveComplete).

#include "linux/event_loop.h"
#include "platform/device_events.h"
#include "platform/volumes.h"

#include <functional>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace platform::linux_backend {

using VolumeLister = std::function<bool(std::vector<VolumeInfo>&)>;

// The mount-table watch. The first listing is taken when the source is made, so volumes
// mounted before the start bring no events. A listing that fails keeps the last one.
class MountTableSource : public EventSource {
public:
    // fd: a descriptor of the mount table to wait on (owned and closed by the source), or -1.
    MountTableSource(int fd, VolumeLister lister);
    ~MountTableSource() override;
    MountTableSource(const MountTableSource&) = delete;
    MountTableSource& operator=(const MountTableSource&) = delete;

    int fd() const override { return m_fd; }
    short pollEvents() const override;
    void collect(std::vector<DeviceEvent>& events) override;

private:
    int m_fd;
    VolumeLister m_lister;
    std::vector<VolumeInfo> m_last;
};

// Whether a uevent changes the set of devices the scan can open: a USB device added or
// removed, or a hidraw node. The kernel makes the hidraw node a moment after its USB device, so
// the USB device's own event can come before there is anything to open.
bool changesDeviceNodes(const char* action, const char* subsystem, const char* devtype);

// USB devices and hidraw nodes added or removed, from udev (or from the kernel when no udev daemon runs).
class UdevMonitorSource : public EventSource {
public:
    UdevMonitorSource();
    ~UdevMonitorSource() override;
    UdevMonitorSource(const UdevMonitorSource&) = delete;
    UdevMonitorSource& operator=(const UdevMonitorSource&) = delete;

    bool ok() const { return m_monitor != nullptr; }
    int fd() const override;
    short pollEvents() const override;
    void collect(std::vector<DeviceEvent>& events) override;

private:
    udev* m_context = nullptr;
    udev_monitor* m_monitor = nullptr;
};

class LinuxDeviceEvents : public DeviceEventService {
public:
    bool start(DeviceEventCallback callback) override;
    void stop() override { m_loop.stop(); }

private:
    EventLoop m_loop;
};

DeviceEventService& linuxDeviceEvents();

} // namespace platform::linux_backend

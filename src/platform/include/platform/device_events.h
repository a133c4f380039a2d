#pragma once
// Device-change events: the three notifications the updater's scan reacts to. The service
// calls the callback on a thread of its own; the updater's shell carries each event over to
// its window thread.

#include <functional>
#include <string>

namespace platform {

enum class DeviceEventKind {
    NodesChanged, // a USB device was added or removed
    Arrival, // a volume became available
    RemoveComplete, // a volume went away
};

struct DeviceEvent {
    DeviceEventKind kind = DeviceEventKind::NodesChanged;
    std::string root; // the volume's root for Arrival and RemoveComplete, else empty
};

using DeviceEventCallback = std::function<void(const DeviceEvent&)>;

class DeviceEventService {
public:
    virtual ~DeviceEventService() = default;

    // Starts delivering events to callback, in the order in which they happen, until stop().
    // False when the source could not be reached. A second start() replaces the first.
    virtual bool start(DeviceEventCallback callback) = 0;

    // Stops delivery; when it returns the callback is not running and will not be called again.
    virtual void stop() = 0;
};

DeviceEventService& deviceEventService();
void setDeviceEventService(DeviceEventService* service);

} // namespace platform

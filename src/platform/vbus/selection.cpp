#include "platform/virtual_bus.h"

#include "platform/vbus/backends.h"

#include <cstdlib>
#include <list>

namespace platform {
namespace {

std::mutex g_mutex;
std::string g_explicitPath;
std::list<vbus::Bus> g_buses; // never shrinks: open handles may still point into old ones
vbus::Bus* g_current = nullptr;

} // namespace

void selectVirtualBus(const std::string& address)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_explicitPath = address;
}

std::string virtualBusPath()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_explicitPath.empty())
        return g_explicitPath;
    const char* fromEnvironment = std::getenv("TARVEL_VBUS");
    return fromEnvironment ? fromEnvironment : "";
}

namespace vbus {

// An address that is neither form still makes a bus: every call on it fails with the reason,
// rather than the process falling back to the real devices it was told not to use.
Bus::Bus(const std::string& address)
    : path(address)
    , link(std::make_shared<ListingLink>(address))
    , hid(address)
    , usb(link)
    , volumes(link)
    , events(address)
{ }

Bus* selectedBus()
{
    const std::string path = virtualBusPath();
    if (path.empty())
        return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_current || g_current->path != path) {
        g_buses.emplace_back(path);
        g_current = &g_buses.back();
    }
    return g_current;
}

} // namespace vbus
} // namespace platform

#include "platform/virtual_bus.h"

#include "platform/vbus/backends.h"
#include "platform/vbus/bus_address.h"

#include <mutex>

namespace platform {
namespace {

std::mutex g_mutex;
VirtualBusFaultHandler g_handler;

} // namespace

void setVirtualBusFaultHandler(VirtualBusFaultHandler handler)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = std::move(handler);
}

namespace vbus {

void reportBusFault(const std::string& detail)
{
    VirtualBusFaultHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = g_handler;
    }
    // Called outside the lock: a handler may take locks of its own or post to another thread.
    if (handler)
        handler("The virtual USB bus cannot be used: " + detail + ".");
}

void reportContractFault(const std::string& address, const std::string& what)
{
    reportBusFault("the bus at " + describeBusText(address) + " broke the bus's contract (" + what + ")");
}

} // namespace vbus
} // namespace platform

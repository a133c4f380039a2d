#include "platform/hid.h"

#include "linux/hidapi_backend.h"
#include "platform/vbus/backends.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<HidService*> g_installed { nullptr };
} // namespace

HidService& hidService()
{
    if (HidService* installed = g_installed.load())
        return *installed;
    if (vbus::Bus* bus = vbus::selectedBus())
        return bus->hid;
    return linux_backend::hidapiService();
}

void setHidService(HidService* service)
{
    g_installed.store(service);
}

} // namespace platform

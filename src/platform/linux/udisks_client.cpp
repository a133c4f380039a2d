#include "linux/udisks_client.h"

#include <systemd/sd-bus.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace platform::linux_backend {
namespace {

const char* const kService = "org.freedesktop.UDisks2";

bool meansUnreachable(const sd_bus_error& error)
{
    static const char* const names[] = {
        "org.freedesktop.DBus.Error.ServiceUnknown",
        "org.freedesktop.DBus.Error.NameHasNoOwner",
        "org.freedesktop.DBus.Error.NoServer",
        "org.freedesktop.DBus.Error.Disconnected",
        "org.freedesktop.DBus.Error.Spawn.ServiceNotFound",
    };
    if (!error.name)
        return false;
    for (const char* name : names)
        if (std::strcmp(error.name, name) == 0)
            return true;
    return false;
}

// The bus and its error, released together.
class Call {
public:
    Call()
    {
        if (sd_bus_open_system(&m_bus) < 0)
            m_bus = nullptr;
        else
            sd_bus_set_allow_interactive_authorization(m_bus, 1);
    }
    ~Call()
    {
        sd_bus_error_free(&m_error);
        if (m_bus)
            sd_bus_flush_close_unref(m_bus);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    sd_bus* bus() const { return m_bus; }
    sd_bus_error* error() { return &m_error; }
    void clearError() { sd_bus_error_free(&m_error); }

    UdisksOutcome failure() const
    {
        return meansUnreachable(m_error) ? UdisksOutcome::Unreachable : UdisksOutcome::Failed;
    }

private:
    sd_bus* m_bus = nullptr;
    sd_bus_error m_error = SD_BUS_ERROR_NULL;
};

// The block object of the device: Manager.ResolveDevice by device number, or, on a udisks2
// too old to have it, the object path formed from the kernel name.
UdisksOutcome resolveBlock(Call& call, dev_t block, const std::string& kernelName, std::string& path)
{
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(call.bus(), kService, "/org/freedesktop/UDisks2/Manager",
        "org.freedesktop.UDisks2.Manager", "ResolveDevice", call.error(), &reply, "a{sv}a{sv}", 1,
        "devicenumber", "t", uint64_t(block), 0);
    if (r < 0) {
        bool oldService = call.error()->name
            && std::strcmp(call.error()->name, "org.freedesktop.DBus.Error.UnknownMethod") == 0;
        if (!oldService || kernelName.empty())
            return call.failure();
        call.clearError();
        path = udisksBlockPath(kernelName);
        return UdisksOutcome::Done;
    }
    path.clear();
    const char* object = nullptr;
    if (sd_bus_message_enter_container(reply, 'a', "o") > 0) {
        if (sd_bus_message_read(reply, "o", &object) > 0 && object)
            path = object;
        sd_bus_message_exit_container(reply);
    }
    sd_bus_message_unref(reply);
    return path.empty() ? UdisksOutcome::Unreachable : UdisksOutcome::Done;
}

UdisksOutcome callWithNoOptions(
    Call& call, const std::string& path, const char* interface, const char* method)
{
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(
        call.bus(), kService, path.c_str(), interface, method, call.error(), &reply, "a{sv}", 0);
    sd_bus_message_unref(reply);
    return r < 0 ? call.failure() : UdisksOutcome::Done;
}

} // namespace

std::string udisksBlockPath(const std::string& kernelName)
{
    std::string path = "/org/freedesktop/UDisks2/block_devices/";
    for (unsigned char c : kernelName) {
        if (std::isalnum(c)) {
            path.push_back(char(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof(escaped), "_%02x", c);
            path += escaped;
        }
    }
    return path;
}

UdisksOutcome udisksUnmount(dev_t block, const std::string& kernelName)
{
    Call call;
    if (!call.bus())
        return UdisksOutcome::Unreachable;
    std::string path;
    UdisksOutcome resolved = resolveBlock(call, block, kernelName, path);
    if (resolved != UdisksOutcome::Done)
        return resolved;
    return callWithNoOptions(call, path, "org.freedesktop.UDisks2.Filesystem", "Unmount");
}

UdisksOutcome udisksEject(dev_t block, const std::string& kernelName)
{
    Call call;
    if (!call.bus())
        return UdisksOutcome::Unreachable;
    std::string blockPath;
    UdisksOutcome resolved = resolveBlock(call, block, kernelName, blockPath);
    if (resolved != UdisksOutcome::Done)
        return resolved;

    sd_bus_message* reply = nullptr;
    int r = sd_bus_get_property(call.bus(), kService, blockPath.c_str(), "org.freedesktop.UDisks2.Block",
        "Drive", call.error(), &reply, "o");
    if (r < 0) {
        sd_bus_message_unref(reply);
        return call.failure();
    }
    const char* object = nullptr;
    std::string drive;
    if (sd_bus_message_read(reply, "o", &object) > 0 && object)
        drive = object;
    sd_bus_message_unref(reply);
    if (drive.empty() || drive == "/")
        return UdisksOutcome::Failed; // a block device on no drive (loop, device mapper)

    UdisksOutcome ejected = callWithNoOptions(call, drive, "org.freedesktop.UDisks2.Drive", "Eject");
    if (ejected != UdisksOutcome::Failed)
        return ejected;
    call.clearError();
    return callWithNoOptions(call, drive, "org.freedesktop.UDisks2.Drive", "PowerOff");
}

} // namespace platform::linux_backend

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

// One Manager.ResolveDevice call with a single string or number in its spec. Done with the
// first object found; Unreachable when udisks2 answered with none; UnknownMethod is left in the
// call's error for the caller to recognise an old service.
template <typename Value>
UdisksOutcome resolveBy(Call& call, const char* key, const char* type, Value value, std::string& path)
{
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(call.bus(), kService, "/org/freedesktop/UDisks2/Manager",
        "org.freedesktop.UDisks2.Manager", "ResolveDevice", call.error(), &reply, "a{sv}a{sv}", 1,
        key, type, value, 0);
    if (r < 0)
        return call.failure();
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

bool unknownMethod(Call& call)
{
    return call.error()->name
        && std::strcmp(call.error()->name, "org.freedesktop.DBus.Error.UnknownMethod") == 0;
}

// The block object of the device: Manager.ResolveDevice by its node's path first, because
// some udisks2 releases answer a device-number spec with an empty list; then by device number
// (a node under another name); on a udisks2 too old to have ResolveDevice, the object path
// formed from the kernel name.
UdisksOutcome resolveBlock(Call& call, dev_t block, const std::string& kernelName, std::string& path)
{
    if (!kernelName.empty()) {
        std::string node = "/dev/" + kernelName;
        UdisksOutcome byPath = resolveBy(call, "path", "s", node.c_str(), path);
        if (byPath == UdisksOutcome::Done)
            return byPath;
        if (unknownMethod(call)) {
            call.clearError();
            path = udisksBlockPath(kernelName);
            return UdisksOutcome::Done;
        }
        call.clearError();
    }
    UdisksOutcome byNumber = resolveBy(call, "devicenumber", "t", uint64_t(block), path);
    if (byNumber != UdisksOutcome::Done && unknownMethod(call) && !kernelName.empty()) {
        call.clearError();
        path = udisksBlockPath(kernelName);
        return UdisksOutcome::Done;
    }
    return byNumber;
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

#pragma once
// The few udisks2 calls the volume service makes, over the system bus with sd-bus. Each call
// opens its own bus connection, so any thread may make them.

#include <string>
#include <sys/types.h>

namespace platform::linux_backend {

enum class UdisksOutcome {
    Done,
    Failed, // udisks2 answered and refused or failed
    Unreachable, // no system bus, no udisks2 on it, or it does not know the device
};

// udisks2's object path for a block device of this kernel name: every character outside
// [A-Za-z0-9] becomes "_" and its two hexadecimal digits ("dm-0" -> "dm_2d0").
std::string udisksBlockPath(const std::string& kernelName);

// org.freedesktop.UDisks2.Filesystem.Unmount on the block device: found by its node
// /dev/kernelName, else by this device number.
UdisksOutcome udisksUnmount(dev_t block, const std::string& kernelName);

// The drive that holds the block device: org.freedesktop.UDisks2.Drive.Eject, and when the
// drive cannot eject its medium, Drive.PowerOff.
UdisksOutcome udisksEject(dev_t block, const std::string& kernelName);

} // namespace platform::linux_backend

#include "linux/linux_volumes.h"

#include "linux/mount_holders.h"
#include "linux/udisks_client.h"

#include <libudev.h>

#include <cerrno>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <scsi/scsi_ioctl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform::linux_backend {
namespace {

// One udev context and one device, released together.
class UdevBlock {
public:
    explicit UdevBlock(dev_t device)
    {
        m_context = udev_new();
        if (m_context)
            m_device = udev_device_new_from_devnum(m_context, 'b', device);
    }
    ~UdevBlock()
    {
        if (m_device)
            udev_device_unref(m_device);
        if (m_context)
            udev_unref(m_context);
    }
    UdevBlock(const UdevBlock&) = delete;
    UdevBlock& operator=(const UdevBlock&) = delete;

    udev_device* device() const { return m_device; }

    // The whole disk: the device itself when it is one, else its parent disk. Owned by device().
    udev_device* disk() const
    {
        if (!m_device)
            return nullptr;
        const char* type = udev_device_get_devtype(m_device);
        if (type && std::string(type) == "disk")
            return m_device;
        return udev_device_get_parent_with_subsystem_devtype(m_device, "block", "disk");
    }

    std::string kernelName() const
    {
        const char* name = m_device ? udev_device_get_sysname(m_device) : nullptr;
        return name ? name : "";
    }

private:
    udev* m_context = nullptr;
    udev_device* m_device = nullptr;
};

dev_t deviceOf(const MountEntry& mount)
{
    return makedev(mount.major, mount.minor);
}

// The last mount whose root is this one (a later mount hides an earlier one on the same point).
const MountEntry* mountAt(const std::vector<MountEntry>& mounts, const std::string& root)
{
    const MountEntry* found = nullptr;
    for (const MountEntry& mount : mounts)
        if (rootOfMountPoint(mount.mountPoint) == root)
            found = &mount;
    return found;
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Opens the disk node for a control request; -1 when there is none or it cannot be opened.
int openDisk(const UdevBlock& block)
{
    udev_device* disk = block.disk();
    const char* node = disk ? udev_device_get_devnode(disk) : nullptr;
    if (!node)
        return -1;
    return ::open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

BlockFacts blockFactsOf(unsigned major, unsigned minor)
{
    BlockFacts facts;
    UdevBlock block(makedev(major, minor));
    if (!block.device())
        return facts;
    facts.known = true;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(block.device()))
    {
        const char* value = udev_list_entry_get_value(entry);
        facts.properties[udev_list_entry_get_name(entry)] = value ? value : "";
    }
    if (udev_device* disk = block.disk()) {
        const char* removable = udev_device_get_sysattr_value(disk, "removable");
        facts.diskRemovable = removable && removable[0] == '1';
    }
    return facts;
}

bool listMountedVolumes(std::vector<VolumeInfo>& volumes)
{
    std::vector<MountEntry> mounts;
    if (!readMountTable(mounts)) {
        volumes.clear();
        return false;
    }
    volumes = volumesFromMounts(mounts, blockFactsOf);
    return true;
}

bool LinuxVolumes::mountedVolumes(std::vector<VolumeInfo>& volumes)
{
    std::vector<MountEntry> mounts;
    if (!readMountTable(mounts)) {
        volumes.clear();
        return false;
    }
    volumes = volumesFromMounts(mounts, blockFactsOf);
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const VolumeInfo& volume : volumes) {
        if (const MountEntry* mount = mountAt(mounts, volume.root); mount && mount->major != 0)
            m_known[volume.root] = Known { deviceOf(*mount), mount->mountPoint, volume.removable };
    }
    return true;
}

bool LinuxVolumes::locate(const std::string& root, Known& known, bool& mounted)
{
    std::vector<MountEntry> mounts;
    readMountTable(mounts);
    std::lock_guard<std::mutex> guard(m_mutex);
    const MountEntry* mount = mountAt(mounts, root);
    if (mount && mount->major != 0 && !isPseudoFileSystem(mount->fsType)) {
        known = Known { deviceOf(*mount), mount->mountPoint,
            isRemovable(blockFactsOf(mount->major, mount->minor)) };
        m_known[root] = known;
        mounted = true;
        return true;
    }
    mounted = false;
    auto it = m_known.find(root);
    if (it == m_known.end())
        return false;
    known = it->second; // seen mounted here before, not now
    return true;
}

bool LinuxVolumes::removalStep(const std::string& root, VolumeStep step)
{
    Known known;
    bool mounted = false;
    if (!locate(root, known, mounted) || !known.removable)
        return false;
    switch (step) {
    case VolumeStep::Lock:
        return mounted && lock(known);
    case VolumeStep::Dismount:
        return mounted && dismount(known);
    case VolumeStep::AllowRemoval:
        return allowRemoval(known);
    case VolumeStep::Eject:
        return !mounted && eject(known);
    }
    return false;
}

bool LinuxVolumes::lock(const Known& known)
{
    int fd = ::open(known.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool flushed = ::syncfs(fd) == 0;
    ::close(fd);
    return flushed && !fileSystemHeld(known.device);
}

bool LinuxVolumes::dismount(const Known& known)
{
    UdevBlock block(known.device);
    UdisksOutcome outcome = udisksUnmount(known.device, block.kernelName());
    if (outcome == UdisksOutcome::Done)
        return true;
    if (outcome == UdisksOutcome::Unreachable && m_umountFallback && runningAsRoot())
        return ::umount2(known.mountPoint.c_str(), 0) == 0;
    return false;
}

bool LinuxVolumes::allowRemoval(const Known& known)
{
    UdevBlock block(known.device);
    udev_device* disk = block.disk();
    if (!disk)
        return false; // the disk has gone
    dev_t diskDevice = udev_device_get_devnum(disk);

    std::vector<MountEntry> mounts;
    if (!readMountTable(mounts))
        return false;
    for (const MountEntry& mount : mounts) {
        if (mount.major == 0)
            continue;
        if (deviceOf(mount) == known.device || deviceOf(mount) == diskDevice)
            return false;
        UdevBlock other(deviceOf(mount));
        udev_device* otherDisk = other.disk();
        if (otherDisk && udev_device_get_devnum(otherDisk) == diskDevice)
            return false; // another partition of the same disk is still in use
    }

    if (!runningAsRoot())
        return true;
    int fd = openDisk(block);
    if (fd < 0)
        return false;
    int r = ::ioctl(fd, SCSI_IOCTL_DOORUNLOCK, 0);
    int error = errno;
    ::close(fd);
    return r == 0 || error == ENOTTY || error == EINVAL;
}

bool LinuxVolumes::eject(const Known& known)
{
    UdevBlock block(known.device);
    UdisksOutcome outcome = udisksEject(known.device, block.kernelName());
    if (outcome == UdisksOutcome::Done)
        return true;
    if (outcome != UdisksOutcome::Unreachable || !runningAsRoot())
        return false;
    int fd = openDisk(block);
    if (fd < 0)
        return false;
    bool ejected = ::ioctl(fd, CDROMEJECT, 0) == 0;
    ::close(fd);
    return ejected;
}

VolumeService& linuxVolumes()
{
    static LinuxVolumes service;
    return service;
}

} // namespace platform::linux_backend

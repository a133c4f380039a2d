#include "linux/volume_facts.h"

#include "textutil/hex_digit.h"

#include <algorithm>
#include <set>

namespace platform::linux_backend {
namespace {

std::string property(const UdevProperties& properties, const char* key)
{
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
}

std::string trimLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

} // namespace

UdevProperties parseUdevProperties(const std::string& text)
{
    UdevProperties properties;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimLineEnd(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.size() >= 2 && line[1] == ':') {
            if (line.rfind("E: ", 0) != 0)
                continue; // P:, N:, S:, L: lines of a full listing
            line.erase(0, 3);
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        properties[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return properties;
}

std::string decodeUdevEscapes(const std::string& encoded)
{
    std::string out;
    out.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x') {
            int high = textutil::hexDigitValue(encoded[i + 2]);
            int low = textutil::hexDigitValue(encoded[i + 3]);
            if (high >= 0 && low >= 0) {
                out.push_back(char(high * 16 + low));
                i += 3;
                continue;
            }
        }
        out.push_back(encoded[i]);
    }
    return out;
}

std::string volumeLabel(const UdevProperties& properties)
{
    auto encoded = properties.find("ID_FS_LABEL_ENC");
    if (encoded != properties.end())
        return decodeUdevEscapes(encoded->second);
    return property(properties, "ID_FS_LABEL");
}

std::string platformFileSystemName(const std::string& kernelType, const UdevProperties& properties)
{
    std::string type = kernelType;
    // FUSE drivers (ntfs-3g, exfat-fuse) mount as "fuseblk"; udev's probe names the real type.
    if (type == "fuseblk") {
        std::string probed = property(properties, "ID_FS_TYPE");
        if (!probed.empty())
            type = probed;
    }
    if (type == "vfat") {
        std::string version = property(properties, "ID_FS_VERSION");
        return (version == "FAT12" || version == "FAT16") ? "FAT" : "FAT32";
    }
    if (type == "msdos")
        return "FAT";
    if (type == "exfat")
        return "exFAT";
    if (type == "ntfs" || type == "ntfs3")
        return "NTFS";
    return type;
}

bool isPseudoFileSystem(const std::string& kernelType)
{
    static const std::set<std::string> pseudo = {
        "proc",
        "sysfs",
        "devtmpfs",
        "devpts",
        "tmpfs",
        "ramfs",
        "cgroup",
        "cgroup2",
        "securityfs",
        "debugfs",
        "tracefs",
        "pstore",
        "bpf",
        "configfs",
        "fusectl",
        "mqueue",
        "hugetlbfs",
        "binfmt_misc",
        "autofs",
        "efivarfs",
        "rpc_pipefs",
        "nsfs",
        "selinuxfs",
        "rootfs",
        "fuse.gvfsd-fuse",
        "fuse.portal",
    };
    return pseudo.count(kernelType) != 0;
}

bool isRemovable(const BlockFacts& facts)
{
    if (!facts.known)
        return false;
    return facts.diskRemovable || property(facts.properties, "ID_BUS") == "usb";
}

VolumeInfo volumeFromMount(const MountEntry& mount, const BlockFacts& facts)
{
    VolumeInfo volume;
    volume.root = rootOfMountPoint(mount.mountPoint);
    volume.label = facts.known ? volumeLabel(facts.properties) : std::string();
    volume.fileSystem
        = platformFileSystemName(mount.fsType, facts.known ? facts.properties : UdevProperties());
    volume.removable = isRemovable(facts);
    return volume;
}

std::vector<VolumeInfo> volumesFromMounts(
    const std::vector<MountEntry>& mounts, const BlockFactsLookup& lookup)
{
    std::vector<VolumeInfo> volumes;
    for (const MountEntry& mount : mounts) {
        if (isPseudoFileSystem(mount.fsType))
            continue;
        BlockFacts facts;
        if (mount.major != 0 && lookup)
            facts = lookup(mount.major, mount.minor);
        VolumeInfo volume = volumeFromMount(mount, facts);
        // A later mount on the same point hides the earlier one.
        volumes.erase(std::remove_if(volumes.begin(), volumes.end(),
                          [&](const VolumeInfo& v) { return v.root == volume.root; }),
            volumes.end());
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

std::vector<DeviceEvent> volumeChangeEvents(
    const std::vector<VolumeInfo>& before, const std::vector<VolumeInfo>& after)
{
    auto removableRoots = [](const std::vector<VolumeInfo>& list) {
        std::set<std::string> roots;
        for (const VolumeInfo& v : list)
            if (v.removable)
                roots.insert(v.root);
        return roots;
    };
    std::set<std::string> oldRoots = removableRoots(before);
    std::set<std::string> newRoots = removableRoots(after);

    std::vector<DeviceEvent> events;
    std::set<std::string> reported;
    for (const VolumeInfo& v : before)
        if (v.removable && !newRoots.count(v.root) && reported.insert(v.root).second)
            events.push_back({ DeviceEventKind::RemoveComplete, v.root });
    reported.clear();
    for (const VolumeInfo& v : after)
        if (v.removable && !oldRoots.count(v.root) && reported.insert(v.root).second)
            events.push_back({ DeviceEventKind::Arrival, v.root });
    return events;
}

} // namespace platform::linux_backend

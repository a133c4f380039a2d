// From mounts and udev facts to the volume list and its change events.

#include "linux/volume_facts.h"
#include "linux_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

using namespace platform;
using namespace platform::linux_backend;

namespace {

// The block devices behind mountinfo_desktop.txt, as udev would describe them.
BlockFacts desktopFacts(unsigned major, unsigned minor)
{
    static const std::map<std::pair<unsigned, unsigned>, std::pair<const char*, bool>> devices = {
        { { 8, 1 }, { "udev_sda1.txt", true } }, // the device's own drive
        { { 259, 1 }, { "udev_nvme0n1p1.txt", false } }, // EFI partition
        { { 8, 49 }, { "udev_sdd1.txt", false } }, // USB hard disk that calls itself fixed
        { { 8, 65 }, { "udev_sde1.txt", true } }, // card reader on the internal bus
    };
    BlockFacts facts;
    auto it = devices.find({ major, minor });
    if (it == devices.end()) {
        facts.known = major != 7; // loop devices: pretend udev has nothing
        return facts;
    }
    facts.known = true;
    facts.properties = parseUdevProperties(linuxFixture(it->second.first));
    facts.diskRemovable = it->second.second;
    return facts;
}

const VolumeInfo* findRoot(const std::vector<VolumeInfo>& volumes, const std::string& root)
{
    for (const VolumeInfo& v : volumes)
        if (v.root == root)
            return &v;
    return nullptr;
}

VolumeInfo vol(const char* root, bool removable)
{
    return VolumeInfo { root, "", "FAT32", removable };
}

} // namespace

TEST(LinuxVolumeFacts, ParsesPropertyListingsOfBothForms)
{
    UdevProperties plain = parseUdevProperties(linuxFixture("udev_sda1.txt"));
    EXPECT_EQ(plain.at("ID_BUS"), "usb");
    EXPECT_EQ(plain.at("ID_FS_LABEL_ENC"), "TARVEL\\x20GPS");

    UdevProperties full = parseUdevProperties(linuxFixture("udev_nvme0n1p1.txt"));
    EXPECT_EQ(full.at("ID_FS_VERSION"), "FAT16");
    EXPECT_EQ(full.count("P"), 0u);
    EXPECT_EQ(full.count("S"), 0u);
    EXPECT_EQ(full.size(), 7u);

    UdevProperties odd = parseUdevProperties("=novalue\nNOEQUALS\r\nKEY=a=b\r\nEMPTY=\n");
    EXPECT_EQ(odd.size(), 2u);
    EXPECT_EQ(odd.at("KEY"), "a=b");
    EXPECT_EQ(odd.at("EMPTY"), "");
}

TEST(LinuxVolumeFacts, DecodesLabels)
{
    EXPECT_EQ(decodeUdevEscapes("TARVEL\\x20GPS"), "TARVEL GPS");
    EXPECT_EQ(decodeUdevEscapes("caf\\xc3\\xa9\\x2fx"), "caf\xc3\xa9/x");
    EXPECT_EQ(decodeUdevEscapes("a\\xZZ\\x2"), "a\\xZZ\\x2");
    EXPECT_EQ(decodeUdevEscapes("back\\slash"), "back\\slash");

    EXPECT_EQ(volumeLabel({ { "ID_FS_LABEL", "TARVEL_GPS" }, { "ID_FS_LABEL_ENC", "TARVEL\\x20GPS" } }),
        "TARVEL GPS");
    EXPECT_EQ(volumeLabel({ { "ID_FS_LABEL", "Tarvel" } }), "Tarvel");
    EXPECT_EQ(volumeLabel({}), "");
}

TEST(LinuxVolumeFacts, NamesFileSystemsAsUsersKnowThem)
{
    EXPECT_EQ(platformFileSystemName("vfat", { { "ID_FS_VERSION", "FAT32" } }), "FAT32");
    EXPECT_EQ(platformFileSystemName("vfat", { { "ID_FS_VERSION", "FAT16" } }), "FAT");
    EXPECT_EQ(platformFileSystemName("vfat", { { "ID_FS_VERSION", "FAT12" } }), "FAT");
    EXPECT_EQ(platformFileSystemName("vfat", {}), "FAT32");
    EXPECT_EQ(platformFileSystemName("msdos", {}), "FAT");
    EXPECT_EQ(platformFileSystemName("exfat", {}), "exFAT");
    EXPECT_EQ(platformFileSystemName("ntfs", {}), "NTFS");
    EXPECT_EQ(platformFileSystemName("ntfs3", {}), "NTFS");
    EXPECT_EQ(platformFileSystemName("fuseblk", { { "ID_FS_TYPE", "ntfs" } }), "NTFS");
    EXPECT_EQ(platformFileSystemName("fuseblk", { { "ID_FS_TYPE", "exfat" } }), "exFAT");
    EXPECT_EQ(platformFileSystemName("fuseblk", {}), "fuseblk");
    EXPECT_EQ(platformFileSystemName("ext4", { { "ID_FS_TYPE", "ext4" } }), "ext4");
    // The probe names the FUSE type only; a kernel driver's own name wins.
    EXPECT_EQ(platformFileSystemName("vfat", { { "ID_FS_TYPE", "ntfs" } }), "FAT32");
}

TEST(LinuxVolumeFacts, ListsTheDesktopTable)
{
    auto volumes = volumesFromMounts(parseMountInfo(linuxFixture("mountinfo_desktop.txt")), desktopFacts);
    std::vector<std::string> roots;
    for (const VolumeInfo& v : volumes)
        roots.push_back(v.root);
    // No /sys, /proc or /run; /mnt/data once, for the mount on top.
    EXPECT_EQ(roots,
        (std::vector<std::string> { "/", "/boot/efi/", "/mnt/data/", "/media/anna/TARVEL GPS/",
            "/media/anna/Back\\up\tDisk/", "/media/anna/CARD/", "/snap/core/17/" }));

    const VolumeInfo* gps = findRoot(volumes, "/media/anna/TARVEL GPS/");
    ASSERT_TRUE(gps);
    EXPECT_EQ(gps->label, "TARVEL GPS");
    EXPECT_EQ(gps->fileSystem, "FAT32");
    EXPECT_TRUE(gps->removable);

    const VolumeInfo* efi = findRoot(volumes, "/boot/efi/");
    EXPECT_EQ(efi->fileSystem, "FAT");
    EXPECT_EQ(efi->label, "EFI");
    EXPECT_FALSE(efi->removable);

    const VolumeInfo* usbDisk = findRoot(volumes, "/media/anna/Back\\up\tDisk/");
    EXPECT_EQ(usbDisk->fileSystem, "NTFS");
    EXPECT_TRUE(usbDisk->removable) << "a USB disk counts as removable";

    EXPECT_TRUE(findRoot(volumes, "/media/anna/CARD/")->removable) << "removable attribute";
    EXPECT_EQ(findRoot(volumes, "/media/anna/CARD/")->fileSystem, "exFAT");
    EXPECT_FALSE(findRoot(volumes, "/")->removable);
    EXPECT_FALSE(findRoot(volumes, "/snap/core/17/")->removable) << "no udev facts";
    EXPECT_EQ(findRoot(volumes, "/snap/core/17/")->label, "");
}

TEST(LinuxVolumeFacts, ListsWithoutAnyUdevFacts)
{
    // A machine without a udev database: mounts are still listed, none is removable.
    auto volumes = volumesFromMounts(parseMountInfo(linuxFixture("mountinfo_desktop.txt")), nullptr);
    ASSERT_EQ(volumes.size(), 7u);
    for (const VolumeInfo& v : volumes) {
        EXPECT_FALSE(v.removable) << v.root;
        EXPECT_EQ(v.label, "") << v.root;
    }
    EXPECT_EQ(findRoot(volumes, "/boot/efi/")->fileSystem, "FAT32");
}

TEST(LinuxVolumeFacts, ChangeEventsCoverRemovableVolumesOnly)
{
    std::vector<VolumeInfo> before
        = { vol("/", false), vol("/media/a/OLD/", true), vol("/media/a/KEEP/", true) };
    std::vector<VolumeInfo> after = { vol("/", false), vol("/media/a/KEEP/", true),
        vol("/media/a/NEW/", true), vol("/mnt/fixed/", false) };
    auto events = volumeChangeEvents(before, after);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, DeviceEventKind::RemoveComplete);
    EXPECT_EQ(events[0].root, "/media/a/OLD/");
    EXPECT_EQ(events[1].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(events[1].root, "/media/a/NEW/");

    EXPECT_TRUE(volumeChangeEvents(after, after).empty());
    EXPECT_TRUE(volumeChangeEvents({}, { vol("/mnt/fixed/", false) }).empty());

    // Several at once keep listing order, removals first; a root listed twice counts once.
    auto many = volumeChangeEvents({ vol("/m/1/", true), vol("/m/2/", true) },
        { vol("/m/3/", true), vol("/m/4/", true), vol("/m/3/", true) });
    ASSERT_EQ(many.size(), 4u);
    EXPECT_EQ(many[0].root, "/m/1/");
    EXPECT_EQ(many[1].root, "/m/2/");
    EXPECT_EQ(many[2].root, "/m/3/");
    EXPECT_EQ(many[3].root, "/m/4/");

    // A fixed volume that became removable at the same root arrives; the reverse goes away.
    auto flipped = volumeChangeEvents(
        { vol("/m/x/", false), vol("/m/y/", true) }, { vol("/m/x/", true), vol("/m/y/", false) });
    ASSERT_EQ(flipped.size(), 2u);
    EXPECT_EQ(flipped[0].kind, DeviceEventKind::RemoveComplete);
    EXPECT_EQ(flipped[0].root, "/m/y/");
    EXPECT_EQ(flipped[1].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(flipped[1].root, "/m/x/");
}

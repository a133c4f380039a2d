// The mount-table parser: escapes, optional fields and malformed lines.

#include "linux/mount_table.h"
#include "linux_fixture.h"

#include <gtest/gtest.h>

using namespace platform::linux_backend;

TEST(LinuxMountTable, UnescapesOctalAndKeepsBrokenEscapes)
{
    EXPECT_EQ(unescapeMountField("/media/a\\040b"), "/media/a b");
    EXPECT_EQ(unescapeMountField("tab\\011nl\\012bs\\134end"), "tab\tnl\nbs\\end");
    EXPECT_EQ(unescapeMountField("\\101\\102"), "AB");
    // Too short, not octal, or at the very end: left as written.
    EXPECT_EQ(unescapeMountField("a\\04"), "a\\04");
    EXPECT_EQ(unescapeMountField("a\\089"), "a\\089");
    EXPECT_EQ(unescapeMountField("a\\"), "a\\");
    EXPECT_EQ(unescapeMountField("\\777"), "\\777"); // beyond one byte
}

TEST(LinuxMountTable, ParsesLinesWithAndWithoutOptionalFields)
{
    auto plain = parseMountInfoLine("28 1 259:2 / / rw,relatime - ext4 /dev/nvme0n1p2 rw,errors=remount-ro");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->mountId, 28);
    EXPECT_EQ(plain->parentId, 1);
    EXPECT_EQ(plain->major, 259u);
    EXPECT_EQ(plain->minor, 2u);
    EXPECT_EQ(plain->mountPoint, "/");
    EXPECT_EQ(plain->fsType, "ext4");
    EXPECT_EQ(plain->source, "/dev/nvme0n1p2");
    EXPECT_EQ(plain->superOptions, "rw,errors=remount-ro");

    auto tagged = parseMountInfoLine("512 30 8:1 /sub /media/x\\040y rw shared:301 master:2 propagate_from:1 "
                                     "unbindable - vfat /dev/sda1 rw");
    ASSERT_TRUE(tagged);
    EXPECT_EQ(tagged->root, "/sub");
    EXPECT_EQ(tagged->mountPoint, "/media/x y");
    EXPECT_EQ(tagged->fsType, "vfat");
    EXPECT_EQ(tagged->source, "/dev/sda1");

    // A source that itself is "-" must not be taken for the separator.
    auto dashSource = parseMountInfoLine("40 1 0:50 / /mnt/n rw - nfs - rw,vers=4");
    ASSERT_TRUE(dashSource);
    EXPECT_EQ(dashSource->fsType, "nfs");
    EXPECT_EQ(dashSource->source, "-");

    // Super options missing: still a mount.
    auto bare = parseMountInfoLine("41 1 8:2 / /mnt/b rw - ext4 /dev/sda2");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->superOptions, "");
}

TEST(LinuxMountTable, RejectsMalformedLines)
{
    EXPECT_FALSE(parseMountInfoLine(""));
    EXPECT_FALSE(parseMountInfoLine("28 1 259:2 / / rw,relatime shared:1")); // no separator
    EXPECT_FALSE(parseMountInfoLine("28 1 259:2 / / rw - ext4")); // no source
    EXPECT_FALSE(parseMountInfoLine("x 1 259:2 / / rw - ext4 /dev/a rw")); // id
    EXPECT_FALSE(parseMountInfoLine("28 1 2592 / / rw - ext4 /dev/a rw")); // device
    EXPECT_FALSE(parseMountInfoLine("28 1 259:2x / / rw - ext4 /dev/a rw")); // device
    EXPECT_FALSE(parseMountInfoLine("28 1 259:2 / relative rw - ext4 /dev/a rw")); // mount point
    EXPECT_FALSE(parseMountInfoLine("28 1 259:2 / - - ext4 /dev/a rw")); // too few leading
}

TEST(LinuxMountTable, ParsesAWholeTableSkippingBadLines)
{
    auto mounts = parseMountInfo(linuxFixture("mountinfo_desktop.txt"));
    ASSERT_EQ(mounts.size(), 11u);
    EXPECT_EQ(mounts[0].mountPoint, "/sys");
    EXPECT_EQ(mounts[7].mountPoint, "/media/anna/TARVEL GPS");
    EXPECT_EQ(mounts[8].mountPoint, "/media/anna/Back\\up\tDisk");
    EXPECT_EQ(mounts[10].root, "/sub");
    // No line end after the last line, and CRLF-free input, make no difference.
    EXPECT_EQ(parseMountInfo("28 1 8:2 / / rw - ext4 /dev/a rw").size(), 1u);
}

TEST(LinuxMountTable, RootsEndInOneSlash)
{
    EXPECT_EQ(rootOfMountPoint("/"), "/");
    EXPECT_EQ(rootOfMountPoint("/media/anna/TARVEL"), "/media/anna/TARVEL/");
    EXPECT_EQ(rootOfMountPoint("/media/x/"), "/media/x/");
}

TEST(LinuxMountTable, ReadingAMissingTableFails)
{
    std::vector<MountEntry> mounts { MountEntry {} };
    EXPECT_FALSE(readMountTable(mounts, "/nonexistent/mountinfo"));
    EXPECT_TRUE(mounts.empty());
    EXPECT_TRUE(readMountTable(mounts, std::string(TARVEL_LINUX_FIXTURES) + "/mountinfo_desktop.txt"));
    EXPECT_EQ(mounts.size(), 11u);
}

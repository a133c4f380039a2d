// The volume service's removal steps against a real udisks2, a real udev database and a FAT
// file system mounted with FUSE from a loop device. Run by tests/platform/udisks_lane.sh,
// which starts the D-Bus daemon, udevd and udisksd and cleans up after them; the lane's
// folder comes in TARVEL_LANE_DIR.

#include "linux/linux_volumes.h"
#include "linux/mount_table.h"
#include "linux/udisks_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace platform::linux_backend;
using platform::VolumeInfo;
using platform::VolumeStep;
using Clock = std::chrono::steady_clock;

namespace {

std::string commandOutput(const std::string& command)
{
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof(buffer), pipe))
            out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool mountedAt(const std::string& folder)
{
    std::vector<MountEntry> mounts;
    readMountTable(mounts);
    for (const MountEntry& mount : mounts)
        if (mount.mountPoint == folder)
            return true;
    return false;
}

template <typename Check>
bool waitFor(Check check, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto end = Clock::now() + limit;
    while (!check()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_had = true;
            m_old = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (m_had)
            ::setenv(m_name, m_old.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

// A FAT image labelled TARVEL on a loop device, known to udev and udisks2, mounted with FUSE.
class UdisksLane : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* lane = std::getenv("TARVEL_LANE_DIR");
        if (!lane || ::geteuid() != 0)
            GTEST_SKIP() << "needs root and the services of tests/platform/udisks_lane.sh";
        std::string pattern = std::string(lane) + "/case.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        m_folder = name.data();
        m_mountPoint = m_folder + "/drive";
        ASSERT_EQ(::mkdir(m_mountPoint.c_str(), 0755), 0);
        std::string image = m_folder + "/drive.img";
        ASSERT_TRUE(run("truncate -s 8M " + image + " && mkfs.vfat -n TARVEL " + image));
        m_loop = commandOutput("losetup -f --show " + image);
        ASSERT_EQ(m_loop.rfind("/dev/loop", 0), 0u) << m_loop;
        struct stat node {};
        ASSERT_EQ(::stat(m_loop.c_str(), &node), 0);
        m_device = node.st_rdev;
        m_kernelName = m_loop.substr(5);
        ASSERT_TRUE(run("udevadm settle -t 10"));
        // udisks2 learns of the device from udev a moment after udev has settled.
        ASSERT_TRUE(waitFor([&] {
            return commandOutput("busctl --system --timeout=2 call org.freedesktop.UDisks2 "
                                 "/org/freedesktop/UDisks2/Manager org.freedesktop.UDisks2.Manager "
                                 "ResolveDevice 'a{sv}a{sv}' 1 path s "
                       + m_loop + " 0")
                .find("block_devices/" + m_kernelName)
                != std::string::npos;
        })) << "udisks2 never saw " << m_loop;
        ASSERT_TRUE(run("fusefat -o rw+,blkdev,fsname=" + m_loop + " " + m_loop + " " + m_mountPoint));
        ASSERT_TRUE(waitFor([&] { return mountedAt(m_mountPoint); }));
        m_root = rootOfMountPoint(m_mountPoint);
    }

    void TearDown() override
    {
        if (m_held >= 0)
            ::close(m_held);
        if (!m_mountPoint.empty() && mountedAt(m_mountPoint))
            ::umount2(m_mountPoint.c_str(), MNT_DETACH);
        if (!m_loop.empty())
            run("losetup -d " + m_loop);
        if (!m_folder.empty())
            run("rm -rf " + m_folder);
    }

    // The service's view of the test's drive; removable only through the lane's udev rule.
    bool findVolume(LinuxVolumes& volumes, VolumeInfo& found)
    {
        std::vector<VolumeInfo> listed;
        if (!volumes.mountedVolumes(listed))
            return false;
        for (const VolumeInfo& volume : listed)
            if (volume.root == m_root) {
                found = volume;
                return true;
            }
        return false;
    }

    std::string m_folder, m_mountPoint, m_root, m_loop, m_kernelName;
    dev_t m_device = 0;
    int m_held = -1;
};

TEST_F(UdisksLane, AllFourStepsWithTheUnmountDoneByUdisks)
{
    LinuxVolumes volumes(false); // no umount2: a dismount that works was udisks2's
    VolumeInfo volume;
    ASSERT_TRUE(findVolume(volumes, volume));
    EXPECT_EQ(volume.label, "TARVEL");
    EXPECT_TRUE(volume.removable);

    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::Lock));
    auto start = Clock::now();
    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::Dismount));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_FALSE(mountedAt(m_mountPoint));
    EXPECT_LT(took.count(), 5000);
    std::printf("udisks2 unmount took %lld ms\n", static_cast<long long>(took.count()));

    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::AllowRemoval));
    // A loop device belongs to no drive: udisks2 has nothing to eject, and says so.
    EXPECT_EQ(udisksEject(m_device, m_kernelName), UdisksOutcome::Failed);
    EXPECT_FALSE(volumes.removalStep(m_root, VolumeStep::Eject));
}

TEST_F(UdisksLane, TheBlockIsFoundByItsNodeWhereTheNumberFindsNothing)
{
    // Resolved by the node's name the unmount works; a name that no node has leaves only the
    // device number, which this udisks2 may or may not resolve: never a wrong device.
    UdisksOutcome byNumberOnly = udisksUnmount(m_device, "loop-none");
    ASSERT_TRUE(mountedAt(m_mountPoint) || byNumberOnly == UdisksOutcome::Done);
    if (mountedAt(m_mountPoint)) {
        EXPECT_NE(byNumberOnly, UdisksOutcome::Done);
        EXPECT_EQ(udisksUnmount(m_device, m_kernelName), UdisksOutcome::Done);
    }
    EXPECT_FALSE(mountedAt(m_mountPoint));
    // Unmounted already: udisks2 refuses, and that is a failure, not a missing service.
    EXPECT_EQ(udisksUnmount(m_device, m_kernelName), UdisksOutcome::Failed);
}

TEST_F(UdisksLane, ABusyDriveStaysMountedUntilItIsLetGo)
{
    LinuxVolumes volumes(false);
    VolumeInfo volume;
    ASSERT_TRUE(findVolume(volumes, volume));
    m_held = ::open((m_mountPoint + "/HELD.TXT").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(m_held, 0);

    EXPECT_FALSE(volumes.removalStep(m_root, VolumeStep::Lock));
    EXPECT_FALSE(volumes.removalStep(m_root, VolumeStep::Dismount)); // udisks2: target busy
    EXPECT_TRUE(mountedAt(m_mountPoint));
    EXPECT_FALSE(volumes.removalStep(m_root, VolumeStep::AllowRemoval));

    ::close(m_held);
    m_held = -1;
    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::Lock));
    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::Dismount));
    EXPECT_FALSE(mountedAt(m_mountPoint));
}

TEST_F(UdisksLane, WithUdisksUnreachableTheSystemCallsStandIn)
{
    ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_folder + "/no-bus-here");
    EXPECT_EQ(udisksUnmount(m_device, m_kernelName), UdisksOutcome::Unreachable);
    EXPECT_EQ(udisksEject(m_device, m_kernelName), UdisksOutcome::Unreachable);

    LinuxVolumes udisksOnly(false);
    VolumeInfo volume;
    ASSERT_TRUE(findVolume(udisksOnly, volume));
    auto start = Clock::now();
    EXPECT_FALSE(udisksOnly.removalStep(m_root, VolumeStep::Dismount));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
    EXPECT_TRUE(mountedAt(m_mountPoint));

    LinuxVolumes volumes; // as root, umount2 stands in for udisks2
    ASSERT_TRUE(findVolume(volumes, volume));
    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::Lock));
    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::Dismount));
    EXPECT_FALSE(mountedAt(m_mountPoint));
    EXPECT_TRUE(volumes.removalStep(m_root, VolumeStep::AllowRemoval));
    // The eject request goes to the disk node itself; a loop device has no medium to eject and
    // refuses it, and the step says so at once instead of waiting on the bus.
    start = Clock::now();
    EXPECT_FALSE(volumes.removalStep(m_root, VolumeStep::Eject));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
    // The loop device is still there: a refused eject detached nothing.
    struct stat node {};
    EXPECT_EQ(::stat(m_loop.c_str(), &node), 0);
    EXPECT_NE(commandOutput("losetup -nO BACK-FILE " + m_loop), "");
}

} // namespace

// The real enumeration and mount table of this machine: only invariants are checked.

#include "linux/linux_device_events.h"
#include "linux/linux_volumes.h"
#include "linux/mount_table.h"
#include "linux/udev_usb_devices.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <regex>
#include <sys/mount.h>
#include <unistd.h>

using namespace platform;
using namespace platform::linux_backend;

TEST(LinuxSmoke, EveryUsbHardwareIdHasTheFormat)
{
    std::vector<std::string> ids { "stale" };
    ASSERT_TRUE(udevUsbDevices().presentHardwareIds(ids));
    const std::regex format(R"(USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}&REV_[0-9A-F]{4})");
    for (const std::string& id : ids)
        EXPECT_TRUE(std::regex_match(id, format)) << id;
    EXPECT_TRUE(std::find(ids.begin(), ids.end(), "stale") == ids.end());
}

TEST(LinuxSmoke, TheMountTableListsTheRootFileSystemAsFixed)
{
    std::vector<VolumeInfo> volumes;
    ASSERT_TRUE(linuxVolumes().mountedVolumes(volumes));
    ASSERT_FALSE(volumes.empty());
    const VolumeInfo* root = nullptr;
    for (const VolumeInfo& v : volumes) {
        ASSERT_FALSE(v.root.empty());
        EXPECT_EQ(v.root.front(), '/') << v.root;
        EXPECT_EQ(v.root.back(), '/') << v.root;
        EXPECT_FALSE(v.fileSystem.empty()) << v.root;
        EXPECT_NE(v.fileSystem, "proc") << v.root;
        if (v.root == "/")
            root = &v;
    }
    ASSERT_NE(root, nullptr) << "the root file system is listed";
    EXPECT_FALSE(root->removable);
}

TEST(LinuxSmoke, RemovalStepsRefuseFixedAndUnknownVolumes)
{
    std::vector<VolumeInfo> volumes;
    ASSERT_TRUE(linuxVolumes().mountedVolumes(volumes));
    for (VolumeStep step :
        { VolumeStep::Lock, VolumeStep::Dismount, VolumeStep::AllowRemoval, VolumeStep::Eject }) {
        EXPECT_FALSE(linuxVolumes().removalStep("/", step)) << volumeStepName(step);
        EXPECT_FALSE(linuxVolumes().removalStep("/no/such/volume/", step)) << volumeStepName(step);
    }
}

TEST(LinuxSmoke, EventServiceStartsAndStops)
{
    LinuxDeviceEvents events;
    int calls = 0;
    ASSERT_TRUE(events.start([&](const DeviceEvent&) { ++calls; }));
    events.stop();
    events.stop();
    ASSERT_TRUE(events.start([&](const DeviceEvent&) { ++calls; }));
    events.stop();
    SUCCEED() << calls << " events seen";
}

namespace {

// Lists the real mount table, counting only mounts below one folder as removable volumes.
VolumeLister removableBelow(const std::string& folder)
{
    return [folder](std::vector<VolumeInfo>& volumes) {
        std::vector<MountEntry> mounts;
        if (!readMountTable(mounts))
            return false;
        volumes.clear();
        for (const MountEntry& m : mounts)
            volumes.push_back(
                { rootOfMountPoint(m.mountPoint), "", m.fsType, m.mountPoint.rfind(folder, 0) == 0 });
        return true;
    };
}

} // namespace

// The kernel's change mark on the mount table reaches the watch: a mount made now arrives, and
// its unmount completes a removal, in that order.
TEST(LinuxSmoke, MountTableWatchSeesARealMountAndUnmount)
{
    char pattern[] = "/tmp/tarvel-watch-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    std::string folder = pattern;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DeviceEvent> seen;
    EventLoop loop;
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(std::make_unique<MountTableSource>(
        ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC), removableBelow(folder)));
    ASSERT_TRUE(loop.start(std::move(sources), [&](const DeviceEvent& e) {
        std::lock_guard<std::mutex> guard(mutex);
        seen.push_back(e);
        changed.notify_all();
    }));
    auto waitFor = [&](size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() >= count; });
    };

    if (::mount("tarvel-test", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
        loop.stop();
        ::rmdir(folder.c_str());
        GTEST_SKIP() << "mounting needs privileges this run does not have";
    }
    bool arrived = waitFor(1);
    ::umount2(folder.c_str(), 0);
    bool removed = waitFor(2);
    loop.stop();
    ::rmdir(folder.c_str());

    ASSERT_TRUE(arrived);
    ASSERT_TRUE(removed);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, DeviceEventKind::Arrival);
    EXPECT_EQ(seen[0].root, folder + "/");
    EXPECT_EQ(seen[1].kind, DeviceEventKind::RemoveComplete);
    EXPECT_EQ(seen[1].root, folder + "/");
}

// The real enumeration and mount table of this machine: only invariants are checked.

#include "linux/linux_device_events.h"
#include "linux/linux_volumes.h"
#include "linux/udev_usb_devices.h"

#include <gtest/gtest.h>

#include <regex>

using namespace platform;
using namespace platform::linux_backend;

TEST(LinuxSmoke, EveryUsbHardwareIdHasTheFormat)
{
    std::vector<std::string> ids{"stale"};
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
    for (VolumeStep step : {VolumeStep::Lock, VolumeStep::Dismount, VolumeStep::AllowRemoval, VolumeStep::Eject}) {
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

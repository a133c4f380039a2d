// A removable drive under Wine, mapped by removable_drive_test.sh to a test folder of its own
// (drive E:, labelled "TARVEL GPS", with a Tarvel folder in its root): the logical-drive backend
// sees it as the device's drive would be seen, and the updater's removal steps report Wine's
// refusal to dismount as the failure it is.

#include "platform/clock.h"
#include "platform/native.h"
#include "platform/volumes.h"
#include "state/app_callbacks.h"
#include "storage/gps_drive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

using namespace platform;

namespace {

std::mutex g_logMutex;
std::string g_log;

void recordLog(const char* text)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log += text;
}

} // namespace

TEST(WindowsRemovableDrive, IsListedRemovableWithItsLabelAndFileSystem)
{
    std::vector<VolumeInfo> volumes;
    ASSERT_TRUE(native::volumeService().mountedVolumes(volumes));
    auto e = std::find_if(volumes.begin(), volumes.end(), [](const VolumeInfo& v) { return v.root == "E:\\"; });
    ASSERT_NE(e, volumes.end());
    EXPECT_TRUE(e->removable);
    EXPECT_EQ(e->label, "TARVEL GPS");
    EXPECT_EQ(e->fileSystem, "NTFS");
    std::vector<std::string> folders;
    ASSERT_TRUE(native::volumeService().rootFolders(e->root, folders));
    EXPECT_NE(std::find(folders.begin(), folders.end(), "Tarvel"), folders.end());
}

TEST(WindowsRemovableDrive, TheDriveSearchFindsItByItsLabel)
{
    setTimeScale(0);
    setVolumeService(nullptr);
    forgetGpsDrive();
    EXPECT_EQ(findGpsDrive(), "E:\\");
}

TEST(WindowsRemovableDrive, LockSucceedsAndTheRefusedDismountIsReportedAsAFailure)
{
    VolumeService& volumes = native::volumeService();
    EXPECT_TRUE(volumes.removalStep("E:\\", VolumeStep::Lock));
    EXPECT_FALSE(volumes.removalStep("E:\\", VolumeStep::Dismount)); // Wine: error 50
    // The failed dismount ended the sequence and let the volume go: it locks afresh.
    EXPECT_TRUE(volumes.removalStep("E:\\", VolumeStep::Lock));
    EXPECT_FALSE(volumes.removalStep("E:\\", VolumeStep::Dismount));

    setTimeScale(0);
    setLogCallback(recordLog);
    ejectGpsDrive("E:\\");
    setLogCallback(nullptr);
    std::lock_guard<std::mutex> lock(g_logMutex);
    EXPECT_NE(g_log.find("Drive E:\\ could not be dismounted"), std::string::npos) << g_log;
    EXPECT_EQ(g_log.find("could not be locked"), std::string::npos) << g_log;
    EXPECT_EQ(g_log.find("ejected safely"), std::string::npos) << g_log;
    EXPECT_EQ(g_log.find("can be safely removed"), std::string::npos) << g_log;
}

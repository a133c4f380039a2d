// The road of one update, step by step through the updater's own operations, against the
// simulated device on the virtual bus: read, back up, jump to the bootloader, program, reset
// the disk, update the wireless firmware, read again, restore the rider's data.

#include "devlink/device_info.h"
#include "devlink/service_commands.h"
#include "flash/programming.h"
#include "storage/backup.h"
#include "storage/gps_drive.h"
#include "storage/language_packs.h"
#include "storage/wireless_update.h"

#include "device_replies.h"
#include "fake_volumes.h"
#include "folder_files.h"
#include "platform/clock.h"
#include "platform/virtual_bus.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "simulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

void noPause(platform::Milliseconds) {}


class UpdateRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSharedState();
        forgetGpsDrive();
        readDeviceCrashCount = 0;
        eraseCrashCount = programCrashCount = resetCrashCount = 0;
        platform::setPauseHook(noPause);
        setenv("XDG_DATA_HOME", home.sub("data").c_str(), 1);
        setenv("XDG_STATE_HOME", home.sub("state").c_str(), 1);
    }
    void TearDown() override
    {
        if (sim)
            sim->stop();
        platform::selectVirtualBus("");
        platform::setPauseHook(nullptr);
        forgetGpsDrive();
        resetSharedState();
    }
    void start(const std::string& description)
    {
        devsim::DeviceConfig config;
        std::string error;
        ASSERT_TRUE(devsim::parseDeviceDescription(description, config, error)) << error;
        sim = std::make_unique<devsim::Simulator>(config);
        static std::atomic<int> n{0};
        const std::string path = "/tmp/tarvel-road-" + std::to_string(getpid()) + "-" + std::to_string(n++) + ".sock";
        ASSERT_TRUE(sim->start(path, &error)) << error;
        platform::selectVirtualBus(path);
    }
    void settle() { ASSERT_TRUE(sim->device().waitIdle(20000)); }
    // What the scan does for a device in its application face: read it, find its drive.
    void readAndFindDrive()
    {
        ASSERT_TRUE(readDevice(record)) << log.text();
        const std::string root = findGpsDrive();
        ASSERT_FALSE(root.empty());
        gpsDrivePath.set(root);
    }

    TempFolder home;
    std::unique_ptr<devsim::Simulator> sim;
    DeviceInfo record;
    LogCapture log;
    StatusCapture status;
};

TEST_F(UpdateRoad, PeakProFromTheOldGenerationKeepsTheRidersData)
{
    start("model=13,version=7.63,nrf=1.10.31.39");
    settle();
    readAndFindDrive();
    EXPECT_EQ(record.updateButtonText, "Update to 14.51");
    EXPECT_EQ(gpsDrivePath.get(), sim->device().driveRoot());
    const auto ridersData = filesBelow(gpsDrivePath.get() + "Tarvel");
    ASSERT_FALSE(ridersData.empty());

    ASSERT_TRUE(getNordicVersion());
    EXPECT_EQ(NRFV.load(), 1031039);

    // The update worker: back up, then into the bootloader.
    saveGpsDataToLocal(record);
    ASSERT_TRUE(updateFirmware(record)) << log.text();
    EXPECT_TRUE(isSet(backupHeld));
    EXPECT_TRUE(isSet(resetBeforeNordic));
    settle();
    EXPECT_EQ(sim->device().state()["face"].asString(), "bootloader");

    // The bootloader-mode worker.
    ASSERT_TRUE(onBootloaderMode(13, 0x2B29)) << log.text();
    EXPECT_EQ(status.calls().back().message, "Peak Pro Flashing success");
    settle();

    // Back in the application face: the disk reset the backup asked for.
    ASSERT_TRUE(factoryReset());
    resetBeforeNordic = 0;
    settle();
    EXPECT_TRUE(filesBelow(gpsDrivePath.get() + "Tarvel").empty()); // the disk was reset

    // The wireless worker: read again, update the wireless firmware, read again.
    NRFV = 0;
    ASSERT_TRUE(readDevice(record));
    ASSERT_TRUE(getNordicVersion());
    ASSERT_TRUE(updateNordicFirmware()) << log.text();
    settle();
    NRFV = 0;
    ASSERT_TRUE(readDevice(record));
    ASSERT_TRUE(getNordicVersion());
    EXPECT_EQ(NRFV.load(), 1333026);
    ASSERT_TRUE(readDevice(record)); // the decision with the wireless build known
    EXPECT_EQ(record.major, 14);
    EXPECT_EQ(record.minor, 51);
    EXPECT_EQ(record.infoMessage, "Latest software is installed on device");

    // The done handling: the held data goes back.
    ASSERT_TRUE(saveLocalDataToGps());
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_EQ(filesBelow(gpsDrivePath.get() + "Tarvel"), ridersData);
}

TEST_F(UpdateRoad, JapaneseDeviceGetsItsLanguagePacks)
{
    start("model=13,variant=japanese,version=14.51");
    settle();
    readAndFindDrive();
    EXPECT_EQ(record.dlv, 60);
    ASSERT_TRUE(updateLanguagePacks()) << log.text();
    EXPECT_TRUE(status.hasDetail("Language Pack 2 of 2 done!"));
}

TEST_F(UpdateRoad, SummitLanguagePackIsTheLargeFont)
{
    start("model=11,variant=japanese,version=14.51");
    settle();
    readAndFindDrive();
    ASSERT_TRUE(updateLanguagePacks()) << log.text();
    EXPECT_TRUE(status.hasDetail("Language Pack summit done!"));
}

TEST_F(UpdateRoad, AFullDriveStopsTheWirelessUpdateBeforeTheDeviceIsTold)
{
    start("model=5,version=7.63,nrf=1.10.30.1");
    settle();
    readAndFindDrive();
    ASSERT_TRUE(getNordicVersion());
    devsim::Fault full;
    full.kind = devsim::FaultKind::DriveFull;
    sim->device().injectFault(full);
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("xfer FAIL source "));
    EXPECT_FALSE(log.contains("Sending UPDATE_NORDIC command"));
}

TEST_F(UpdateRoad, AStuckDriveIsStillOfferedToTheDeviceAndTheLogSaysSo)
{
    start("model=5,version=7.63,nrf=1.10.30.1");
    settle();
    readAndFindDrive();
    ASSERT_TRUE(getNordicVersion());
    devsim::Fault stuck;
    stuck.kind = devsim::FaultKind::DriveStuck;
    sim->device().injectFault(stuck);
    // The device refuses an update while its drive is mounted: the update fails plainly.
    EXPECT_FALSE(updateNordicFirmware());
    EXPECT_TRUE(log.contains("could not be locked"));
    EXPECT_TRUE(log.contains("could not be dismounted"));
    EXPECT_TRUE(log.contains("ANT_UPDATE_FAILED"));
}

TEST_F(UpdateRoad, EraseKeysEndsWhenTheDeviceRestarts)
{
    start("model=14,version=14.51");
    settle();
    NRFV = 1333026;
    ASSERT_TRUE(eraseNordicKeys());
    EXPECT_EQ(NRFV.load(), 0);
    settle();
    ASSERT_TRUE(readDevice(record)); // it came back
}

} // namespace

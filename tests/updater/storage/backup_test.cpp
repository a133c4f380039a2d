#include "storage_fixture.h"

#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "storage/backup.h"

#include <sys/stat.h>

using namespace testsupport;

namespace {

class Backup : public StorageTest {
protected:
    void SetUp() override
    {
        StorageTest::SetUp();
        record.deviceType = 13;
        record.major = 7;
        record.minor = 63;
        appCallbacks.currentDevice.store(&record);
    }
    DeviceInfo record;
};

TEST_F(Backup, OldPeakProFirmwareIsBackedUpBeforeTheUpdate)
{
    const std::string drive = addDeviceDrive();
    const std::string local = localBackupFolder();
    EXPECT_EQ(local, home.sub("state/Tarvel"));
    std::filesystem::create_directories(local);
    writeText(local + "/stale.txt", "from an old, restored backup");

    bool mustStop = true;
    ASSERT_TRUE(saveGpsDataToLocal(record, &mustStop));
    EXPECT_FALSE(mustStop);
    EXPECT_TRUE(isSet(backupHeld));
    EXPECT_TRUE(isSet(resetBeforeNordic));
    EXPECT_EQ(readText(local + "/settings.txt"), "units=km\n");
    EXPECT_EQ(readText(local + "/Rides/ride1.fit"), std::string(5000, 'r'));
    EXPECT_FALSE(std::filesystem::exists(local + "/stale.txt"));
    EXPECT_TRUE(log.contains("Save GPS Data To Local...DONE\r\n"));
    struct stat info = {};
    ASSERT_EQ(stat(home.sub("state").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u); // the rider's data is private
}

TEST_F(Backup, NotNeededForNewFirmwareOrOtherModels)
{
    addDeviceDrive();
    record.major = 14;
    EXPECT_FALSE(saveGpsDataToLocal(record));
    EXPECT_TRUE(log.contains("\r\nModel Backup Not Required - Major Rev High Enough\r\n"));
    record.major = 13;
    EXPECT_FALSE(saveGpsDataToLocal(record));
    record.major = 7;
    record.deviceType = 5;
    EXPECT_FALSE(saveGpsDataToLocal(record));
    EXPECT_TRUE(log.contains("\r\nModel Backup Not Required\r\n"));
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(isSet(resetBeforeNordic));
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder()));

    modelOverride = 13; // a recovery of a Peak Pro
    EXPECT_TRUE(saveGpsDataToLocal(record));
}

TEST_F(Backup, NoDriveOrNoModel)
{
    bool mustStop = false;
    EXPECT_FALSE(saveGpsDataToLocal(record, &mustStop));
    EXPECT_TRUE(status.hasMessage("Can not find GPS USB drive"));
    addDeviceDrive();
    appCallbacks.currentDevice.store(nullptr);
    EXPECT_FALSE(saveGpsDataToLocal(record, &mustStop));
    EXPECT_TRUE(status.hasMessage("Error\nUnable to determine device model."));
    EXPECT_FALSE(isSet(backupHeld));
}

TEST_F(Backup, AHeldBackupIsNeverOverwrittenNotEvenAfterARestart)
{
    const std::string drive = addDeviceDrive();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    // The device's disk is reset; the updater is closed and started again.
    std::filesystem::remove_all(drive + "Tarvel");
    std::filesystem::create_directories(drive + "Tarvel");
    writeText(drive + "Tarvel/factory.txt", "empty");
    resetSharedState();
    appCallbacks.currentDevice.store(&record);
    gpsDrivePath.set(drive);
    loadHeldBackup();
    EXPECT_TRUE(isSet(backupHeld));

    EXPECT_FALSE(saveGpsDataToLocal(record)); // the second backup does nothing
    EXPECT_EQ(readText(localBackupFolder() + "/settings.txt"), "units=km\n");

    ASSERT_TRUE(saveLocalDataToGps());
    EXPECT_EQ(readText(drive + "Tarvel/settings.txt"), "units=km\n");
    EXPECT_EQ(readText(drive + "Tarvel/Rides/ride1.fit"), std::string(5000, 'r'));
    EXPECT_EQ(readText(drive + "Tarvel/factory.txt"), "empty");
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_TRUE(std::filesystem::exists(localBackupFolder())); // kept until the next backup
    resetSharedState();
    loadHeldBackup();
    EXPECT_FALSE(isSet(backupHeld));
}

TEST_F(Backup, AFailedCopyStopsTheUpdateAndAsksForNoReset)
{
    const std::string drive = addDeviceDrive();
    // The local folder cannot be written: its parent is a file.
    writeText(home.sub("state-file"), "x");
    setenv("XDG_STATE_HOME", home.sub("state-file").c_str(), 1);
    bool mustStop = false;
    EXPECT_FALSE(saveGpsDataToLocal(record, &mustStop));
    EXPECT_TRUE(mustStop);
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(isSet(resetBeforeNordic));
    EXPECT_EQ(readText(drive + "Tarvel/settings.txt"), "units=km\n");
    EXPECT_EQ(status.calls().back().isComplete, 1);
}

TEST_F(Backup, RestoreWaitsAndNeedsAHeldBackupAndADrive)
{
    EXPECT_FALSE(saveLocalDataToGps());
    EXPECT_TRUE(recordedPauses().empty()); // no wait without a held backup

    const std::string drive = addDeviceDrive();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    gpsDrivePath.set("");
    EXPECT_FALSE(saveLocalDataToGps());
    EXPECT_EQ(recordedPauses(), (std::vector<long>{2000}));
    EXPECT_TRUE(isSet(backupHeld));

    gpsDrivePath.set(drive);
    std::filesystem::remove_all(drive + "Tarvel");
    writeText(drive + "Tarvel", "a file where the folder should be"); // the copy back fails
    EXPECT_FALSE(saveLocalDataToGps());
    EXPECT_TRUE(isSet(backupHeld)); // still held: nothing is lost
}

} // namespace

namespace {

TEST_F(Backup, AHeldBackupRecordsTheDeviceAndTheDateItCameFrom)
{
    const std::string drive = addDeviceDrive();
    record.modelName = "Peak Pro";
    ASSERT_TRUE(saveGpsDataToLocal(record));
    EXPECT_FALSE(heldBackupFromEarlierRun()); // made in this run
    HeldBackupOrigin origin = heldBackupOrigin();
    EXPECT_TRUE(origin.known);
    EXPECT_EQ(origin.deviceType, 13);
    EXPECT_EQ(origin.modelName, "Peak Pro");
    ASSERT_EQ(origin.date.size(), 16u); // YYYY-MM-DD HH:MM
    EXPECT_EQ(origin.date[4], '-');
    EXPECT_EQ(origin.date[13], ':');

    resetSharedState(); // a restart
    loadHeldBackup();
    EXPECT_TRUE(heldBackupFromEarlierRun());
    gpsDrivePath.set(drive);
    ASSERT_TRUE(saveLocalDataToGps());
    EXPECT_FALSE(heldBackupFromEarlierRun());
    EXPECT_FALSE(heldBackupOrigin().known);
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".origin"));
}

TEST_F(Backup, AMarkerWithoutARecordIsStillHeldAndARecordThatLiesIsNotTrusted)
{
    // A backup held by an updater that kept only the marker.
    std::filesystem::create_directories(localBackupFolder());
    writeText(localBackupFolder() + "/settings.txt", "units=mi\n");
    writeText(localBackupFolder() + ".held", "");
    loadHeldBackup();
    EXPECT_TRUE(isSet(backupHeld));
    EXPECT_TRUE(heldBackupFromEarlierRun());
    EXPECT_FALSE(heldBackupOrigin().known);

    writeText(localBackupFolder() + ".origin", "type=99\nmodel=Anything\ndate=2026-01-01 10:00\n");
    EXPECT_FALSE(heldBackupOrigin().known);
    writeText(localBackupFolder() + ".origin", "type=5x\nmodel=Ridge GPS\ndate=2026-01-01 10:00\n");
    EXPECT_FALSE(heldBackupOrigin().known);
    writeText(localBackupFolder() + ".origin", "type=5\nmodel=Not the model's name\ndate=2026-01-01 10:00\n");
    const HeldBackupOrigin origin = heldBackupOrigin();
    EXPECT_TRUE(origin.known);
    EXPECT_EQ(origin.modelName, "Ridge GPS"); // the name is always the updater's own
}

} // namespace

#include "storage_fixture.h"

#include "platform/files.h"
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
    EXPECT_EQ(local, platform::joinPath(home.sub("state"), "Tarvel"));
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
    if (testsupport::fileModesKept()) {
        struct stat info = {};
        ASSERT_EQ(stat(home.sub("state").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u); // the rider's data is private
    }
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
    // The updater is closed and started again; the device still holds the same data.
    resetSharedState();
    appCallbacks.currentDevice.store(&record);
    gpsDrivePath.set(drive);
    loadHeldBackup();
    EXPECT_TRUE(isSet(backupHeld));
    EXPECT_TRUE(heldBackupFromEarlierRun());

    // The held backup already holds all of it: it stays, and is this device's backup now.
    EXPECT_FALSE(saveGpsDataToLocal(record));
    EXPECT_TRUE(isSet(resetBeforeNordic)); // the disk reset is asked for all the same
    EXPECT_FALSE(heldBackupFromEarlierRun());
    EXPECT_TRUE(log.contains("the held backup already holds the data on the GPS"));
    EXPECT_TRUE(backupSetAsideThisRun().empty());

    // The device's disk was reset meanwhile by other means: what it holds now is not in the
    // held backup, so a fresh one is made and the earlier one is set aside untouched.
    std::filesystem::remove_all(drive + "Tarvel");
    std::filesystem::create_directories(drive + "Tarvel");
    writeText(drive + "Tarvel/factory.txt", "empty");
    resetSharedState();
    appCallbacks.currentDevice.store(&record);
    gpsDrivePath.set(drive);
    loadHeldBackup();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    const std::string kept = backupSetAsideThisRun();
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.rfind(platform::joinPath(keptBackupsFolder(), ""), 0), 0u) << kept;
    EXPECT_EQ(readText(kept + "/Tarvel/settings.txt"), "units=km\n");
    EXPECT_EQ(readText(kept + "/Tarvel/Rides/ride1.fit"), std::string(5000, 'r'));
    EXPECT_NE(readText(kept + "/origin").find("type=13\n"), std::string::npos); // its record goes with it
    EXPECT_EQ(readText(localBackupFolder() + "/factory.txt"), "empty");
    EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + "/settings.txt"));

    ASSERT_TRUE(saveLocalDataToGps());
    EXPECT_EQ(readText(drive + "Tarvel/factory.txt"), "empty");
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_TRUE(std::filesystem::exists(localBackupFolder())); // kept until the next backup
    EXPECT_TRUE(std::filesystem::exists(kept + "/Tarvel/settings.txt")); // never removed by a restore
    resetSharedState();
    loadHeldBackup();
    EXPECT_FALSE(isSet(backupHeld));
}

TEST_F(Backup, AHeldBackupOfAnotherModelIsSetAsideEvenWhenItHoldsEverything)
{
    const std::string drive = addDeviceDrive();
    std::filesystem::create_directories(localBackupFolder() + "/Rides");
    writeText(localBackupFolder() + "/settings.txt", "units=km\n");
    writeText(localBackupFolder() + "/Rides/ride1.fit", std::string(5000, 'r'));
    writeText(localBackupFolder() + ".origin", "type=11\nmodel=Summit GPS\ndate=2026-01-01 10:00\n");
    writeText(localBackupFolder() + ".held", "");
    loadHeldBackup();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    // Everything it held is in the fresh backup: it is not kept twice.
    EXPECT_TRUE(backupSetAsideThisRun().empty());
    EXPECT_EQ(heldBackupOrigin().deviceType, 13);
    EXPECT_TRUE(log.contains("the earlier backup holds nothing the new one does not"));
}

TEST_F(Backup, BeforeADiskResetTheDevicesNewerDataIsBackedUpAndTheEarlierBackupMayGoBack)
{
    const std::string drive = addDeviceDrive();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    EXPECT_TRUE(backupCoversDriveBeforeReset(record)); // nothing new: nothing copied
    EXPECT_FALSE(log.contains("DONE, before the disk reset"));

    // A later run finds the device on its new firmware, its reset still due, and a new ride.
    resetSharedState();
    record.major = 14;
    appCallbacks.currentDevice.store(&record);
    gpsDrivePath.set(drive);
    loadHeldBackup();
    std::filesystem::remove_all(drive + "Tarvel/Rides");
    writeText(drive + "Tarvel/new.fit", "new ride");
    ASSERT_TRUE(backupCoversDriveBeforeReset(record));
    EXPECT_TRUE(log.contains("DONE, before the disk reset"));
    EXPECT_EQ(readText(localBackupFolder() + "/new.fit"), "new ride");
    bool mayGoBack = false;
    const std::string kept = backupSetAsideThisRun(&mayGoBack);
    ASSERT_FALSE(kept.empty());
    EXPECT_TRUE(mayGoBack);

    // The reset; then this run's backup goes back, and the earlier one adds what it alone has.
    std::filesystem::remove_all(drive + "Tarvel");
    std::filesystem::create_directories(drive + "Tarvel");
    ASSERT_TRUE(saveLocalDataToGps());
    EXPECT_FALSE(setAsideBackupWouldReplaceDriveFiles());
    ASSERT_TRUE(restoreSetAsideBackup());
    EXPECT_EQ(readText(drive + "Tarvel/new.fit"), "new ride");
    EXPECT_EQ(readText(drive + "Tarvel/Rides/ride1.fit"), std::string(5000, 'r'));
    EXPECT_EQ(readText(drive + "Tarvel/settings.txt"), "units=km\n");
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST_F(Backup, AResetWithoutADriveGoesOnOnlyWithThisRunsOwnBackup)
{
    const std::string drive = addDeviceDrive();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    volumes.listFails = true; // the drive is not to be seen
    EXPECT_TRUE(backupCoversDriveBeforeReset(record));
    resetSharedState();
    loadHeldBackup();
    appCallbacks.currentDevice.store(&record);
    EXPECT_FALSE(backupCoversDriveBeforeReset(record)); // an earlier run's: the drive must be seen
    EXPECT_TRUE(status.hasMessage("Error\nCould not back up the data on your GPS."));
}

TEST_F(Backup, ARestoreThatWouldReplaceDifferentFilesIsToldApart)
{
    const std::string drive = addDeviceDrive();
    ASSERT_TRUE(saveGpsDataToLocal(record));
    EXPECT_FALSE(restoreWouldReplaceDriveFiles()); // the same files
    writeText(drive + "Tarvel/other.fit", "only on the device");
    EXPECT_FALSE(restoreWouldReplaceDriveFiles()); // it would only add
    writeText(drive + "Tarvel/settings.txt", "units=mi\n");
    EXPECT_TRUE(restoreWouldReplaceDriveFiles());
    std::filesystem::remove(drive + "Tarvel/settings.txt");
    std::filesystem::create_directories(drive + "Tarvel/settings.txt");
    EXPECT_TRUE(restoreWouldReplaceDriveFiles()); // a folder where a file would go

    EXPECT_FALSE(heldBackupOrigin().diskReset);
    noteDiskResetAfterBackup();
    EXPECT_TRUE(heldBackupOrigin().diskReset);
    EXPECT_EQ(heldBackupOrigin().deviceType, 13);
    noteDiskResetAfterBackup(); // noted once
    EXPECT_EQ(readText(localBackupFolder() + ".origin").find("disk-reset=1"),
        readText(localBackupFolder() + ".origin").rfind("disk-reset=1"));
}

TEST_F(Backup, AFailedCopyStopsTheUpdateAndAsksForNoReset)
{
    const std::string drive = addDeviceDrive();
    // The local folder cannot be written: its parent is a file.
    writeText(home.sub("state-file"), "x");
    platform::setStateHome(home.sub("state-file"));
    bool mustStop = false;
    EXPECT_FALSE(saveGpsDataToLocal(record, &mustStop));
    EXPECT_TRUE(mustStop);
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(isSet(resetBeforeNordic));
    EXPECT_EQ(readText(drive + "Tarvel/settings.txt"), "units=km\n");
    EXPECT_EQ(status.calls().back().isComplete, 1);
}

// A listed drive whose root is gone or is a file holds data the computer cannot see: neither
// an empty backup of it nor a restore into folders made anew may pass for the rider's data.
TEST_F(Backup, ADriveRootThatIsNoFolderStopsTheBackupAndKeepsTheHeldOne)
{
    for (bool asFile : {false, true}) {
        SCOPED_TRACE(asFile ? "root is a file" : "root is gone");
        resetSharedState();
        appCallbacks.currentDevice.store(&record);
        std::filesystem::remove_all(localBackupFolder());
        std::filesystem::remove(localBackupFolder() + ".held");
        const std::string drive = addDeviceDrive(asFile ? "file-root" : "gone-root");
        const std::string root = drive.substr(0, drive.size() - 1);
        std::filesystem::remove_all(root);
        if (asFile)
            writeText(root, "not a folder");
        bool mustStop = false;
        EXPECT_FALSE(saveGpsDataToLocal(record, &mustStop));
        EXPECT_TRUE(mustStop);
        EXPECT_FALSE(isSet(backupHeld));
        EXPECT_FALSE(isSet(resetBeforeNordic));
        EXPECT_FALSE(std::filesystem::exists(localBackupFolder() + ".held"));
        EXPECT_TRUE(log.contains("Save GPS Data To Local...FAILED: the GPS drive at " + drive
            + " is not a folder this computer can use\r\n"));
        EXPECT_TRUE(status.hasMessage("Error\nCould not back up the data on your GPS."));
        EXPECT_FALSE(backupCoversDriveBeforeReset(record));
    }

    // A held backup of this model would fit such a drive trivially (nothing on it is newer):
    // it is kept, the disk reset is not asked for, and the restore leaves it held.
    const std::string good = addDeviceDrive("good");
    ASSERT_TRUE(saveGpsDataToLocal(record));
    resetSharedState();
    loadHeldBackup();
    appCallbacks.currentDevice.store(&record);
    gpsDrivePath.set(good);
    std::filesystem::remove_all(good);
    bool mustStop = false;
    EXPECT_FALSE(saveGpsDataToLocal(record, &mustStop));
    EXPECT_TRUE(mustStop);
    EXPECT_FALSE(isSet(resetBeforeNordic));
    EXPECT_FALSE(backupCoversDriveBeforeReset(record));
    EXPECT_FALSE(saveLocalDataToGps());
    EXPECT_TRUE(status.hasMessage("Could not restore your data to the GPS."));
    EXPECT_FALSE(std::filesystem::exists(good)); // no folder made where the drive was
    EXPECT_TRUE(isSet(backupHeld));
    EXPECT_EQ(readText(localBackupFolder() + "/settings.txt"), "units=km\n");
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

#include "backup.h"

#include "gps_drive.h"

#include "platform/files.h"
#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

namespace {

constexpr int kBackupModel = 13;
constexpr int kBackupBelowMajor = 13;

// Marks a finished backup that waits to be restored; written after the copy succeeded and
// removed after the restore succeeded, so it survives a closed or crashed updater.
std::string heldMarker() { return localBackupFolder() + ".held"; }

int modelForBackup()
{
    if (modelOverride.load() > 0)
        return modelOverride.load();
    if (DeviceInfo* device = appCallbacks.currentDevice.load())
        return device->deviceType;
    return -1;
}

} // namespace

std::string localBackupFolder()
{
    const std::string temporary = platform::temporaryPath();
    if (!temporary.empty() && temporary.size() <= 260)
        return temporary + "Tarvel";
    return platform::stagingFolder();
}

void loadHeldBackup()
{
    if (platform::fileExists(heldMarker()))
        backupHeld = 1;
}

bool saveGpsDataToLocal(DeviceInfo& record, bool* mustStop)
{
    if (mustStop)
        *mustStop = false;
    logLine("Save GPS Data To Local...\r\n");
    const std::string drive = gpsDriveForUse();
    if (drive.empty()) {
        reportStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    if (isSet(backupHeld) || platform::fileExists(heldMarker()))
        return false; // the earlier backup is left alone until it is restored

    logLine("Determining Model\r\n");
    const int model = modelForBackup();
    if (model < 0) {
        reportStatus(1, "Error\nUnable to determine device model.", "Something went wrong");
        return false;
    }
    if (model != kBackupModel) {
        logLine("\r\nModel Backup Not Required\r\n");
        return false;
    }
    if (record.major >= kBackupBelowMajor) {
        logLine("\r\nModel Backup Not Required - Major Rev High Enough\r\n");
        return false;
    }

    const std::string local = localBackupFolder();
    const std::string source = platform::joinPath(drive, "Tarvel");
    platform::deleteFolder(local);
    // A drive without a Tarvel folder holds no rider's data: the backup is an empty folder.
    const bool copied = platform::folderExists(source) ? platform::copyFolderContents(source, local)
                                                       : platform::createFolder(local) != platform::FolderResult::Failed;
    if (!copied) {
        // Nothing was reset yet: the rider's data is still only on the drive. Stop here.
        logLinef("Save GPS Data To Local...FAILED copying %s to %s\r\n", source.c_str(), local.c_str());
        platform::deleteFolder(local);
        reportStatus(1, "Error\nCould not back up the data on your GPS.", "The update was stopped. Your data is still on the GPS.");
        if (mustStop)
            *mustStop = true;
        return false;
    }
    platform::StagingFile marker;
    if (!marker.create(heldMarker()) || !marker.close()) {
        logLine("Save GPS Data To Local...FAILED keeping the backup\r\n");
        reportStatus(1, "Error\nCould not back up the data on your GPS.", "The update was stopped. Your data is still on the GPS.");
        if (mustStop)
            *mustStop = true;
        return false;
    }
    resetBeforeNordic = 1;
    backupHeld = 1;
    logLine("Save GPS Data To Local...DONE\r\n");
    return true;
}

bool saveLocalDataToGps()
{
    logLine("Save Local Data To GPS...\r\n");
    if (!isSet(backupHeld))
        return false;
    sleepFor(2);
    const std::string drive = gpsDriveForUse();
    if (drive.empty()) {
        reportStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    const std::string local = localBackupFolder();
    const std::string destination = platform::joinPath(drive, "Tarvel");
    if (!platform::copyFolderContents(local, destination)) {
        logLinef("Save Local Data To GPS...FAILED copying %s to %s\r\n", local.c_str(), destination.c_str());
        reportStatus(0, "Could not restore your data to the GPS.", "Your data is kept on this computer.");
        return false;
    }
    platform::deleteFile(heldMarker());
    backupHeld = 0;
    logLine("Save Local Data To GPS...DONE\r\n");
    return true;
}

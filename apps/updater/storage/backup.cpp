#include "backup.h"

#include "gps_drive.h"
#include "pending_steps.h"
#include "record_file.h"

#include "platform/file_trees.h"
#include "platform/files.h"
#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr int kBackupModel = 13;
constexpr int kBackupBelowMajor = 13;
constexpr const char* kBackupFailed = "Error\nCould not back up the data on your GPS.";
constexpr const char* kBackupFailedDetail = "The update was stopped. Your data is still on the GPS.";

// Marks a finished backup that waits to be restored; written after the copy succeeded and
// removed after the restore succeeded, so it survives a closed or crashed updater.
std::string heldMarker() { return localBackupFolder() + ".held"; }
// The origin of the held backup, beside the marker. The marker alone still means "held", so
// a backup kept by an earlier version of the updater is restored just the same.
std::string originRecord() { return localBackupFolder() + ".origin"; }

std::atomic<bool> g_heldFromEarlierRun{false};
std::mutex g_setAsideMutex;
std::string g_setAsideThisRun;  // the kept folder of a backup this run set aside
bool g_setAsideMayGoBack = false; // it was the data of the device whose update this run resumed

std::tm localNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    return local;
}

std::string backupDate()
{
    const std::tm local = localNow();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

bool writeOrigin(const DeviceInfo& record, int model)
{
    const char* name = modelName(model);
    return replaceRecordFile(originRecord(),
        "type=" + std::to_string(model) + "\nmodel=" + (name ? name : record.modelName.c_str()) + "\ndate="
            + backupDate() + "\n");
}

int modelForBackup()
{
    if (modelOverride.load() > 0)
        return modelOverride.load();
    if (DeviceInfo device; currentDeviceCopy(&device))
        return device.deviceType;
    return -1;
}

bool backupHeldOnDisk() { return platform::fileExists(heldMarker()); }

// The drive's root must be a folder here. A root that is gone or is a file would read as a
// drive without rider's data (an empty backup, then the disk reset loses the real data), and a
// restore would create the missing folders and call the data put back while the device has none.
bool driveRootUsable(const std::string& drive, const char* step)
{
    if (platform::folderExists(drive))
        return true;
    logLinef("%s...FAILED: the GPS drive at %s is not a folder this computer can use\r\n", step, drive.c_str());
    return false;
}

void stopForFailedBackup(bool* mustStop)
{
    reportStatus(1, kBackupFailed, kBackupFailedDetail);
    if (mustStop)
        *mustStop = true;
}

// The held backup stays when it already holds the rider's data as it is on the drive now and
// was taken from a device of this model: nothing on the drive is newer than it.
bool heldBackupStillFits(const std::string& driveTarvel, int model)
{
    const HeldBackupOrigin origin = heldBackupOrigin();
    return origin.known && origin.deviceType == model && platform::folderHoldsFilesOf(localBackupFolder(), driveTarvel);
}

// Moves the held backup (its folder and its record) into a kept folder of its own. The marker
// goes last: until then the backup still counts as held.
bool setAsideHeldBackup(std::string& keptFolder)
{
    const std::tm now = localNow();
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &now);
    if (platform::createFolder(keptBackupsFolder()) == platform::FolderResult::Failed)
        return false;
    keptFolder.clear();
    for (int n = 0; n < 100 && keptFolder.empty(); ++n) {
        // Appended piece by piece: GCC 12 warns wrongly about "_" + to_string (overlap).
        std::string name = stamp;
        if (n) {
            name += '_';
            name += std::to_string(n);
        }
        const std::string candidate = platform::joinPath(keptBackupsFolder(), name);
        if (!platform::folderExists(candidate) && platform::createFolder(candidate) == platform::FolderResult::Created)
            keptFolder = candidate;
    }
    if (keptFolder.empty())
        return false;
    const std::string local = localBackupFolder();
    if (platform::folderExists(local) && !platform::movePath(local, platform::joinPath(keptFolder, "Tarvel")))
        return false;
    if (platform::fileExists(originRecord()))
        platform::movePath(originRecord(), platform::joinPath(keptFolder, "origin"));
    platform::deleteFile(heldMarker());
    backupHeld = 0;
    g_heldFromEarlierRun = false;
    return true;
}

// A kept backup whose every file the fresh backup holds byte for byte is a copy of nothing
// the rider could miss: it goes. Any other stays, and the rider is told where.
void dropKeptBackupWhenCovered(const std::string& keptFolder, bool mayGoBack)
{
    if (platform::folderHoldsFilesOf(localBackupFolder(), platform::joinPath(keptFolder, "Tarvel"))) {
        platform::deleteFolder(keptFolder);
        logLine("Save GPS Data To Local...the earlier backup holds nothing the new one does not\r\n");
        return;
    }
    logLinef("Save GPS Data To Local...an earlier backup is kept in %s\r\n", keptFolder.c_str());
    std::lock_guard<std::mutex> lock(g_setAsideMutex);
    g_setAsideThisRun = keptFolder;
    g_setAsideMayGoBack = mayGoBack;
}

// What a copy left out (symbolic links, FIFOs, devices) is said in the log, one line each.
void logSkipped(const std::vector<platform::SkippedEntry>& skipped)
{
    for (const platform::SkippedEntry& entry : skipped)
        logLinef("Skipped %s (%s): not copied\r\n", entry.path.c_str(), entry.kind.c_str());
}

// Copies the drive's Tarvel folder into an empty local backup folder and marks it held. The
// rider's data is still only on the drive when this fails.
bool copyDriveToBackup(const std::string& drive, const DeviceInfo& record, int model, bool* mustStop)
{
    const std::string local = localBackupFolder();
    const std::string source = platform::joinPath(drive, "Tarvel");
    platform::deleteFolder(local);
    // A drive without a Tarvel folder holds no rider's data: the backup is an empty folder.
    std::vector<platform::SkippedEntry> skipped;
    const bool copied = platform::folderExists(source) ? platform::copyFolderContents(source, local, &skipped)
                                                       : platform::createFolder(local) != platform::FolderResult::Failed;
    logSkipped(skipped);
    if (!copied) {
        logLinef("Save GPS Data To Local...FAILED copying %s to %s\r\n", source.c_str(), local.c_str());
        platform::deleteFolder(local);
        stopForFailedBackup(mustStop);
        return false;
    }
    platform::StagingFile marker;
    if (!writeOrigin(record, model) || !marker.create(heldMarker()) || !marker.close()) {
        logLine("Save GPS Data To Local...FAILED keeping the backup\r\n");
        platform::deleteFile(heldMarker());
        platform::deleteFolder(local);
        stopForFailedBackup(mustStop);
        return false;
    }
    g_heldFromEarlierRun = false; // made in this run, from the device now attached
    return true;
}

// Makes the held backup one of the drive's data as it is now: keeps the held one when it
// still fits, else sets it aside and copies afresh. True when the rider's data is held.
bool holdBackupOfDrive(
    const std::string& drive, const DeviceInfo& record, int model, bool* mustStop, bool* copied, bool mayGoBack)
{
    *copied = false;
    if (!driveRootUsable(drive, "Save GPS Data To Local")) {
        stopForFailedBackup(mustStop);
        return false;
    }
    const std::string source = platform::joinPath(drive, "Tarvel");
    std::string keptFolder;
    if (isSet(backupHeld) || backupHeldOnDisk()) {
        if (heldBackupStillFits(source, model)) {
            logLine("Save GPS Data To Local...the held backup already holds the data on the GPS\r\n");
            backupHeld = 1;
            g_heldFromEarlierRun = false; // it is the backup of the device now attached
            return true;
        }
        if (!setAsideHeldBackup(keptFolder)) {
            logLinef("Save GPS Data To Local...FAILED setting the earlier backup aside in %s\r\n",
                keptBackupsFolder().c_str());
            stopForFailedBackup(mustStop);
            return false;
        }
        logLinef("Save GPS Data To Local...the earlier backup is set aside in %s\r\n", keptFolder.c_str());
    }
    if (!copyDriveToBackup(drive, record, model, mustStop))
        return false;
    backupHeld = 1;
    *copied = true;
    if (!keptFolder.empty())
        dropKeptBackupWhenCovered(keptFolder, mayGoBack);
    return true;
}

} // namespace

std::string localBackupFolder()
{
    const std::string temporary = platform::temporaryPath();
    if (!temporary.empty() && temporary.size() <= 260)
        return temporary + "Tarvel";
    return platform::stagingFolder();
}

std::string keptBackupsFolder() { return localBackupFolder() + ".kept"; }

std::string backupSetAsideThisRun(bool* mayGoBack)
{
    std::lock_guard<std::mutex> lock(g_setAsideMutex);
    if (!g_setAsideThisRun.empty() && !platform::folderExists(g_setAsideThisRun))
        g_setAsideThisRun.clear();
    if (mayGoBack)
        *mayGoBack = !g_setAsideThisRun.empty() && g_setAsideMayGoBack;
    return g_setAsideThisRun;
}

bool setAsideBackupWouldReplaceDriveFiles()
{
    const std::string kept = backupSetAsideThisRun(nullptr);
    const std::string drive = gpsDriveForUse();
    return kept.empty() || drive.empty()
        || platform::copyWouldReplace(platform::joinPath(kept, "Tarvel"), platform::joinPath(drive, "Tarvel"));
}

bool restoreSetAsideBackup()
{
    const std::string kept = backupSetAsideThisRun(nullptr);
    const std::string drive = gpsDriveForUse();
    if (kept.empty() || drive.empty() || !driveRootUsable(drive, "Save Local Data To GPS"))
        return false;
    logLinef("Save Local Data To GPS...the data set aside in %s\r\n", kept.c_str());
    const std::string destination = platform::joinPath(drive, "Tarvel");
    std::vector<platform::SkippedEntry> skipped;
    const bool copied = platform::copyFolderContents(platform::joinPath(kept, "Tarvel"), destination, &skipped);
    logSkipped(skipped);
    if (!copied) {
        logLinef("Save Local Data To GPS...FAILED copying %s to %s\r\n", kept.c_str(), destination.c_str());
        return false;
    }
    // Everything it held is on the device now.
    platform::deleteFolder(kept);
    std::lock_guard<std::mutex> lock(g_setAsideMutex);
    g_setAsideThisRun.clear();
    g_setAsideMayGoBack = false;
    return true;
}

void loadHeldBackup()
{
    // A marker without its folder (a crash while it was set aside) holds nothing to restore.
    const bool held = backupHeldOnDisk() && platform::folderExists(localBackupFolder());
    g_heldFromEarlierRun = held;
    if (held)
        backupHeld = 1;
}

bool heldBackupFromEarlierRun() { return g_heldFromEarlierRun.load() && isSet(backupHeld); }

HeldBackupOrigin heldBackupOrigin()
{
    const std::map<std::string, std::string> record = readRecordFile(originRecord());
    auto value = [&record](const char* key) {
        const auto it = record.find(key);
        return it == record.end() ? std::string() : it->second;
    };
    HeldBackupOrigin origin;
    const std::string type = value("type");
    char* end = nullptr;
    const long number = std::strtol(type.c_str(), &end, 10);
    const bool haveType = !type.empty() && end && *end == '\0' && isFlashableType(int(number));
    origin.deviceType = haveType ? int(number) : 0;
    origin.date = value("date").substr(0, 32);
    // Only a record that names a known model is trusted; the name is always the updater's own.
    origin.known = haveType && !origin.date.empty();
    origin.modelName = origin.known ? modelName(origin.deviceType) : value("model").substr(0, 40);
    origin.diskReset = origin.known && value("disk-reset") == "1";
    return origin;
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

    bool copied = false;
    if (!holdBackupOfDrive(drive, record, model, mustStop, &copied, false))
        return false;
    resetBeforeNordic = 1;
    rememberPendingSteps(model);
    logLine("Save GPS Data To Local...DONE\r\n");
    return copied;
}

bool backupCoversDriveBeforeReset(const DeviceInfo& record)
{
    const std::string drive = gpsDriveForUse();
    if (drive.empty()) {
        // This run's own backup was taken before the device left for its bootloader, and a
        // device in its bootloader gathers no data: it still holds all of it.
        if (isSet(backupHeld) && !g_heldFromEarlierRun.load())
            return true;
        logLine("Save GPS Data To Local...no drive to back up before the disk reset\r\n");
        reportStatus(1, kBackupFailed, kBackupFailedDetail);
        return false;
    }
    bool copied = false;
    // A backup of an earlier run that gets set aside here is that device's data from before the
    // update this run finishes (the device runs the new firmware and its disk reset is due):
    // once the update is done it may go back where it adds files and replaces none.
    if (!holdBackupOfDrive(drive, record, record.deviceType, nullptr, &copied, true))
        return false;
    if (copied)
        logLine("Save GPS Data To Local...DONE, before the disk reset\r\n");
    return true;
}

void noteDiskResetAfterBackup()
{
    if (!platform::fileExists(originRecord()))
        return;
    std::string text;
    for (const auto& [key, value] : readRecordFile(originRecord()))
        if (key != "disk-reset")
            text += key + "=" + value + "\n";
    if (!replaceRecordFile(originRecord(), text + "disk-reset=1\n"))
        logLine("Could not note the disk reset in the backup's record\r\n");
}

bool restoreWouldReplaceDriveFiles()
{
    const std::string drive = gpsDriveForUse();
    if (drive.empty())
        return false;
    return platform::copyWouldReplace(localBackupFolder(), platform::joinPath(drive, "Tarvel"));
}

bool saveLocalDataToGps()
{
    logLine("Save Local Data To GPS...\r\n");
    if (!isSet(backupHeld))
        return false;
    sleepFor(2);
    const std::string local = localBackupFolder();
    const std::string kept = heldBackupAdvice();
    const std::string drive = gpsDriveForUse();
    if (drive.empty()) {
        reportStatus(0, "Can not find GPS USB drive", kept.c_str());
        return false;
    }
    if (!driveRootUsable(drive, "Save Local Data To GPS")) {
        reportStatus(0, "Could not restore your data to the GPS.", kept.c_str());
        return false;
    }
    const std::string destination = platform::joinPath(drive, "Tarvel");
    std::vector<platform::SkippedEntry> skipped;
    const bool copied = platform::copyFolderContents(local, destination, &skipped);
    logSkipped(skipped);
    if (!copied) {
        logLinef("Save Local Data To GPS...FAILED copying %s to %s\r\n", local.c_str(), destination.c_str());
        reportStatus(0, "Could not restore your data to the GPS.", kept.c_str());
        return false;
    }
    platform::deleteFile(heldMarker());
    platform::deleteFile(originRecord());
    backupHeld = 0;
    g_heldFromEarlierRun = false;
    logLine("Save Local Data To GPS...DONE\r\n");
    return true;
}

std::string heldBackupAdvice()
{
    return "Your data is kept on this computer in " + localBackupFolder()
        + ". Attach the GPS and run the updater again to put it back.";
}

void keepHeldBackupForLater()
{
    backupHeld = 0; // for this run; the marker stays, so a later run offers it again
    g_heldFromEarlierRun = false;
}

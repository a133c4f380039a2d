#include "backup.h"

#include "gps_drive.h"

#include "platform/files.h"
#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <vector>

namespace {

constexpr int kBackupModel = 13;
constexpr int kBackupBelowMajor = 13;

// Marks a finished backup that waits to be restored; written after the copy succeeded and
// removed after the restore succeeded, so it survives a closed or crashed updater.
std::string heldMarker() { return localBackupFolder() + ".held"; }
// The origin of the held backup, beside the marker. The marker alone still means "held", so
// a backup kept by an earlier version of the updater is restored just the same.
std::string originRecord() { return localBackupFolder() + ".origin"; }

std::atomic<bool> g_heldFromEarlierRun{false};

std::string backupDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

bool writeOrigin(const DeviceInfo& record, int model)
{
    const char* name = modelName(model);
    const std::string text = "type=" + std::to_string(model) + "\nmodel=" + (name ? name : record.modelName.c_str())
        + "\ndate=" + backupDate() + "\n";
    platform::StagingFile file;
    return file.create(originRecord()) && file.write(reinterpret_cast<const uint8_t*>(text.data()), text.size())
        && file.close();
}

// What a copy left out (symbolic links, FIFOs, devices) is said in the log, one line each.
void logSkipped(const std::vector<platform::SkippedEntry>& skipped)
{
    for (const platform::SkippedEntry& entry : skipped)
        logLinef("Skipped %s (%s): not copied\r\n", entry.path.c_str(), entry.kind.c_str());
}

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
    const bool held = platform::fileExists(heldMarker());
    g_heldFromEarlierRun = held;
    if (held)
        backupHeld = 1;
}

bool heldBackupFromEarlierRun() { return g_heldFromEarlierRun.load() && isSet(backupHeld); }

HeldBackupOrigin heldBackupOrigin()
{
    HeldBackupOrigin origin;
    std::ifstream in(originRecord());
    std::string line;
    bool haveType = false;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "type") {
            char* end = nullptr;
            const long type = std::strtol(value.c_str(), &end, 10);
            haveType = end && *end == '\0' && isFlashableType(int(type));
            origin.deviceType = haveType ? int(type) : 0;
        } else if (key == "model") {
            origin.modelName = value.substr(0, 40);
        } else if (key == "date") {
            origin.date = value.substr(0, 32);
        }
    }
    // Only a record that names a known model is trusted; the name is always the updater's own.
    origin.known = haveType && !origin.date.empty();
    if (origin.known)
        origin.modelName = modelName(origin.deviceType);
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
    std::vector<platform::SkippedEntry> skipped;
    const bool copied = platform::folderExists(source) ? platform::copyFolderContents(source, local, &skipped)
                                                       : platform::createFolder(local) != platform::FolderResult::Failed;
    logSkipped(skipped);
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
    if (!writeOrigin(record, model) || !marker.create(heldMarker()) || !marker.close()) {
        logLine("Save GPS Data To Local...FAILED keeping the backup\r\n");
        reportStatus(1, "Error\nCould not back up the data on your GPS.", "The update was stopped. Your data is still on the GPS.");
        if (mustStop)
            *mustStop = true;
        return false;
    }
    resetBeforeNordic = 1;
    backupHeld = 1;
    g_heldFromEarlierRun = false; // made in this run, from the device now attached
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
    std::vector<platform::SkippedEntry> skipped;
    const bool copied = platform::copyFolderContents(local, destination, &skipped);
    logSkipped(skipped);
    if (!copied) {
        logLinef("Save Local Data To GPS...FAILED copying %s to %s\r\n", local.c_str(), destination.c_str());
        reportStatus(0, "Could not restore your data to the GPS.", "Your data is kept on this computer.");
        return false;
    }
    platform::deleteFile(heldMarker());
    platform::deleteFile(originRecord());
    backupHeld = 0;
    g_heldFromEarlierRun = false;
    logLine("Save Local Data To GPS...DONE\r\n");
    return true;
}

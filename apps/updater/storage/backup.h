#pragma once
// Backup and restore of the rider's data: the Tarvel folder of the device's drive is copied to
// a local folder before an update that would reset the drive, and copied back once the device
// runs current firmware. A held backup survives a restart of the updater.

#include "state/device_models.h"

#include <string>

// Copies the drive's Tarvel folder to the local backup folder when the device needs it (model
// 13 below major 13). True when a backup was made in this call. *mustStop (when given) is set
// when a backup was needed but could not be made: the update must then not go on, because
// the disk reset that follows would lose the rider's data.
bool saveGpsDataToLocal(DeviceInfo& record, bool* mustStop = nullptr);

// Copies a held backup back into the drive's Tarvel folder. True when it was copied; a failed
// copy keeps the backup held so that it can be restored later.
bool saveLocalDataToGps();

// The local folder that holds the backup: the temporary path's Tarvel folder, or the staging
// folder when there is no temporary path.
std::string localBackupFolder();

// Sets backupHeld from what is on disk: a backup that was made and not restored in an earlier
// run is still held. Called once at start-up.
void loadHeldBackup();

// Where a held backup came from, kept beside the held marker when the backup is made: the
// device's type and model name, and the local date and time of the backup. A backup held by
// an updater that did not keep this yet has known == false.
struct HeldBackupOrigin {
    bool known = false;
    int deviceType = 0;
    std::string modelName;
    std::string date; // "YYYY-MM-DD HH:MM"
};
HeldBackupOrigin heldBackupOrigin();
// Whether the backup now held was found by loadHeldBackup, i.e. made by an earlier run.
bool heldBackupFromEarlierRun();

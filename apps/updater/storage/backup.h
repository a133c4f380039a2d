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
// A backup already held is kept when it holds every file of the drive's Tarvel folder as it is
// now and comes from the same model (the retry of an update, or a run that was interrupted
// before the disk reset); otherwise it is set aside among the kept backups, never overwritten,
// and a fresh backup is made.
bool saveGpsDataToLocal(DeviceInfo& record, bool* mustStop = nullptr);

// Right before a disk reset that a backup asked for: makes sure the held backup holds what the
// drive's Tarvel folder holds now, taking a fresh one (and setting the older aside) when it
// does not. False when the rider's data could not be backed up: the disk must not be reset.
bool backupCoversDriveBeforeReset(const DeviceInfo& record);

// Notes in the held backup's record that the device's disk was reset after the backup was
// made: the backup is then the newest copy of those files, and a later run may put it back
// over what the reset left on the drive.
void noteDiskResetAfterBackup();

// Whether copying the held backup back would replace a file on the drive that differs from
// the backup's copy (the drive holds data the backup would overwrite).
bool restoreWouldReplaceDriveFiles();

// Copies a held backup back into the drive's Tarvel folder. True when it was copied; a failed
// copy keeps the backup held so that it can be restored later.
bool saveLocalDataToGps();

// A held backup that is not put back in this run (declined, or it would replace newer files):
// it no longer waits for this run, and stays on disk for a later one.
void keepHeldBackupForLater();

// What the rider is told when a held backup could not be put back: where it is, and how to
// get it back.
std::string heldBackupAdvice();

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
    std::string date;        // "YYYY-MM-DD HH:MM"
    bool diskReset = false; // the device's disk was reset after the backup
};
HeldBackupOrigin heldBackupOrigin();
// Whether the backup now held was found by loadHeldBackup, i.e. made by an earlier run.
bool heldBackupFromEarlierRun();

// Where backups of earlier runs are set aside, one folder each, when a fresh backup of a
// device had to be made: the temporary path's "Tarvel.kept" folder. They are never deleted by
// the updater, except one whose every file a newer backup holds byte for byte.
std::string keptBackupsFolder();
// The folder of the backup set aside in this run and still kept; empty when none. *mayGoBack
// (when given) tells whether it is the data the device held before an update that this run
// resumed from an earlier one: such a backup may be put back once the update is done.
std::string backupSetAsideThisRun(bool* mayGoBack = nullptr);
// Whether copying that backup onto the drive would replace a file there that differs from it.
bool setAsideBackupWouldReplaceDriveFiles();
// Copies that backup into the drive's Tarvel folder and, once it is all there, removes it from
// this computer. False when it could not be copied (it stays kept).
bool restoreSetAsideBackup();

#pragma once
// The rider's data held on this computer, restored on the done screen. A backup made by an
// earlier run of the updater may belong to another device, or be older than what the device
// holds now: it is put back only where that cannot cost newer data, and after the rider
// agreed, told which model it came from and when it was made.

// Stands in the restore question when the backup may not be the connected device's own (another
// model, or one not recorded): an unattended run answers No to it.
inline constexpr const char* kForeignBackupNote = "It may not be this GPS's own data.";

// Logs that a backup of an earlier run was found at start-up.
void noteHeldBackupOfEarlierRun();

// Restores the held backup to the device's drive, showing "Restoring Data..." meanwhile (the
// done screen's step). A backup of an earlier run is asked about first, and is not offered at
// all when it would replace files on the drive that differ from it (unless the device's disk
// was reset after it was made); one that is not put back stays on disk for a later run.
// False only when a restore was tried and failed: the data is then still on this computer.
bool restoreHeldBackup();

// An earlier backup that this run set aside to take a fresh one: put back too when it is the
// data the device held before its interrupted update and adds files without replacing any
// (after the rider agreed); otherwise the rider is told the folder it is kept in.
void restoreOrTellOfBackupSetAside();

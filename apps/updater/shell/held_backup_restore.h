#pragma once
// The rider's data held on this computer, restored on the done screen. A backup made by an
// earlier run of the updater may belong to another device: it is restored only after the
// rider agreed, told which model it came from and when it was made.

// Logs that a backup of an earlier run was found at start-up.
void noteHeldBackupOfEarlierRun();

// Restores the held backup to the device's drive, showing "Restoring Data..." meanwhile (the
// done screen's step). A backup of an earlier run asks first; on No it stays held for its own device.
void restoreHeldBackup();

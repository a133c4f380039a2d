#pragma once
// The steps of an update that are still due once the device runs its new firmware: the disk
// reset that a backup asked for, the wireless update that follows every flash of an update,
// and a Japanese device's language packs. They are kept in a file beside the held backup and
// the mark of an unfinished programming, so that a run that was interrupted (closed, killed,
// the computer switched off) is finished by the next one as it would have gone on.

struct PendingSteps {
    int deviceType = 0; // the model they are due for; 0: none due
    bool resetDisk = false;
    bool wireless = false;
    bool languagePacks = false;
};

// Writes the steps now due for the device type from the shared flags (resetBeforeNordic,
// reverseUpgrade, languagePacksPending), replacing the file in one step; removes it when none
// is due. False when the file could not be written.
bool rememberPendingSteps(int deviceType);

// Removes the steps kept for the device type (its update is finished); steps kept for
// another model stay.
void forgetPendingSteps(int deviceType);

// Start-up: the steps an earlier run left, read once. None when there is no file or it cannot
// be read as such a record.
void loadPendingSteps();

// Whether an earlier run left steps for a device of this type that this run has not taken over.
bool stepsOfEarlierRunDue(int deviceType);

// The steps an earlier run left for a device of this type and that this run has not taken
// over yet; takes them over (they are asked for once).
bool takeStepsOfEarlierRun(int deviceType, PendingSteps& steps);

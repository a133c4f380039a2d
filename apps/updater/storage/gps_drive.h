#pragma once
// Finding the device's USB drive (by its volume label, else by its Tarvel folder on a FAT
// volume) and taking it offline safely so the device can read what was staged on it.

#include <string>

// The root of the device's drive (ending in '/'), or "" when none was found. A root found
// before is checked again first (still mounted, still the device's drive by its label or its
// Tarvel folder) and returned at once when it is; a drive that moved (a device that came back
// mounted at another folder) is found afresh, and a vanished one yields "".
std::string findGpsDrive();

// The drive root to use now: gpsDrivePath checked again with findGpsDrive() and updated to
// where it is found. "" when no drive was found before or none is there now (the known root
// is kept, so a drive that comes back is found at the next use).
std::string gpsDriveForUse();

// Locks (up to 20 tries, 500 ms apart), dismounts, allows removal and ejects the volume at
// root, logging which of these succeeded. Nothing is done for a root that is not mounted.
void ejectGpsDrive(const std::string& root);

// Forgets the found drive (tests).
void forgetGpsDrive();

#pragma once
// Finding the device's USB drive (by its volume label, else by its Tarvel folder on a FAT
// volume) and taking it offline safely so the device can read what was staged on it.

#include <string>

// The root of the device's drive (ending in '/'), or "" when none was found. Once found it is
// kept for the rest of the run and returned at once.
std::string findGpsDrive();

// Locks (up to 20 tries, 500 ms apart), dismounts, allows removal and ejects the volume at
// root, logging which of these succeeded. Nothing is done for a root that is not mounted.
void ejectGpsDrive(const std::string& root);

// Forgets the found drive (tests only: the program keeps it for its whole run).
void forgetGpsDrive();

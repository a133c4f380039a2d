#pragma once
// Service commands to the running device: restart into the bootloader, factory reset, erase
// the wireless bonding keys, and read the wireless firmware version.

#include "state/device_models.h"

#include <cstdint>
#include <string>

// Restarts the device into its bootloader (the caller has saved the rider's data first where
// the update needs it). False when the device could not be opened or did not leave the bus.
bool updateFirmware(DeviceInfo& record);
bool factoryReset();
// "There was a problem updating your <model>. …", the status of an update that stopped.
std::string updateProblemText();
// Sends the key erase and listens to the device's reports until it falls silent or leaves.
bool eraseNordicKeys();
// Reads the wireless firmware version into NRFV (served from NRFV when already known).
bool getNordicVersion();

// What a wireless version answer says.
struct NordicVersion {
    bool dotted = false;  // exactly three full stops: the version could be read
    int32_t version = 0;  // the build number (0 when not dotted or no digits)
    std::string digits;   // the digits it was read from
};
// The wireless version parse over a device report's text, up to its first zero byte. False
// when the text holds no "VERSION".
bool parseNordicVersion(const char* text, size_t length, NordicVersion* out);

// Listening of eraseNordicKeys: how many silent reads in a row end it.
constexpr int kEraseKeysSilentReads = 5;

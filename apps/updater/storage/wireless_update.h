#pragma once
// The wireless co-processor's update: the model's package is decoded, staged on the device's
// drive, the drive taken offline, and the device's own update started and followed.

#include <cstdint>

// True when the device reported the end of its wireless update, or nothing had to be done.
bool updateNordicFirmware();

// The process-wide decode buffer of the wireless image, which the language packs reuse.
constexpr int kPackageBufferSize = 3000000;
extern uint8_t nrfImageBuffer[kPackageBufferSize];

// How the device's answers to UPDATE_NORDIC are followed: counts the wait is bounded by.
constexpr int kNordicFollowLimit = 5000;
constexpr int kNordicSilentReadCost = 10; // added to the counter by a silent read

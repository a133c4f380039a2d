#pragma once
// Reprogramming a device that sits in its bootloader: erase the application region, write
// the model's embedded image in one write command, reset the device into its new firmware.
// Each step is one command over its own short bootloader connection, retried when the
// connection fails, up to limits counted over the whole run.

#include "state/device_models.h"
#include "state/shared_state.h"

// Failed attempts of each step in this run (never reset).
extern SharedInt eraseCrashCount;
extern SharedInt programCrashCount;
extern SharedInt resetCrashCount;

constexpr int kEraseAttempts = 10;
constexpr int kProgramAttempts = 10;
constexpr int kResetAttempts = 5;

// The application region: from 0xA000, at least 0x76000 bytes, and at least the whole image.
constexpr uint32_t kApplicationAddress = 0xA000;
constexpr uint32_t kMinimumEraseLength = 0x76000;
constexpr uint32_t kFlashSectorSize = 0x1000;
uint32_t eraseLengthFor(int imageLength);

// The normal path: the device came back as its flash bootloader (vendor 0x2B29, product id =
// type or type + 60). Waits for drivers, erases, programs and resets.
bool onBootloaderMode(int productId, int vendorId);
// The recovery path: a device in its ROM bootloader, programmed with the model and variant
// the user chose. Always true; failures are logged and shown by the steps.
bool onEmergencyProgramFlashMode(DeviceInfo& record, int deviceType, int variant);

bool eraseFlash();
bool programFlash();
bool resetDevice();

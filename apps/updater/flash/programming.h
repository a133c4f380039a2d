#pragma once
// Reprogramming a device that sits in its bootloader: erase the application region, write
// the model's embedded image in one write command, read it back and compare, reset the
// device into its new firmware. Each step is one command over its own short bootloader
// connection, retried when the connection fails, up to limits counted over the whole run.

#include "state/device_models.h"
#include "state/shared_state.h"

// Failed attempts of each step in this run (never reset).
extern SharedInt eraseCrashCount;
extern SharedInt programCrashCount;
extern SharedInt resetCrashCount;

// The written image is read back and compared before the reset (1 at start; --no-verify
// clears it).
extern Flag verifyAfterWrite;

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
// Writes the image and, unless verifyAfterWrite is clear, reads it back. A read-back that
// differs counts as a failed write: the region is erased and written again, up to the write's
// limit. True once the device holds the image, or took it and cannot be read back.
bool programFlash();
bool resetDevice();

// The read-back of the image the last write sent, compared byte for byte with it.
enum class WriteCheck {
    Same,
    Different,
    NotRead, // nothing was written, or the device refused or failed the read: unknown
};
WriteCheck checkWrittenImage();

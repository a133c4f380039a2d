#pragma once
// Reading the running device's identity and firmware version, and the update decision that
// follows from it: up to date, an update offer, an older-software warning, or a refusal.

#include "state/device_models.h"
#include "state/shared_state.h"

// Application protocol command codes.
enum AppCommand : uint8_t {
    READ_DEVICE_INFO = 0x06,
    NORDIC_ERASE_KEYS = 0x07,
    JUMP_TO_BL = 0x09,
    FACTORY_RESET = 0x0D,
    UPDATE_NORDIC = 0x0E,
    NRF_GET_VERSION = 0x3A,
    KANJI_PROGRAM_FLASH = 0x40,
};

// Whole reads that failed unexpectedly in this run; the read is retried while below 3.
extern SharedInt readDeviceCrashCount;

// The wireless build this updater carries for a device type.
int32_t nrfVersionForType(int deviceType);

// Asks the device who it is, fills record and decides what the window offers. False when the
// device did not answer or reported an identity outside the known models.
bool readDevice(DeviceInfo& record);

// The decision of a read, from the record's identity and versions (steps after the exchange);
// separated so that the wireless worker and the tests can apply it to a filled record.
void decideUpdate(DeviceInfo& record);

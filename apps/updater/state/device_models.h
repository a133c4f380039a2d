#pragma once
// The device vocabulary every part of the updater shares: device types and model names, the
// language variant, the USB identities and the one record that describes the connected device.

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// Device types 0..16 index modelNames; 4..16 are the models this updater can program.
constexpr int kMaxDeviceType = 16;
constexpr int kFirstFlashableType = 4;
extern const std::array<const char*, kMaxDeviceType + 1> modelNames;
// The label of a model's tick box in the recovery dialog; nullptr for types 0..3.
const char* recoveryLabel(int deviceType);
// The model name for a type, or nullptr outside 0..16.
const char* modelName(int deviceType);
inline bool isFlashableType(int deviceType) { return deviceType >= kFirstFlashableType && deviceType <= kMaxDeviceType; }

// Language variant: 60 marks the Japanese build of a model; every other value the standard build.
constexpr int kJapaneseVariant = 60;
constexpr int kStandardChoice = -99; // the recovery dialog's and gcbn's "standard, set dlv to 0"
// The variant a build choice (gcbn) names: kStandardChoice gives 0, kJapaneseVariant gives 60.
// False, with variant untouched, for any other choice (0 at start): the device's own variant
// then stands as it was read.
bool variantForBuildChoice(int buildChoice, int* variant);

// USB identities.
constexpr uint16_t kAppVendorId = 0x2B29;
constexpr uint16_t kAppProductId = 0x55;
constexpr uint16_t kRomVendorId = 0x15A2;
constexpr uint16_t kRomProductId = 0x73;
// A flash-bootloader product id (0x2B29 / type or type + 60): the device type it stands for,
// and whether it is the Japanese build. Returns false for any other product id.
bool bootloaderProductType(int productId, int* deviceType, bool* japanese);

// The one process-wide description of the connected device. Written by one thread at a time
// (the device-information read or the emergency start, serialised by the orchestration flags),
// always under the record's lock.
struct DeviceInfo {
    int32_t minor = 0;
    int32_t major = 0;
    int32_t infoByte5 = 0;
    int32_t infoByte4 = 0;
    int32_t dlv = 0;
    int32_t rawId = 0;
    int32_t deviceType = 0;
    std::string modelName;
    std::array<int32_t, 6> catalogRow{};
    std::string connectedText;
    std::string updateButtonText; // empty: no update offered
    std::string infoMessage;      // empty: none
    std::string confirmText;
    std::string confirmOkLabel;
    std::string confirmCancelLabel;
};

extern DeviceInfo deviceInfo;

// The record's lock, one for every DeviceInfo that threads share. Every write of a shared record
// holds it, and so does every read made off the window thread; the window thread reads without
// it only the fields that no other thread writes (every one but dlv).
std::mutex& deviceRecordLock();
// A copy of the record taken under its lock: what a worker reads.
DeviceInfo recordCopy(const DeviceInfo& record);
// The record's variant read under its lock (workers write it: keepVariant).
int32_t recordVariant(const DeviceInfo& record);
// Runs change on the record under its lock.
void changeRecord(DeviceInfo& record, const std::function<void(DeviceInfo&)>& change);

// A worker's write of the record's variant, under the record's lock.
void keepVariant(DeviceInfo& record, int variant);

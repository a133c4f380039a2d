#include "device_models.h"

const std::array<const char*, kMaxDeviceType + 1> modelNames = {
    "InvalidDevice", "Q3Lite", "Q3Volt", "Q3Peak",
    "Boosted Peak GPS", "Ridge GPS", "Sprig GPS", "Sprig Color", "Sprig Band", "Band Color", "Lite GPS",
    "Summit GPS", "Summit Color", "Peak Pro", "Ridge Plus", "Ridge Easy", "Ridge Easy 2",
};

namespace {
const std::array<const char*, kMaxDeviceType + 1> kRecoveryLabels = {
    nullptr, nullptr, nullptr, nullptr,
    "G1 Boosted Peak", "G1 Ridge", "G1 Bst Sprig", "G1 SprigColor", "G1 SprigBand", "G1 BandColor", "G1 Lite",
    "G2 SummitXL", "G2 SummitC", "G3 PeakPro", "G3 Ridge Plus", "G3 Ridge Easy", "G4 Ridge Easy",
};
} // namespace

DeviceInfo deviceInfo;

std::mutex& deviceRecordLock()
{
    static std::mutex lock;
    return lock;
}

DeviceInfo recordCopy(const DeviceInfo& record)
{
    std::lock_guard<std::mutex> hold(deviceRecordLock());
    return record;
}

int32_t recordVariant(const DeviceInfo& record)
{
    std::lock_guard<std::mutex> hold(deviceRecordLock());
    return record.dlv;
}

void changeRecord(DeviceInfo& record, const std::function<void(DeviceInfo&)>& change)
{
    std::lock_guard<std::mutex> hold(deviceRecordLock());
    change(record);
}

void keepVariant(DeviceInfo& record, int variant)
{
    std::lock_guard<std::mutex> hold(deviceRecordLock());
    record.dlv = variant;
}

const char* modelName(int deviceType)
{
    if (deviceType < 0 || deviceType > kMaxDeviceType)
        return nullptr;
    return modelNames[size_t(deviceType)];
}

const char* recoveryLabel(int deviceType)
{
    if (deviceType < 0 || deviceType > kMaxDeviceType)
        return nullptr;
    return kRecoveryLabels[size_t(deviceType)];
}

bool variantForBuildChoice(int buildChoice, int* variant)
{
    if (buildChoice != kStandardChoice && buildChoice != kJapaneseVariant)
        return false;
    *variant = buildChoice == kJapaneseVariant ? kJapaneseVariant : 0;
    return true;
}

bool bootloaderProductType(int productId, int* deviceType, bool* japanese)
{
    int type = productId;
    bool jp = false;
    if (productId >= kFirstFlashableType + kJapaneseVariant && productId <= kMaxDeviceType + kJapaneseVariant) {
        type = productId - kJapaneseVariant;
        jp = true;
    }
    if (!isFlashableType(type))
        return false;
    if (deviceType)
        *deviceType = type;
    if (japanese)
        *japanese = jp;
    return true;
}

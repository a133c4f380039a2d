#include "device_info.h"

#include "app_exchange.h"
#include "frame_codec.h"

#include "flash/firmware_catalog.h"
#include "state/app_callbacks.h"
#include "textutil/format.h"

#include <exception>

SharedInt readDeviceCrashCount{0};

using textutil::format;

namespace {

constexpr int kMaxCrashRetries = 3;

// One exchange; an exception from the link is retried once after a second.
bool exchangeDeviceInfo(uint8_t* reply)
{
    try {
        return transactCommand(READ_DEVICE_INFO, reply);
    } catch (const std::exception&) {
    } catch (...) {
    }
    sleepFor(1);
    try {
        return transactCommand(READ_DEVICE_INFO, reply);
    } catch (...) {
        return false;
    }
}

// Copies into record, under its lock, only the fields that changed: the window thread reads the
// record without the lock, and a re-read of the device a worker serves leaves it as it was.
void takeChanges(DeviceInfo& record, const DeviceInfo& fresh)
{
    std::lock_guard<std::mutex> hold(deviceRecordLock());
    auto take = [](auto& field, const auto& value) {
        if (!(field == value))
            field = value;
    };
    take(record.minor, fresh.minor);
    take(record.major, fresh.major);
    take(record.infoByte5, fresh.infoByte5);
    take(record.infoByte4, fresh.infoByte4);
    take(record.dlv, fresh.dlv);
    take(record.rawId, fresh.rawId);
    take(record.deviceType, fresh.deviceType);
    take(record.modelName, fresh.modelName);
    take(record.catalogRow, fresh.catalogRow);
    take(record.connectedText, fresh.connectedText);
    take(record.updateButtonText, fresh.updateButtonText);
    take(record.infoMessage, fresh.infoMessage);
    take(record.confirmText, fresh.confirmText);
    take(record.confirmOkLabel, fresh.confirmOkLabel);
    take(record.confirmCancelLabel, fresh.confirmCancelLabel);
}

// The decision without making the record the current device.
void decideFor(DeviceInfo& record)
{
    const long nrf = NRFV.load();
    const char* name = record.modelName.c_str();
    if (record.dlv == kJapaneseVariant)
        record.connectedText = nrf > 0 ? format("%s connected\nVer: %d.%d-%li\nJapanese", name, record.major, record.minor, nrf)
                                       : format("%s connected\nVer: %d.%d\nJapanese", name, record.major, record.minor);
    else
        record.connectedText = nrf > 0 ? format("%s connected\nVer: %d.%2.2d-%li\n", name, record.major, record.minor, nrf)
                                       : format("%s connected\nVer: %d.%2.2d\n", name, record.major, record.minor);

    initFirmwareCatalog();
    const int type = (record.deviceType >= 0 && record.deviceType <= kMaxDeviceType) ? record.deviceType : 0;
    for (size_t i = 0; i < record.catalogRow.size(); ++i)
        record.catalogRow[i] = firmwareCatalog[size_t(type)][i];

    versionMatches = 0;
    nrfCheckBypass = 0;
    nrfMatches = 0;

    const int catMajor = record.catalogRow[0];
    const int catMinor = record.catalogRow[1];
    if (catMajor == 0 && catMinor < 40) {
        record.infoMessage = "This updater will not work for your device. You must update at least 1 time with the "
                             "manual updater before this automatic updater will work";
        record.updateButtonText.clear();
        return;
    }

    // After a programming that did not finish, the version the device reports may be that of a
    // partly written image: it is offered the firmware again.
    if (catMajor == record.major && catMinor == record.minor && !isSet(flashIncomplete)) {
        versionMatches = 1;
        if (targetNrfVersion.load() == NRFV.load())
            nrfMatches = 1;
        if (isSet(versionMatches) && isSet(nrfMatches)) {
            record.infoMessage = "Latest software is installed on device";
            record.updateButtonText.clear();
        }
        if (isSet(updateActive)) {
            record.infoMessage = "Programming Please Wait...";
            record.updateButtonText.clear();
            return;
        }
        // The firmware is current but the wireless firmware, read and known, is behind: an
        // update an earlier run left unfinished (or a flash without its wireless step). Without
        // an offer nothing would ever finish it, nor bring back rider's data held for it.
        if (isSet(nrfMatches) || NRFV.load() <= 0)
            return;
    }

    record.updateButtonText =
        catMinor < 10 ? format("Update to %d.%02d", catMajor, catMinor) : format("Update to %d.%d", catMajor, catMinor);
    record.infoMessage.clear();
    if (record.major == 0) {
        nrfCheckBypass = 1;
        logLine("Rev ZERO bypass nordic version check\r\n");
    } else if ((record.major == 1 && record.minor < 61) || (record.major == 2 && record.minor <= 66)) {
        nrfCheckBypass = 1;
        logLine("Rev ONE-SIXTY bypass nordic version check\r\n");
    }
    if ((catMajor == record.major && catMinor < record.minor) || catMajor < record.major)
        record.confirmText = "This updater contains older software than your device, are you sure you want to use old software?";
    else
        record.confirmText = "Please do not unplug your device.  This will take a few minutes.";
    record.confirmOkLabel = "Update";
    record.confirmCancelLabel = "Cancel";
}

bool readDeviceOnce(DeviceInfo& record)
{
    reportStatus(0, nullptr, "");
    logLine("\nSending READ_DEVICE_INFO\r\n");

    uint8_t reply[kReplyBufferSize] = {};
    if (!exchangeDeviceInfo(reply))
        return false;

    // Reply bytes are signed and widened.
    const int32_t rawId = int8_t(reply[1]);
    int32_t type = rawId;
    GRawDevID = rawId;
    if (rawId > 59 && rawId < 126) {
        gcbn = kJapaneseVariant;
        type = rawId - kJapaneseVariant;
    }
    GNormDevID = type;
    targetNrfVersion = nrfVersionForType(type);
    logLinef("\nDEVICE_ID RAW [%d] NORM[%d] U[%li]\r\n", rawId, type, long(targetNrfVersion.load()));
    if (type < 0 || type > kMaxDeviceType) {
        logLine("Invalid GPS model\r\n");
        return false;
    }

    DeviceInfo fresh = recordCopy(record);
    fresh.deviceType = type;
    fresh.major = int8_t(reply[2]);
    fresh.minor = int8_t(reply[3]);
    fresh.infoByte4 = int8_t(reply[4]);
    fresh.infoByte5 = int8_t(reply[5]);
    fresh.modelName = modelNames[size_t(type)];
    fresh.dlv = (rawId >= 64 && rawId <= 75) ? kJapaneseVariant : 0;
    fresh.rawId = rawId;
    decideFor(fresh);
    takeChanges(record, fresh);
    appCallbacks.currentDevice.store(&record);
    return true;
}

} // namespace

int32_t nrfVersionForType(int deviceType)
{
    switch (deviceType) {
    case 11:
    case 12:
    case 13:
    case 14:
    case 16:
        return 1333026;
    case 15:
        return 1332013;
    default:
        return 1031039;
    }
}

void decideUpdate(DeviceInfo& record)
{
    DeviceInfo fresh = recordCopy(record);
    decideFor(fresh);
    takeChanges(record, fresh);
    appCallbacks.currentDevice.store(&record);
}

bool readDevice(DeviceInfo& record)
{
    try {
        return readDeviceOnce(record);
    } catch (...) {
        const int crashes = readDeviceCrashCount.load() + 1;
        readDeviceCrashCount = crashes;
        if (crashes >= kMaxCrashRetries)
            return false;
        logLine("readDevice Crash - retrying\n\r");
        return readDevice(record);
    }
}

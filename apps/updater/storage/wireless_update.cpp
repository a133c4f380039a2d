#include "wireless_update.h"

#include "gps_drive.h"
#include "staging.h"

#include "crc/app_crc.h"
#include "devlink/app_exchange.h"
#include "devlink/device_info.h"
#include "devlink/frame_codec.h"
#include "flash/embedded_packages.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/hid.h"
#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <cstdio>
#include <cstring>

uint8_t nrfImageBuffer[kPackageBufferSize];

namespace {

uint8_t g_settingsBuffer[kPackageBufferSize];

constexpr int kReadTimeoutMs = 1000;

void statusf(int isComplete, const char* format, const char* name)
{
    char text[512];
    std::snprintf(text, sizeof text, format, name);
    reportStatus(isComplete, text, nullptr);
}

void deleteLocalCopies(const std::string& image, const std::string& settings)
{
    platform::deleteFile(image);
    platform::deleteFile(settings);
}

// Stages one file of the package; a failed copy removes its local copy and waits 5 s.
bool stagePackageFile(const std::string& local, const std::string& onDrive, const uint8_t* bytes, int length)
{
    switch (stageFile(local, onDrive, bytes, size_t(length))) {
    case StageResult::Done:
        return true;
    case StageResult::LocalCreateFailed:
        return false;
    case StageResult::CopyFailed:
        platform::deleteFile(local);
        sleepFor(5);
        return false;
    }
    return false;
}

// Decodes one file of the package into buffer (kPackageBufferSize bytes), logging its sizes
// under its short name; returns the decoded length, negative on failure.
int decodePackageFile(const char* name, const EmbeddedItem& item, uint8_t* buffer)
{
    logLinef("Compressed %s size = %d\n\r", name, item.compressedSize);
    logLinef("decompressing %s\r\n", name);
    const int length = decodeEmbeddedItem(item, buffer, kPackageBufferSize);
    logLinef("Decoded %s bytes = %d\n\r", name, length);
    return length;
}

enum class FollowResult { Finished, DeviceFailed, NoEnd };

// The progress shown while the device reports its programming: at these counts of its reports.
struct Milestone {
    int counter;
    const char* detail;
};
constexpr Milestone kMilestones[] = { { 375, "25% done" }, { 750, "50% done" }, { 1225, "75% done" } };

// Follows the device's reports after UPDATE_NORDIC.
FollowResult followUpdate(platform::HidDevice* device, const char* model)
{
    bool firstTick = true;
    for (int counter = 0; counter < kNordicFollowLimit;) {
        ++counter;
        uint8_t report[kReplyBufferSize] = {};
        const int got = platform::hidService().read(device, report, kInputReportSize, kReadTimeoutMs);
        if (got < 1) {
            counter += kNordicSilentReadCost;
            continue;
        }
        if (report[1] == '%') {
            logLinef("ANT_UPDATE_FAILED [%8.8s]\r\n", reinterpret_cast<const char*>(report));
            return FollowResult::DeviceFailed;
        }
        uint8_t response[kReplyBufferSize] = {};
        decodeFrame(report, size_t(got), response);
        if (response[0] != kTextMessageCode)
            continue;
        const char* text = reinterpret_cast<const char*>(response + 1);
        if (response[1] == '*') {
            if (firstTick) {
                firstTick = false;
                statusf(0, "%s\nProgramming wireless firmware", model);
            }
            if (appCallbacks.log.load() && (counter & 63) == 63)
                logLinef("%d ", counter);
            for (const Milestone& milestone : kMilestones)
                if (counter == milestone.counter)
                    reportStatus(0, nullptr, milestone.detail);
        } else if (std::memcmp(text, "Succus!!", 8) == 0) {
            reportStatus(0, nullptr, "Waiting for Device.");
            return FollowResult::Finished;
        } else if (std::memcmp(text, "complete", 8) == 0 || std::memcmp(text, "file clo", 8) == 0) {
            reportStatus(0, nullptr, "Waiting for Device");
            return FollowResult::Finished;
        } else {
            // The reply buffer keeps a zero at its end, so the text always stops inside it.
            logLine(text);
        }
    }
    return FollowResult::NoEnd;
}

} // namespace

bool updateNordicFirmware()
{
    // What is read of the record is a copy taken under its lock; the variant is written back
    // to the shared record itself.
    DeviceInfo* shared = appCallbacks.currentDevice.load();
    DeviceInfo current;
    if (shared)
        current = recordCopy(*shared);
    const DeviceInfo* record = shared ? &current : nullptr;
    const int recordType = record ? record->deviceType : -1;
    const int32_t nrf = NRFV.load();
    // Types 11..15 are told up to date at the Summit's build and updated all the same; any
    // other type stops when it already has the build carried for it (an unknown device: the
    // first models' build). Type 16 carries the Summit's build: taking the first models'
    // build as its own would end the update with nothing done and the update still offered.
    if (recordType >= 11 && recordType <= 15) {
        if (nrf == nrfVersionForType(11))
            logLine("\n--NORDIC UP TO DATE SUMMIT--\r\n");
    } else if (nrf == nrfVersionForType(recordType)) {
        logLine("\n--NORDIC UP TO DATE--\r\n");
        return true;
    }

    const std::string drive = gpsDriveForUse();
    if (drive.empty()) {
        reportStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    if (record)
        statusf(0, "Copying new firmware to\n%s", record->modelName.c_str());
    logLine("Determining Model\n");
    if (!record && modelOverride.load() <= 0) {
        reportStatus(1, "Error\nUnable to determine device model.", "Something went wrong");
        return false;
    }
    const int model = modelOverride.load() > 0 ? modelOverride.load() : recordType;
    int variant = 0;
    if (shared && variantForBuildChoice(gcbn.load(), &variant))
        keepVariant(*shared, variant);
    EmbeddedItem image, settings;
    if (!selectNordicPackage(model, &image, &settings)) {
        logLine("Invalid device type\r\n");
        reportStatus(1, "Error\nUnable to determine device model.", nullptr);
        return false;
    }
    const bool withSettings = model >= 11 && model <= 16;
    const std::string name = record ? record->modelName : std::string(modelName(model));
    const std::string imageOnDrive = platform::joinPath(drive, "nrf_update.bin");
    const std::string settingsOnDrive = platform::joinPath(drive, "nrf_update.dat");
    statusf(0, "%s\nCopying wireless firmware", name.c_str());

    const int imageLength = decodePackageFile("nrf", image, nrfImageBuffer);
    const int settingsLength = withSettings ? decodePackageFile("nrf dat", settings, g_settingsBuffer) : 0;
    if (imageLength <= 0 || (withSettings && settingsLength <= 0)) {
        // A package that does not decode must never reach the device.
        logLine("Wireless package could not be decoded\r\n");
        statusf(1, "%s\nError updating wireless firmware", name.c_str());
        return false;
    }
    const uint16_t imageCrc = crc16CcittFalse(nrfImageBuffer, size_t(imageLength));

    if (!createStagingFolder())
        return false;
    const std::string staging = platform::stagingFolder();
    const std::string localImage = platform::joinPath(staging, "candidatefrmwile.txt");
    const std::string localSettings = platform::joinPath(staging, "candidatefdtwile.txt");
    deleteLocalCopies(localImage, localSettings);
    sleepFor(5);

    if (!stagePackageFile(localImage, imageOnDrive, nrfImageBuffer, imageLength))
        return false;
    if (withSettings && !stagePackageFile(localSettings, settingsOnDrive, g_settingsBuffer, settingsLength))
        return false;
    logLine("successfully wrote new nrf_update.bin\r\n");
    statusf(0, "%s\nUpdating wireless firmware", name.c_str());
    sleepFor(5);

    ejectGpsDrive(drive);
    sleepFor(5);
    deleteLocalCopies(localImage, localSettings);

    platform::HidDevice* device = openAppDevice();
    if (!device) {
        logLine("Open HID device failed\r\n");
        return false;
    }
    sendCommandWithArgs(UPDATE_NORDIC, device, imageCrc, uint32_t(imageLength));
    logLine("Sending UPDATE_NORDIC command\r\n");
    const FollowResult result = followUpdate(device, name.c_str());
    platform::hidService().close(device);
    if (result == FollowResult::NoEnd)
        statusf(1, "%s\nError updating wireless firmware", name.c_str());
    return result == FollowResult::Finished;
}

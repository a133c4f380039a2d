#include "language_packs.h"

#include "gps_drive.h"
#include "staging.h"
#include "wireless_update.h"

#include "devlink/app_exchange.h"
#include "devlink/device_info.h"
#include "devlink/frame_codec.h"
#include "flash/embedded_packages.h"
#include "platform/files.h"
#include "platform/hid.h"
#include "platform/local_folders.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <cstring>
#include <string>

namespace {

constexpr int kReadTimeoutMs = 1000;

struct FontStep {
    const char* file;
    const char* unpacking;
    const char* xfer;
    const char* logFormat;
};

const FontStep kSmallFonts[] = {
    {"Kanji_11x12.bin", "Language Pack Update\nUnPacking 1 of 2", "Language Pack Update\nXfer 1 of 2", "FN 1 of 2 = %s\n\r"},
    {"Kanji_18x18.bin", "Language Pack Update\nUnPacking 2 of 2", "Language Pack Update\nXfer 2 of 2", "FN 2 of 2 = %s\n\r"},
};
const FontStep kSummitFont = {"Kanji_19x19.bin", "Language Pack Update\nUnPacking summit 1 of 1",
                              "Language Pack Update\nXfer summit 1 of 1", "FN summit 1 of 1 = %s\n\r"};

bool stageFont(const FontStep& step, const std::string& drive)
{
    reportStatus(0, nullptr, step.unpacking);
    EmbeddedItem font;
    const int length = selectKanjiFont(step.file, &font) ? decodeEmbeddedItem(font, nrfImageBuffer, kFontDecodeLimit) : -1;
    const std::string local = platform::joinPath(platform::stagingFolder(), step.file);
    const std::string onDrive = platform::joinPath(drive, step.file);
    logLinef(step.logFormat, onDrive.c_str());
    reportStatus(0, nullptr, step.xfer);
    if (length <= 0) {
        logLinef("Font %s could not be decoded\r\n", step.file);
        return false;
    }
    return stageFile(local, onDrive, nrfImageBuffer, size_t(length)) == StageResult::Done;
}

// Report text for the log: the bytes up to the first zero, kept inside the report.
std::string reportText(const uint8_t* report, int got)
{
    const size_t length = strnlen(reinterpret_cast<const char*>(report), size_t(got));
    return std::string(reinterpret_cast<const char*>(report), length);
}

} // namespace

bool updateLanguagePacks()
{
    reportStatus(0, nullptr, "Language Pack Update\nUnPacking");
    const std::string drive = gpsDriveForUse();
    if (drive.empty()) {
        reportStatus(0, "Can not find GPS USB drive", nullptr);
        return false;
    }
    logLine("Determining Model\r\n");
    DeviceInfo current;
    const DeviceInfo* record = currentDeviceCopy(&current) ? &current : nullptr;
    if (!record && modelOverride.load() <= 0) {
        reportStatus(1, "Error\nUnable to determine device model.", "Something went wrong");
        return false;
    }
    const int model = modelOverride.load() > 0 ? modelOverride.load() : record->deviceType;
    if (!record || record->dlv != kJapaneseVariant)
        return false;
    if (!createStagingFolder())
        return false;

    const bool summit = model == 11 || model == 12;
    if (summit) {
        if (!stageFont(kSummitFont, drive))
            return false;
    } else {
        for (const FontStep& step : kSmallFonts)
            if (!stageFont(step, drive))
                return false;
    }

    sleepFor(10);
    reportStatus(1, nullptr, "Language Pack Update\nDevice Loading...");
    platform::HidDevice* device = openAppDevice();
    if (!device) {
        logLine("Open HID device failed\r\n");
        return false;
    }
    sleepFor(10);
    logLine("Sending KANJI_PROGRAM_FLASH command\r\n");
    sendCommand(KANJI_PROGRAM_FLASH, device);
    sleepFor(15);
    logLine("Begin KANJI_PROGRAM_FLASH\r\n");

    bool smallDone = false, largeDone = false, summitDone = false, done = false;
    for (int counter = 0; !done && counter < kKanjiWaitLimit;) {
        logLine("while KANJI_PROGRAM_FLASH\r\n");
        uint8_t report[kReplyBufferSize] = {};
        ++counter;
        const int got = platform::hidService().read(device, report, kInputReportSize, kReadTimeoutMs);
        if (got < 1) {
            ++counter;
            logLinef("RX [%i] N\r\n", counter);
            continue;
        }
        switch (report[1]) {
        case 'A':
            smallDone = true;
            reportStatus(1, nullptr, "Language Pack 1 of 2 done!\nDevice Loading...");
            logLinef("RX  KANJI_11x12_SUCCESS [%i][%d][%s]\r\n", counter, got, reportText(report, got).c_str());
            break;
        case 'B':
            done = largeDone = true;
            reportStatus(1, nullptr, "Language Pack 2 of 2 done!");
            logLinef("RX  KANJI_18x18_SUCCESS [%i][%d][%d][%02x][%02x][%02x]\r\n", counter, got, 0, report[0], report[1],
                     report[2]);
            break;
        case 'C':
            done = summitDone = true;
            reportStatus(1, nullptr, "Language Pack summit done!");
            logLinef("RX  KANJI_19x19_SUCCESS [%i][%d][%s]\r\n", counter, got, reportText(report, got).c_str());
            break;
        case 'D':
            done = true;
            smallDone = largeDone = summitDone = false;
            break;
        default:
            break;
        }
    }
    platform::hidService().close(device);
    const bool result = summit ? summitDone : (smallDone && largeDone);
    reportStatus(1, nullptr, "");
    return result;
}

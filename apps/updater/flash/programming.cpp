#include "programming.h"

#include "firmware_catalog.h"

#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/data_phase.h"
#include "blfwk/memory_commands.h"
#include "platform/hid.h"
#include "platform/usb_devices.h"
#include "state/app_callbacks.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

SharedInt eraseCrashCount{0};
SharedInt programCrashCount{0};
SharedInt resetCrashCount{0};
Flag verifyAfterWrite{1};

namespace {

constexpr int kPacketTimeoutMs = 5000;

std::string withModel(const char* format, const std::string& model)
{
    char text[512];
    std::snprintf(text, sizeof text, format, model.c_str());
    return text;
}

DeviceInfo* currentDevice() { return appCallbacks.currentDevice.load(); }

blfwk::PeripheralConfig bootloaderConfig()
{
    blfwk::PeripheralConfig config{};
    config.peripheralKind = blfwk::PeripheralConfig::PeripheralUsbHid;
    config.usbVendorId = bootloaderVid.load();
    config.usbProductId = bootloaderPid.load();
    config.packetTimeoutMs = kPacketTimeoutMs;
    config.baudRate = 0;
    config.pingOnOpen = false;
    return config;
}

// Runs one command over its own connection and returns its status (response value 0), or
// kStatus_Success when it gave none. Throws when the connection cannot be had.
struct StepLog {
    const char* beforeInject = nullptr;
    const char* beforeFlush = nullptr;
    const char* beforeResponses = nullptr;
    const char* beforeFree = nullptr;
    void (*afterFlush)() = nullptr;
};

uint32_t runCommand(std::unique_ptr<blfwk::Command> cmd, const StepLog& log = {})
{
    uint32_t status = blfwk::kStatus_Success;
    {
        blfwk::Bootloader bootloader(bootloaderConfig());
        if (log.beforeInject)
            logLine(log.beforeInject);
        bootloader.inject(*cmd);
        if (log.beforeFlush)
            logLine(log.beforeFlush);
        bootloader.flush();
        if (log.afterFlush)
            log.afterFlush();
        const blfwk::uint32_vector_t* values = cmd->responseValues();
        if (values && !values->empty()) {
            status = values->front();
            if (status != blfwk::kStatus_NoResponseExpected) {
                if (log.beforeResponses)
                    logLine(log.beforeResponses);
                cmd->logResponses();
            }
        }
        if (log.beforeFree)
            logLine(log.beforeFree);
        cmd.reset();
    }
    platform::hidService().shutdown();
    return status;
}

uint32_t runCommand(const blfwk::string_vector_t& argv, const StepLog& log = {})
{
    std::unique_ptr<blfwk::Command> cmd = blfwk::Command::create(argv);
    if (!cmd)
        throw std::runtime_error("the bootloader command could not be built");
    return runCommand(std::move(cmd), log);
}

// The length of the image the last write sent from imageBuffer; 0 until a write went out
// whole, and again from the start of every attempt.
SharedInt g_writtenLength{0};

// What programFlash would write: the device type and variant, from the override, the
// connected device or the bootloader's product id. Sets dlv as the programming does.
struct ImageChoice {
    int deviceType = 0;
    int variant = 0;
};

ImageChoice chooseImage(bool logIt)
{
    ImageChoice choice;
    DeviceInfo* device = currentDevice();
    if (modelOverride.load() > 0) {
        choice.deviceType = modelOverride.load();
        if (logIt)
            logLine("Using device type override\r\n");
    } else if (device) {
        choice.deviceType = device->deviceType;
        if (logIt)
            logLine("Using usb reported device type\r\n");
    } else {
        choice.deviceType = bootloaderPid.load();
        if (logIt)
            reportStatus(0, "Emergency Mode\nUsing product id from bootloader", nullptr);
    }
    if (variantForBuildChoice(gcbn.load(), &choice.variant) && device)
        keepVariant(*device, choice.variant);
    if (choice.deviceType >= kJapaneseVariant && choice.deviceType <= 126)
        choice.deviceType -= kJapaneseVariant;
    return choice;
}

// The decoded length of the image the write will carry, or 0 when there is none. The
// catalogue knows it: the erase needs no decode of the image.
int imageLengthToWrite()
{
    const ImageChoice choice = chooseImage(false);
    FirmwareImage image;
    if (!selectFirmwareImage(choice.deviceType, choice.variant, &image))
        return 0;
    return image.decodedSize > 0 && image.decodedSize <= kImageBufferSize ? image.decodedSize : 0;
}

// How a step of the programming is retried: an exception is a failed attempt, counted over
// the whole run; below the limit the step runs again, at the limit it is shown as failed.
struct RetryRule {
    SharedInt& failures;
    int attempts;
    const char* failedStatus;
    const char* retryLine;
    int pauseSeconds; // before the next attempt
};

bool withRetries(bool (*attempt)(), const RetryRule& rule)
{
    for (;;) {
        try {
            return attempt();
        } catch (...) {
            const int failures = rule.failures.load() + 1;
            rule.failures = failures;
            if (failures >= rule.attempts) {
                reportStatus(1, rule.failedStatus, nullptr);
                return false;
            }
            logLine(rule.retryLine);
            if (rule.pauseSeconds > 0)
                sleepFor(rule.pauseSeconds);
        }
    }
}

void reportFailure(const char* detailAfterReset)
{
    if (DeviceInfo* device = currentDevice())
        reportStatus(1,
                     withModel("There was a problem updating your %s. Please try again or contact Tarvel technical support.",
                               device->modelName)
                         .c_str(),
                     detailAfterReset);
    else
        reportStatus(1, "There was a problem updating your GPS", "Please try again or contact Tarvel technical support.");
}

// How long the bootloader may take to leave the bus after a reset it accepted: a protocol
// limit, real time, not scaled.
constexpr int kResetLeaveLimitMs = 10000;

bool bootloaderOnBus()
{
    std::vector<std::string> ids;
    if (!platform::usbDeviceService().presentHardwareIds(ids))
        return false;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "VID_%04X&PID_%04X", unsigned(bootloaderVid.load()),
        unsigned(bootloaderPid.load()));
    for (const std::string& id : ids)
        if (id.find(wanted) != std::string::npos)
            return true;
    return false;
}

// Whether the bootloader left the bus after its reset. A reset that was not answered looks
// like one that was: only the bootloader leaving tells that the device restarts.
bool bootloaderLeft()
{
    for (int waited = 0; waited < kResetLeaveLimitMs; waited += 50) {
        if (!bootloaderOnBus())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !bootloaderOnBus();
}

void statusAfterWriteFlush()
{
    reportStatus(0, nullptr, isSet(reverseUpgrade) ? "Flashing Started" : "Step 3 of 3\nStarted");
}

bool eraseOnce()
{
    // The region must cover the whole image: flash refuses to program bytes not erased.
    char length[16];
    std::snprintf(length, sizeof length, "0x%x", eraseLengthFor(imageLengthToWrite()));
    runCommand({ "flash-erase-region", "0xa000", length });
    sleepFor(2);
    return true;
}

bool programOnce()
{
    g_writtenLength = 0;
    reportStatus(0, nullptr, "Step 2 of 3\nStarted");
    const ImageChoice choice = chooseImage(true);
    logLinef("\n-- Flash AA m:%i gcbn:%i lv:%i --\r\n", choice.deviceType, int(gcbn.load()), choice.variant);
    FirmwareImage image;
    const bool known = selectFirmwareImage(choice.deviceType, choice.variant, &image);
    if (choice.deviceType == 4 && choice.variant == kJapaneseVariant)
        logLinef("\n-- Flash AA peak gps jp m:%i gcbn:%i lv:%i --\r\n", choice.deviceType, int(gcbn.load()),
            choice.variant);
    if (!known) {
        logLine("Invalid device type\r\n");
        // No image for this type: a failed attempt that no retry can mend.
        reportStatus(1, "Program device failed", nullptr);
        return false;
    }
    logLine("Decompressing binary\r\n");
    const int length = decodeFirmwareImage(image);
    logLine("Building program command\r\n");
    if (length <= 0 || !buildDataText(length)) {
        logLinef("Firmware image could not be prepared (decoded %d bytes)\r\n", length);
        reportStatus(1, "Program device failed", nullptr);
        return false;
    }
    logLine("Programming...Do not unplug\r\n");
    reportStatus(0, nullptr, "Programming...Do not unplug");
    logLine("Sending bootloader program command\r\n");
    StepLog log;
    log.beforeInject = "inject program command\r\n";
    log.beforeFlush = "flush program command\r\n";
    log.beforeResponses = "got responce values\r\n";
    log.beforeFree = "freeing memory command\r\n";
    log.afterFlush = statusAfterWriteFlush;
    const uint32_t status = runCommand({ "write-memory", "0xa000", hexTextBuffer }, log);
    if (status != blfwk::kStatus_Success) {
        // The bootloader refused the image: the device does not hold the new firmware.
        logLinef("Program refused by the bootloader, status %u\r\n", status);
        reportStatus(1, "Program device failed", nullptr);
        return false;
    }
    g_writtenLength = length;
    return true;
}

// Counts a read-back that differs from the image as a failed write, then erases the region for
// the next write (flash is programmed only where it is erased). False at the write's limit or
// when the erase gives up; the step's failure is then shown.
bool eraseAfterMismatch()
{
    const int failures = programCrashCount.load() + 1;
    programCrashCount = failures;
    if (failures >= kProgramAttempts) {
        logLine("The written firmware did not verify: retry limit reached\r\n");
        // The second line says why, in place of the read-back's "Do not unplug".
        reportStatus(1, "Program device failed", "The written firmware did not verify");
        return false;
    }
    reportStatus(0, "Written firmware did not verify", "Programming again");
    logLine("Verify failed - erasing and programming again\r\n");
    return eraseFlash();
}

bool resetOnce()
{
    reportStatus(0, nullptr, "Resetting Device\nPlease Wait...");
    logLine("Sending bootloader reset device\r\n");
    const uint32_t status = runCommand({ "reset" });
    if (status != blfwk::kStatus_Success && status != blfwk::kStatus_NoResponseExpected) {
        // The device stays in its bootloader: not a reset. Counted as a failed attempt.
        logLinef("Reset refused by the bootloader, status %u\r\n", status);
        throw std::runtime_error("reset refused");
    }
    if (!bootloaderLeft()) {
        logLine("The bootloader did not restart the device\r\n");
        throw std::runtime_error("reset not taken");
    }
    return true;
}

} // namespace

uint32_t eraseLengthFor(int imageLength)
{
    uint32_t length = imageLength > 0 ? uint32_t(imageLength) : 0;
    length = (length + kFlashSectorSize - 1) / kFlashSectorSize * kFlashSectorSize;
    return length > kMinimumEraseLength ? length : kMinimumEraseLength;
}

bool eraseFlash()
{
    // From the erase on, the application is gone until a programming completes.
    reportUnfinishedProgramming(true);
    return withRetries(eraseOnce,
        { eraseCrashCount, kEraseAttempts, "Failed to erase flash", "Erase Crash - retrying\n\r", 0 });
}

bool programFlash()
{
    for (;;) {
        if (!withRetries(programOnce,
                { programCrashCount, kProgramAttempts, "Program device failed", "Program Crash - retrying\n\r", 0 }))
            return false;
        if (!isSet(verifyAfterWrite)) {
            logLine("Read-back of the written firmware skipped\r\n");
            return true;
        }
        // A device that cannot be read back is trusted as before: its write was acknowledged.
        if (checkWrittenImage() != WriteCheck::Different)
            return true;
        if (!eraseAfterMismatch())
            return false;
    }
}

WriteCheck checkWrittenImage()
{
    const int length = g_writtenLength;
    if (length <= 0 || length > kImageBufferSize)
        return WriteCheck::NotRead;
    reportStatus(0, nullptr, "Verifying...Do not unplug");
    logLinef("Reading back %d bytes from 0x%x\r\n", length, unsigned(kApplicationAddress));
    blfwk::MemoryDataConsumer received { uint32_t(length) };
    uint32_t status = blfwk::kStatus_Success;
    try {
        status = runCommand(std::make_unique<blfwk::ReadMemory>(kApplicationAddress, uint32_t(length), received));
    } catch (const std::exception& e) {
        logLinef("The device could not be opened to read back its firmware (%s): not verified\r\n", e.what());
        return WriteCheck::NotRead;
    }
    const std::vector<uint8_t>& bytes = received.data();
    if (status != blfwk::kStatus_Success || bytes.size() != size_t(length)) {
        // Refused (a protected range, a command it does not carry out) or cut short: nothing
        // to compare, and no reason to take the write for a failure.
        logLinef("The device did not read back its firmware (status %u, %u of %d bytes): not verified\r\n", status,
            unsigned(bytes.size()), length);
        return WriteCheck::NotRead;
    }
    size_t first = 0;
    size_t differing = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != imageBuffer[i]) {
            if (differing == 0)
                first = i;
            ++differing;
        }
    }
    if (differing == 0) {
        logLinef("Read-back matches the image (%d bytes)\r\n", length);
        return WriteCheck::Same;
    }
    logLinef("Read-back differs from the image: first at 0x%x, %u bytes differ\r\n",
        unsigned(kApplicationAddress + first), unsigned(differing));
    return WriteCheck::Different;
}

bool resetDevice()
{
    return withRetries(resetOnce,
        { resetCrashCount, kResetAttempts, "Failed to reset device", "Reset Crash - retrying\n\r", 2 });
}

bool onBootloaderMode(int productId, int vendorId)
{
    bootloaderPid = uint16_t(productId);
    bootloaderVid = uint16_t(vendorId);
    ADF = 0;
    DeviceInfo* device = currentDevice();
    if (device)
        reportStatus(0, withModel("%s connected\nErasing", device->modelName).c_str(), nullptr);
    else
        reportStatus(0, "Emergency mode", nullptr);

    logLine("Waiting 45sec for drivers\r\n");
    for (const char* detail :
        { "Updating drivers", "Updating drivers\n35% done", "Updating drivers\n70% done" }) {
        reportStatus(0, nullptr, detail);
        sleepFor(15);
    }

    logLine("Erasing Flash\r\n");
    if (!eraseFlash()) {
        logLine("Flash erase failed\r\n");
        reportFailure(nullptr);
        return false;
    }
    logLine("Programming flash\r\n");
    if (device)
        reportStatus(0, withModel("%s connected\nProgramming GPS Firmware", device->modelName).c_str(), nullptr);
    if (!programFlash()) {
        logLine("Program flash failed\r\n");
        reportFailure(nullptr);
        return false;
    }
    reportUnfinishedProgramming(false); // the whole image is written (and read back where it can be)
    logLine("Reset device after a 5 second rest\r\n");
    if (device) {
        if (isSet(reverseUpgrade)) {
            reportStatus(0, withModel("%s WAIT", device->modelName).c_str(), "Not Done Yet");
        } else {
            reportStatus(0, withModel("%s connected\nRestarting", device->modelName).c_str(), "Almost done");
            logLine("Set AD Flag true\r\n");
            ADF = 1;
        }
    }
    sleepFor(5);
    const bool reset = resetDevice();
    if (!reset) {
        logLine("Reset device failed\r\n");
        reportFailure(device ? "Error" : nullptr);
    }
    sleepFor(2);
    logLine("Set AD Flag false\r\n");
    ADF = 0;
    if (!reset)
        return false;
    if (device)
        reportStatus(1, withModel("%s Flashing success", device->modelName).c_str(), "");
    return true;
}

bool onEmergencyProgramFlashMode(DeviceInfo& record, int deviceType, int variant)
{
    bootloaderVid = kRomVendorId;
    bootloaderPid = kRomProductId;
    if (variant == kJapaneseVariant) {
        gcbn = kJapaneseVariant;
        GRawDevID = deviceType + kJapaneseVariant;
    } else {
        gcbn = kStandardChoice;
        GRawDevID = deviceType;
    }
    GNormDevID = deviceType;
    modelOverride = deviceType;

    record.deviceType = GNormDevID.load();
    const char* name = modelName(record.deviceType);
    record.modelName = name ? name : "";
    record.dlv = variant;
    record.rawId = GRawDevID.load();
    appCallbacks.currentDevice.store(&record);
    initFirmwareCatalog();
    if (record.deviceType >= 0 && record.deviceType <= kMaxDeviceType)
        record.catalogRow = firmwareCatalog[size_t(record.deviceType)];
    logLinef("onEmergencyProgramFlashMode DeviceTypeToFlash [%i] Variant [%i]\r\n", deviceType, variant);

    // A device in its ROM bootloader may hold part of an image (an earlier recovery or update
    // cut short): flash takes a write only where it is erased, so that region is erased first.
    // From the first write on the device holds no whole image until this programming completes,
    // and a recovery that is interrupted leaves the mark for the next start.
    const bool partImage = isSet(flashIncomplete);
    reportUnfinishedProgramming(true);
    if (partImage) {
        logLine("The last programming did not finish: erasing before programming\r\n");
        if (!eraseFlash()) {
            logLine("Flash erase failed\r\n");
            modelOverride = -1;
            gcbn = kStandardChoice;
            return true;
        }
    }
    if (programFlash()) {
        reportUnfinishedProgramming(false);
        logLine("Reset device after a 5 second rest\r\n");
        sleepFor(5);
        if (!resetDevice())
            logLine("Reset device failed\r\n");
        sleepFor(2);
    } else {
        logLine("Program flash failed\r\n");
    }
    modelOverride = -1;
    gcbn = kStandardChoice;
    return true;
}

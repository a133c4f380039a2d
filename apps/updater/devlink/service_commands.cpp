#include "service_commands.h"

#include "app_exchange.h"
#include "device_info.h"
#include "frame_codec.h"

#include "platform/hid.h"
#include "platform/usb_devices.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kVersionReadTimeoutMs = 1000;
constexpr int kVersionReadCounts = 10;
constexpr size_t kFilteredLimit = 127;
constexpr size_t kDigitLimit = 44;

std::string modelOfCurrentDevice()
{
    DeviceInfo* device = appCallbacks.currentDevice.load();
    return device ? device->modelName : std::string();
}

// Keeps the characters a version answer is made of; a blank becomes the digit 0.
std::string filterVersionText(const char* text, size_t length)
{
    std::string filtered;
    for (size_t i = 0; i < length && text[i] != 0 && filtered.size() < kFilteredLimit; ++i) {
        const char c = text[i];
        if (c == ' ') {
            filtered += '0';
            continue;
        }
        const char upper = char(std::toupper(static_cast<unsigned char>(c)));
        const bool letter = upper != 0 && std::strchr("EINORSV", upper) != nullptr;
        if (c == '.' || c == ':' || (c >= '0' && c <= '9') || letter)
            filtered += c;
    }
    return filtered;
}

// Opens the running device for a menu command; when it is not there the operation ends and
// the window shows it as done.
platform::HidDevice* openForServiceCommand()
{
    logLine("Opening HID device\r\n");
    platform::HidDevice* device = openAppDevice();
    if (!device) {
        logLine("Failed to open HID device\r\n");
        reportStatus(1, nullptr, "");
    }
    return device;
}

} // namespace

bool parseNordicVersion(const char* text, size_t length, NordicVersion* out)
{
    const std::string filtered = filterVersionText(text, length);
    if (filtered.find("VERSION") == std::string::npos)
        return false;

    std::string main, third;
    int stops = 0;
    for (char c : filtered) {
        if (c == '.') {
            ++stops;
        } else if (c >= '0' && c <= '9') {
            if ((stops == 1 || stops == 2) && main.size() < kDigitLimit)
                main += c;
            else if (stops == 3 && third.size() < kDigitLimit)
                third += c;
        }
    }
    *out = NordicVersion{};
    if (stops != 3)
        return true;
    out->dotted = true;
    if (third.size() == 1)
        main += "00" + third;
    else if (third.size() == 2)
        main += "0" + third;
    else if (third.size() >= 3)
        main += third.substr(0, 3);
    // Up to 47 digits may stand here; a number that does not fit in 32 bits is no build this
    // updater knows, so it is kept at the largest value rather than wrapped into a wrong one.
    int64_t value = 0;
    for (char c : main) {
        if (value > (INT32_MAX - (c - '0')) / 10) {
            value = INT32_MAX;
            break;
        }
        value = value * 10 + (c - '0');
    }
    out->version = int32_t(value);
    out->digits = main;
    return true;
}

namespace {

// How long the running device may take to leave the bus after a command that restarts it
// (JUMP_TO_BL, FACTORY_RESET) and answers nothing: a protocol limit, real time, not scaled.
constexpr int kLeaveLimitMs = 10000;

// How many devices show the application face; -1 when the list cannot be taken.
int applicationsOnBus()
{
    std::vector<std::string> ids;
    if (!platform::usbDeviceService().presentHardwareIds(ids))
        return -1;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "VID_%04X&PID_%04X", unsigned(kAppVendorId), unsigned(kAppProductId));
    int count = 0;
    for (const std::string& id : ids)
        if (id.find(wanted) != std::string::npos)
            ++count;
    return count;
}

// Whether one of the before devices with the application face left the bus within the limit
// (another device of the same kind may stay attached). JUMP_TO_BL is not answered, so only
// its effect tells whether the device took it.
bool leftTheBus(int before)
{
    if (before <= 0)
        return true; // the device is not listed here (or no list): nothing to watch
    for (int waited = 0; waited < kLeaveLimitMs; waited += 50) {
        if (applicationsOnBus() < before)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return applicationsOnBus() < before;
}

} // namespace

bool updateFirmware(DeviceInfo&)
{
    logLine("updateFirmware\r\n");
    logLine("Opening HID device\r\n");
    platform::HidDevice* device = openAppDevice();
    if (!device) {
        logLine("Open HID device failed\r\n");
        return false;
    }
    const int before = applicationsOnBus();
    logLine("Sending command JUMP_TO_BL\r\n");
    sendCommand(JUMP_TO_BL, device);
    platform::hidService().close(device);
    platform::hidService().shutdown();
    char text[256];
    std::snprintf(text, sizeof text, "%s connected\nUpdating", modelOfCurrentDevice().c_str());
    reportStatus(0, text, nullptr);
    // Told before the wait: the bootloader may be back and at work before the wait ends.
    if (!leftTheBus(before)) {
        // The jump was not taken (no answer is expected, so only its effect tells): nothing
        // will come back in its bootloader, and waiting for it would wait for ever. The device
        // still runs its old firmware.
        logLine("The device did not leave for its bootloader\r\n");
        reportStatus(1, updateProblemText().c_str(), nullptr);
        return false;
    }
    logLine("OK, Waiting for bootloader\r\n");
    return true;
}

std::string updateProblemText()
{
    return "There was a problem updating your " + modelOfCurrentDevice()
        + ". Please try again or contact Tarvel technical support.";
}

bool factoryReset()
{
    reportStatus(0, nullptr, "Wait for Device to Reconnect\nPlease Wait...");
    platform::HidDevice* device = openForServiceCommand();
    if (!device)
        return false;
    logLine("Sending factory reset command\r\n");
    sendCommand(FACTORY_RESET, device);
    // It answers nothing and restarts: its handle fails once it has left the bus (it may be
    // back under the same identity at once, so its presence tells nothing). Still readable
    // after the limit, it did not take the command, and no return would ever follow.
    bool left = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLeaveLimitMs);
    while (!left && std::chrono::steady_clock::now() < end) {
        uint8_t report[kReplyBufferSize] = {};
        left = platform::hidService().read(device, report, kInputReportSize, 200) < 0;
    }
    platform::hidService().close(device);
    platform::hidService().shutdown();
    if (!left) {
        logLine("The device did not restart\r\n");
        return false;
    }
    return true;
}

bool eraseNordicKeys()
{
    platform::HidDevice* device = openForServiceCommand();
    if (!device)
        return false;
    logLine("Sending nordic erase keys command\r\n");
    sendCommand(NORDIC_ERASE_KEYS, device);
    NRFV = 0;

    // The device sends some reports and restarts. Listen until it has been silent for a run
    // of reads or is gone (a failed read); never spin on a failing read.
    int silent = 0;
    while (silent < kEraseKeysSilentReads) {
        uint8_t report[kReplyBufferSize] = {};
        const int got = platform::hidService().read(device, report, kInputReportSize, kVersionReadTimeoutMs);
        if (got < 0)
            break;
        if (got == 0) {
            ++silent;
            continue;
        }
        silent = 0;
        const size_t length = strnlen(reinterpret_cast<const char*>(report), size_t(got));
        std::string text(reinterpret_cast<const char*>(report), length);
        logLine(text.c_str());
    }
    platform::hidService().close(device);
    return true;
}

bool getNordicVersion()
{
    if (NRFV.load() > 0) {
        logLinef("Already have NRFV [%li]\r\n", long(NRFV.load()));
        return true;
    }
    if (isSet(nrfCheckBypass)) {
        logLine("ByPass Flag Set NRFV\r\n");
        return true;
    }
    platform::HidDevice* device = openAppDevice();
    if (!device)
        return false;
    sendCommand(NRF_GET_VERSION, device);
    logLine("Sending NRF_GET_VERSION command\r\n");
    NRFV = 0;

    bool found = false;
    for (int counter = 0; !found && counter < kVersionReadCounts;) {
        ++counter;
        uint8_t report[kReplyBufferSize] = {};
        const int got = platform::hidService().read(device, report, kInputReportSize, kVersionReadTimeoutMs);
        if (got < 1) {
            ++counter; // a silent device costs two counts per read
            continue;
        }
        NordicVersion answer;
        if (!parseNordicVersion(reinterpret_cast<const char*>(report), size_t(got), &answer))
            continue;
        logLine("NRF_GET_VERSION VERSION success\r\n");
        found = true;
        if (!answer.dotted)
            continue; // the answer counts, the version stays unknown
        NRFV = answer.version;
        logLinef("NRF [%s:%li] Clear ReverseUpgrade\r\n", answer.digits.c_str(), long(answer.version));
        reverseUpgrade = 0;
        if (NRFV.load() < 103007)
            logLine("NRF_GET_VERSION - REDACTED! REVERSE UPGRADE REQUIRED. \r\n");
    }
    platform::hidService().close(device);

    if (!found && appCallbacks.currentDevice.load()) {
        const int type = GNormDevID.load();
        if (type == 11 || type == 12) {
            nrfCheckBypass = 1;
            logLine("SPECIAL BUILD - SUMMIT SAMPLE CASE FORCE BYPASS NORDIC CHECK\r\n");
        } else {
            char text[256];
            std::snprintf(text, sizeof text, "%s\nError check version wireless firmware", modelOfCurrentDevice().c_str());
            reportStatus(1, text, nullptr);
        }
    }
    return found;
}

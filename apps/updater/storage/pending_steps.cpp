#include "pending_steps.h"

#include "backup.h"
#include "record_file.h"

#include "platform/files.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
PendingSteps g_earlierRun; // what the file held at start-up, until taken over

std::string stepsPath() { return localBackupFolder() + ".steps"; }

bool anyDue(const PendingSteps& steps) { return steps.resetDisk || steps.wireless || steps.languagePacks; }

// A type that is not a model this updater programs makes the whole record void.
int deviceTypeOf(const std::string& value)
{
    char* end = nullptr;
    const long type = std::strtol(value.c_str(), &end, 10);
    return !value.empty() && end && *end == '\0' && isFlashableType(int(type)) ? int(type) : 0;
}

PendingSteps readSteps()
{
    const std::map<std::string, std::string> record = readRecordFile(stepsPath());
    auto flag = [&record](const char* key) {
        const auto it = record.find(key);
        return it != record.end() && it->second == "1";
    };
    const auto type = record.find("type");
    PendingSteps steps;
    steps.deviceType = type == record.end() ? 0 : deviceTypeOf(type->second);
    if (steps.deviceType == 0)
        return {};
    steps.resetDisk = flag("reset-disk");
    steps.wireless = flag("wireless");
    steps.languagePacks = flag("language-packs");
    return steps;
}

bool writeSteps(const PendingSteps& steps)
{
    const std::string path = stepsPath();
    if (!anyDue(steps))
        return platform::deleteFile(path);
    const std::string text = "type=" + std::to_string(steps.deviceType) + "\nreset-disk=" + (steps.resetDisk ? "1" : "0")
        + "\nwireless=" + (steps.wireless ? "1" : "0") + "\nlanguage-packs=" + (steps.languagePacks ? "1" : "0") + "\n";
    if (replaceRecordFile(path, text))
        return true;
    logLinef("Could not keep the update's remaining steps at %s\r\n", path.c_str());
    return false;
}

} // namespace

bool rememberPendingSteps(int deviceType)
{
    PendingSteps steps;
    steps.deviceType = deviceType;
    steps.resetDisk = isSet(resetBeforeNordic);
    steps.wireless = isSet(reverseUpgrade);
    steps.languagePacks = isSet(languagePacksPending);
    if (!isFlashableType(deviceType))
        return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    return writeSteps(steps);
}

void forgetPendingSteps(int deviceType)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (readSteps().deviceType == deviceType)
        platform::deleteFile(stepsPath());
    if (g_earlierRun.deviceType == deviceType)
        g_earlierRun = {};
}

void loadPendingSteps()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_earlierRun = readSteps();
    if (anyDue(g_earlierRun))
        logLinef("An earlier run left its update of a %s unfinished:%s%s%s\r\n", modelName(g_earlierRun.deviceType),
            g_earlierRun.resetDisk ? " disk reset" : "", g_earlierRun.wireless ? " wireless update" : "",
            g_earlierRun.languagePacks ? " language packs" : "");
}

bool stepsOfEarlierRunDue(int deviceType)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_earlierRun.deviceType == deviceType && anyDue(g_earlierRun);
}

bool takeStepsOfEarlierRun(int deviceType, PendingSteps& steps)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_earlierRun.deviceType != deviceType || !anyDue(g_earlierRun))
        return false;
    steps = g_earlierRun;
    g_earlierRun = {};
    return true;
}

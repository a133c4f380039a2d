#include "pending_steps.h"

#include "backup.h"

#include "platform/file_trees.h"
#include "platform/files.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
PendingSteps g_earlierRun; // what the file held at start-up, until taken over

std::string stepsPath() { return localBackupFolder() + ".steps"; }

bool anyDue(const PendingSteps& steps) { return steps.resetDisk || steps.wireless || steps.languagePacks; }

PendingSteps readSteps()
{
    PendingSteps steps;
    std::ifstream in(stepsPath());
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "type") {
            char* end = nullptr;
            const long type = std::strtol(value.c_str(), &end, 10);
            steps.deviceType = end && *end == '\0' && isFlashableType(int(type)) ? int(type) : 0;
        } else if (key == "reset-disk") {
            steps.resetDisk = value == "1";
        } else if (key == "wireless") {
            steps.wireless = value == "1";
        } else if (key == "language-packs") {
            steps.languagePacks = value == "1";
        }
    }
    if (steps.deviceType == 0)
        return {};
    return steps;
}

bool writeSteps(const PendingSteps& steps)
{
    const std::string path = stepsPath();
    if (!anyDue(steps))
        return platform::deleteFile(path);
    const std::string text = "type=" + std::to_string(steps.deviceType) + "\nreset-disk=" + (steps.resetDisk ? "1" : "0")
        + "\nwireless=" + (steps.wireless ? "1" : "0") + "\nlanguage-packs=" + (steps.languagePacks ? "1" : "0") + "\n";
    const std::string fresh = path + ".new";
    platform::StagingFile file;
    const bool written = file.create(fresh)
        && file.write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) && file.close()
        && platform::replacePath(fresh, path);
    if (!written) {
        platform::deleteFile(fresh);
        logLinef("Could not keep the update's remaining steps at %s\r\n", path.c_str());
    }
    return written;
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

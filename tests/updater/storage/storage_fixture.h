#pragma once
// A device's drive and this computer's folders, all inside one temporary folder, with the
// time service's pauses recorded instead of slept.

#include "device_replies.h"
#include "platform/local_folders.h"
#include "fake_volumes.h"

#include "platform/clock.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "storage/gps_drive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

inline std::vector<long>& recordedPauses()
{
    static std::vector<long> pauses;
    return pauses;
}
inline void recordPause(platform::Milliseconds ms) { recordedPauses().push_back(long(ms.count())); }

inline void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSharedState();
        forgetGpsDrive();
        recordedPauses().clear();
        platform::setPauseHook(recordPause);
        platform::setDataHome(home.sub("data"));
        platform::setStateHome(home.sub("state"));
        setSleepCallback([](int seconds) { platform::pauseSeconds(seconds); });
    }
    void TearDown() override
    {
        setSleepCallback(nullptr);
        platform::setPauseHook(nullptr);
        forgetGpsDrive();
        resetSharedState();
    }
    // A removable FAT32 drive labelled like the device's, with a little rider's data.
    std::string addDeviceDrive(const std::string& name = "gps")
    {
        const std::string root = volumes.add(home, name, "TARVEL GPS", "FAT32", true);
        std::filesystem::create_directories(root + "Tarvel/Rides");
        writeText(root + "Tarvel/settings.txt", "units=km\n");
        writeText(root + "Tarvel/Rides/ride1.fit", std::string(5000, 'r'));
        gpsDrivePath.set(root);
        return root;
    }
    TempFolder home;
    FakeVolumes volumes;
    LogCapture log;
    StatusCapture status;
};

} // namespace testsupport

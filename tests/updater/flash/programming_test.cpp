// The programming sequence end to end: the updater's own steps over the framework and the
// virtual bus, against the simulated device in its bootloader faces.

#include "flash/firmware_catalog.h"
#include "flash/programming.h"

#include "device_replies.h"
#include "devlink/device_info.h"
#include "platform/clock.h"
#include "platform/virtual_bus.h"
#include "state/app_callbacks.h"
#include "state/flash_progress.h"
#include "state/shared_state.h"
#include "simulator.h"

#include "blfwk/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <unistd.h>

using namespace testsupport;

namespace {

void noPause(platform::Milliseconds) {}

std::string socketPath()
{
    static std::atomic<int> n{0};
    return "/tmp/tarvel-programming-" + std::to_string(getpid()) + "-" + std::to_string(n++) + ".sock";
}

class Programming : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSharedState();
        eraseCrashCount = 0;
        programCrashCount = 0;
        resetCrashCount = 0;
        platform::setPauseHook(noPause);
        installFlashProgressCounter();
    }
    void TearDown() override
    {
        if (sim)
            sim->stop();
        platform::selectVirtualBus("");
        platform::setPauseHook(nullptr);
        blfwk::FileLogger::setOutputFunction(nullptr);
        appCallbacks.currentDevice.store(nullptr);
        resetSharedState();
    }
    void startDevice(devsim::DeviceConfig config)
    {
        sim = std::make_unique<devsim::Simulator>(config);
        std::string error;
        ASSERT_TRUE(sim->start(socketPath(), &error)) << error;
        platform::selectVirtualBus(sim->socketPath());
    }
    // The device as the updater last read it before it jumped to its bootloader.
    void connectedAs(int type, int major, int minor)
    {
        record.deviceType = type;
        record.modelName = modelNames[size_t(type)];
        record.major = major;
        record.minor = minor;
        appCallbacks.currentDevice.store(&record);
    }
    // The simulated bootloader answers the next command with this tag with status.
    void refuseCommand(int tag, uint32_t statusCode)
    {
        devsim::Fault refuse;
        refuse.kind = devsim::FaultKind::CommandStatus;
        refuse.commandTag = tag;
        refuse.status = statusCode;
        sim->device().injectFault(refuse);
    }
    bool readBackApplication(DeviceInfo& info)
    {
        EXPECT_TRUE(sim->device().waitIdle(20000));
        return readDevice(info);
    }
    std::unique_ptr<devsim::Simulator> sim;
    DeviceInfo record;
    LogCapture log;
    StatusCapture status;
};

devsim::DeviceConfig bootloaderDevice(int model, bool japanese = false)
{
    devsim::DeviceConfig config;
    config.model = model;
    config.japanese = japanese;
    config.face = devsim::Face::FlashBootloader;
    return config;
}

TEST_F(Programming, NormalPathLeavesTheDeviceRunningTheNewImage)
{
    devsim::DeviceConfig config = bootloaderDevice(11);
    config.major = 7;
    config.minor = 63;
    // An old application that reaches past 0x76000 bytes: the erase must cover the new image.
    config.applicationLength = 0x8B000;
    startDevice(config);
    connectedAs(11, 7, 63);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(onBootloaderMode(11, 0x2B29)) << log.text();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    RecordProperty("programming_seconds", std::to_string(seconds));

    EXPECT_TRUE(status.hasMessage("Summit GPS connected\nErasing"));
    EXPECT_TRUE(status.hasMessage("Summit GPS connected\nProgramming GPS Firmware"));
    EXPECT_TRUE(status.hasDetail("Updating drivers\n70% done"));
    EXPECT_TRUE(status.hasDetail("Step 2 of 3\nStarted"));
    EXPECT_TRUE(status.hasDetail("Step 3 of 3\nStarted"));
    // The progress counter counts the framework's byte traces of the write.
    EXPECT_TRUE(status.hasDetail("Step 3 of 3\n25% done"));
    EXPECT_TRUE(status.hasDetail("Step 3 of 3\n75% done"));
    EXPECT_TRUE(status.hasDetail("Almost done"));
    const auto last = status.calls().back();
    EXPECT_EQ(last.isComplete, 1);
    EXPECT_EQ(last.message, "Summit GPS Flashing success");
    EXPECT_FALSE(isSet(ADF));
    EXPECT_TRUE(log.contains("Set AD Flag true\r\n"));
    EXPECT_TRUE(log.contains("\n-- Flash AA m:11 gcbn:0 lv:0 --\r\n"));
    EXPECT_EQ(eraseLengthFor(570480), 0x8C000u);

    DeviceInfo after;
    ASSERT_TRUE(readBackApplication(after));
    EXPECT_EQ(after.deviceType, 11);
    EXPECT_EQ(after.major, 14);
    EXPECT_EQ(after.minor, 51);
}

TEST_F(Programming, JapaneseBuildFromTheBootloadersProductId)
{
    startDevice(bootloaderDevice(11, true));
    gcbn = 60; // no connected device: the product id (71) names the model
    ASSERT_TRUE(onBootloaderMode(71, 0x2B29)) << log.text();
    EXPECT_TRUE(status.hasMessage("Emergency mode"));
    EXPECT_TRUE(status.hasMessage("Emergency Mode\nUsing product id from bootloader"));
    EXPECT_TRUE(log.contains("\n-- Flash AA m:11 gcbn:60 lv:60 --\r\n"));
    DeviceInfo after;
    ASSERT_TRUE(readBackApplication(after));
    EXPECT_EQ(after.rawId, 71);
    EXPECT_EQ(after.dlv, 60);
    EXPECT_EQ(after.major, 14);
}

TEST_F(Programming, ReverseUpgradeTexts)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    reverseUpgrade = 1;
    ASSERT_TRUE(onBootloaderMode(5, 0x2B29));
    EXPECT_TRUE(status.hasDetail("Flashing Started"));
    EXPECT_FALSE(status.hasDetail("Step 3 of 3\nStarted"));
    EXPECT_TRUE(status.hasMessage("Ridge GPS WAIT"));
    EXPECT_TRUE(status.hasDetail("Not Done Yet"));
    EXPECT_FALSE(log.contains("Set AD Flag true"));
}

TEST_F(Programming, EmergencyPathThroughTheRomBootloader)
{
    devsim::DeviceConfig config = bootloaderDevice(13);
    config.face = devsim::Face::Rom;
    config.applicationLength = 0; // nothing valid in flash: that is why it shows its ROM face
    startDevice(config);
    DeviceInfo chosen;
    EXPECT_TRUE(onEmergencyProgramFlashMode(chosen, 13, 60));
    EXPECT_EQ(chosen.deviceType, 13);
    EXPECT_EQ(chosen.rawId, 73);
    EXPECT_EQ(chosen.modelName, "Peak Pro");
    EXPECT_EQ(chosen.catalogRow[0], 14);
    EXPECT_EQ(modelOverride.load(), -1);
    EXPECT_EQ(gcbn.load(), -99);
    EXPECT_TRUE(log.contains("onEmergencyProgramFlashMode DeviceTypeToFlash [13] Variant [60]\r\n"));
    EXPECT_TRUE(log.contains("Using device type override\r\n"));
    EXPECT_FALSE(log.contains("flash-erase")); // no erase on this path
    DeviceInfo after;
    ASSERT_TRUE(readBackApplication(after));
    EXPECT_EQ(after.deviceType, 13);
    EXPECT_EQ(after.dlv, 60);
    EXPECT_EQ(after.major, 14);
}

TEST_F(Programming, ABootloaderThatRefusesTheWriteIsNoSuccess)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    refuseCommand(0x04, 10202); // write-memory: memory write failed
    EXPECT_FALSE(onBootloaderMode(5, 0x2B29));
    EXPECT_FALSE(status.hasMessage("Ridge GPS Flashing success"));
    EXPECT_TRUE(status.hasMessage("Program device failed"));
    EXPECT_TRUE(status.hasMessage(
        "There was a problem updating your Ridge GPS. Please try again or contact Tarvel technical support."));
    EXPECT_EQ(programCrashCount.load(), 0); // refused, not retried
}

TEST_F(Programming, AnEraseFailureStatusStillGoesOnToTheWrite)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    refuseCommand(0x02, 105); // flash-erase-region: flash command failure
    onBootloaderMode(5, 0x2B29);
    EXPECT_TRUE(log.contains("Programming flash\r\n"));
    EXPECT_TRUE(log.contains("Sending bootloader program command\r\n"));
    // The old application was not erased, so the write is refused in its turn.
    EXPECT_FALSE(status.hasMessage("Ridge GPS Flashing success"));
}

TEST_F(Programming, TenFailedErasesAndTheCountersKeptForTheRun)
{
    startDevice(bootloaderDevice(5));
    sim->device().unplug(); // the bootloader never opens
    connectedAs(5, 7, 9);
    EXPECT_FALSE(onBootloaderMode(5, 0x2B29));
    EXPECT_EQ(eraseCrashCount.load(), 10);
    EXPECT_EQ(log.count("Erase Crash - retrying\n\r"), 9u);
    EXPECT_TRUE(status.hasMessage("Failed to erase flash"));
    EXPECT_FALSE(log.contains("Programming flash\r\n"));

    // A later run in the same process fails on its first failed attempt.
    EXPECT_FALSE(eraseFlash());
    EXPECT_EQ(eraseCrashCount.load(), 11);
    EXPECT_EQ(log.count("Erase Crash - retrying\n\r"), 9u);

    eraseCrashCount = 8;
    programCrashCount = 0;
    resetCrashCount = 0;
    EXPECT_FALSE(resetDevice());
    EXPECT_EQ(resetCrashCount.load(), 5);
    EXPECT_TRUE(status.hasMessage("Failed to reset device"));
    EXPECT_FALSE(programFlash());
    EXPECT_EQ(programCrashCount.load(), 10);
    EXPECT_TRUE(status.hasMessage("Program device failed"));
}

TEST_F(Programming, NoImageForTheTypeFailsWithoutRetry)
{
    startDevice(bootloaderDevice(5));
    modelOverride = 3;
    EXPECT_FALSE(programFlash());
    EXPECT_TRUE(log.contains("Invalid device type\r\n"));
    EXPECT_EQ(programCrashCount.load(), 0);
    EXPECT_EQ(eraseLengthFor(0), 0x76000u);
    EXPECT_EQ(eraseLengthFor(0x76001), 0x77000u);
}

} // namespace

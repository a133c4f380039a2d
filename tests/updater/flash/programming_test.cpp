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
#include "loopback_bus.h"
#include "simulator.h"

#include "blfwk/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

using namespace testsupport;

namespace {

void noPause(platform::Milliseconds) {}

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
        verifyAfterWrite = 1;
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
        ASSERT_TRUE(testsupport::serveOnLoopback(*sim, &error)) << error;
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
    // The device stores the byte at offset of its writes wrongly: on the next write, or on
    // every one.
    void corruptWrites(uint32_t offset, bool always)
    {
        devsim::Fault corrupt;
        corrupt.kind = devsim::FaultKind::CorruptWrite;
        corrupt.offset = offset;
        corrupt.always = always;
        sim->device().injectFault(corrupt);
    }
    // Whether the application region holds exactly the image carried for the model.
    bool flashHoldsCarriedImage(int model, bool japanese = false)
    {
        FirmwareImage image;
        if (!selectFirmwareImage(model, japanese ? 60 : 0, &image))
            return false;
        std::vector<uint8_t> carried(static_cast<size_t>(kImageBufferSize));
        const int length = decodeLz4Block(image.data, image.compressedSize, carried.data(), int(carried.size()));
        const std::vector<uint8_t> flash = sim->device().flashContents();
        return length > 0 && flash.size() >= kApplicationAddress + size_t(length)
            && std::equal(carried.begin(), carried.begin() + length, flash.begin() + kApplicationAddress);
    }
    // Where part first appears in the log (npos when never).
    size_t logged(const std::string& part) { return log.text().find(part); }
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

// ---- the read-back before the reset

TEST_F(Programming, AWriteStoredWronglyOnceIsErasedWrittenAgainAndVerified)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    corruptWrites(0x1234, false);
    ASSERT_TRUE(onBootloaderMode(5, 0x2B29)) << log.text();

    EXPECT_TRUE(log.contains("Read-back differs from the image: first at 0xb234, 1 bytes differ\r\n"));
    EXPECT_TRUE(status.hasMessage("Written firmware did not verify"));
    EXPECT_TRUE(status.hasDetail("Verifying...Do not unplug"));
    EXPECT_EQ(programCrashCount.load(), 1); // counted as a failed write
    EXPECT_EQ(log.count("Sending bootloader program command\r\n"), 2u);
    EXPECT_EQ(sim->device().state()["erase_count"].asInt(), 2);
    // The order: the mismatch, the erase, the second write, its match, and only then the reset.
    const size_t differs = logged("Read-back differs");
    const size_t again = logged("Verify failed - erasing and programming again\r\n");
    const size_t matches = logged("Read-back matches the image");
    const size_t reset = logged("Sending bootloader reset device\r\n");
    ASSERT_NE(matches, std::string::npos);
    ASSERT_NE(reset, std::string::npos);
    EXPECT_LT(differs, again);
    EXPECT_LT(again, log.text().find("Sending bootloader program command\r\n", again));
    EXPECT_LT(matches, reset);
    EXPECT_EQ(log.text().find("Sending bootloader reset device", 0), reset); // one reset
    EXPECT_EQ(status.calls().back().message, "Ridge GPS Flashing success");
    EXPECT_FALSE(isSet(flashIncomplete));
    EXPECT_TRUE(flashHoldsCarriedImage(5));
}

TEST_F(Programming, AWriteStoredWronglyEveryTimeEndsAtTheLimitInTheBootloader)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    corruptWrites(0x40, true);
    programCrashCount = kProgramAttempts - 4; // four attempts left, to keep the test short
    EXPECT_FALSE(onBootloaderMode(5, 0x2B29));

    EXPECT_EQ(programCrashCount.load(), kProgramAttempts);
    EXPECT_EQ(log.count("Sending bootloader program command\r\n"), 4u);
    EXPECT_EQ(log.count("Read-back differs from the image: first at 0xa040, 1 bytes differ\r\n"), 4u);
    EXPECT_EQ(log.count("Verify failed - erasing and programming again\r\n"), 3u);
    EXPECT_TRUE(log.contains("retry limit reached"));
    EXPECT_TRUE(status.hasMessage("Program device failed"));
    EXPECT_TRUE(status.hasDetail("The written firmware did not verify"));
    EXPECT_EQ(status.calls().back().message,
        "There was a problem updating your Ridge GPS. Please try again or contact Tarvel technical support.");
    EXPECT_FALSE(status.hasMessage("Ridge GPS Flashing success"));
    EXPECT_FALSE(log.contains("Sending bootloader reset device"));
    EXPECT_TRUE(isSet(flashIncomplete));
    // Recoverable: it stays in its bootloader, and a later run without the fault programs it.
    const Json::Value state = sim->device().state();
    EXPECT_TRUE(state["present"].asBool());
    EXPECT_EQ(state["face"].asString(), "bootloader");
    sim->device().clearFaults();
    programCrashCount = 0;
    ASSERT_TRUE(onBootloaderMode(5, 0x2B29)) << log.text();
    EXPECT_TRUE(flashHoldsCarriedImage(5));
    EXPECT_FALSE(isSet(flashIncomplete));
}

TEST_F(Programming, AMismatchAfterEarlierFailedWritesUsesUpTheSameLimit)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    programCrashCount = kProgramAttempts - 1; // nine failed writes earlier in the run
    corruptWrites(0, false);
    EXPECT_FALSE(onBootloaderMode(5, 0x2B29));
    EXPECT_EQ(log.count("Sending bootloader program command\r\n"), 1u);
    EXPECT_TRUE(log.contains("Read-back differs from the image: first at 0xa000, 1 bytes differ\r\n"));
    EXPECT_TRUE(status.hasMessage("Program device failed"));
    EXPECT_FALSE(log.contains("Sending bootloader reset device"));
}

TEST_F(Programming, ADeviceThatWillNotBeReadBackIsTrustedAsBefore)
{
    for (uint32_t refusal : { 104u, 10200u, 10000u }) { // protected, out of range, not carried out
        SCOPED_TRACE(refusal);
        startDevice(bootloaderDevice(5));
        connectedAs(5, 7, 9);
        refuseCommand(0x03, refusal);
        ASSERT_TRUE(onBootloaderMode(5, 0x2B29)) << log.text();
        EXPECT_TRUE(log.contains("The device did not read back its firmware (status " + std::to_string(refusal)
            + ", 0 of 459600 bytes): not verified\r\n"));
        EXPECT_FALSE(log.contains("Read-back differs"));
        EXPECT_EQ(programCrashCount.load(), 0);
        EXPECT_EQ(status.calls().back().message, "Ridge GPS Flashing success");
        EXPECT_FALSE(isSet(flashIncomplete));
        sim->stop();
        sim.reset();
    }
}

TEST_F(Programming, ASilentReadBackEndsInItsTimeLimitAndTheRunGoesOn)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    devsim::Fault silent;
    silent.kind = devsim::FaultKind::Silence;
    silent.skip = 2; // the erase and the write are answered; the read-back is not
    sim->device().injectFault(silent);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(onBootloaderMode(5, 0x2B29)) << log.text();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(log.contains("The device did not read back its firmware (status 10004, 0 of 459600 bytes)"));
    EXPECT_EQ(status.calls().back().message, "Ridge GPS Flashing success");
    EXPECT_TRUE(flashHoldsCarriedImage(5));
}

TEST_F(Programming, WithoutVerificationTheWriteIsTrustedUnread)
{
    startDevice(bootloaderDevice(5));
    connectedAs(5, 7, 9);
    verifyAfterWrite = 0;
    corruptWrites(0x1234, false);
    ASSERT_TRUE(onBootloaderMode(5, 0x2B29));
    EXPECT_TRUE(log.contains("Read-back of the written firmware skipped\r\n"));
    EXPECT_FALSE(log.contains("Reading back"));
    EXPECT_FALSE(status.hasDetail("Verifying...Do not unplug"));
    // What the read-back is there for: the wrong byte went unnoticed.
    EXPECT_FALSE(flashHoldsCarriedImage(5));
}

TEST_F(Programming, TheRecoveryPathVerifiesAndErasesBeforeWritingAgain)
{
    devsim::DeviceConfig config = bootloaderDevice(13);
    config.face = devsim::Face::Rom;
    config.applicationLength = 0;
    startDevice(config);
    corruptWrites(0x2000, false);
    DeviceInfo chosen;
    EXPECT_TRUE(onEmergencyProgramFlashMode(chosen, 13, 0));
    EXPECT_TRUE(log.contains("Read-back differs from the image: first at 0xc000, 1 bytes differ\r\n"));
    // Flash takes a write only where it is erased: the second write needs the erase.
    EXPECT_EQ(sim->device().state()["erase_count"].asInt(), 1);
    EXPECT_EQ(log.count("Sending bootloader program command\r\n"), 2u);
    EXPECT_FALSE(log.contains("Program device failed"));
    EXPECT_LT(logged("Read-back matches the image"), logged("Sending bootloader reset device\r\n"));
    EXPECT_TRUE(flashHoldsCarriedImage(13));
    EXPECT_FALSE(isSet(flashIncomplete));
    DeviceInfo after;
    ASSERT_TRUE(readBackApplication(after));
    EXPECT_EQ(after.deviceType, 13);
    EXPECT_EQ(after.major, 14);
}

TEST_F(Programming, TheRecoveryPathStaysInTheRomBootloaderWhenNoWriteVerifies)
{
    devsim::DeviceConfig config = bootloaderDevice(13);
    config.face = devsim::Face::Rom;
    config.applicationLength = 0;
    startDevice(config);
    corruptWrites(0x2000, true);
    programCrashCount = kProgramAttempts - 2; // two attempts left
    DeviceInfo chosen;
    EXPECT_TRUE(onEmergencyProgramFlashMode(chosen, 13, 0)); // this path always answers true
    EXPECT_EQ(log.count("Read-back differs from the image"), 2u);
    EXPECT_TRUE(log.contains("Program flash failed\r\n"));
    EXPECT_TRUE(status.hasMessage("Program device failed"));
    EXPECT_FALSE(log.contains("Sending bootloader reset device"));
    EXPECT_TRUE(isSet(flashIncomplete));
    EXPECT_EQ(sim->device().state()["face"].asString(), "rom");
    EXPECT_EQ(modelOverride.load(), -1);
}

} // namespace

#include "devlink/device_info.h"

#include "device_replies.h"
#include "platform/clock.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace testsupport;

namespace {

void noPause(platform::Milliseconds) {}

class ReadDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSharedState();
        platform::setPauseHook(noPause);
    }
    void TearDown() override
    {
        platform::setPauseHook(nullptr);
        resetSharedState();
    }
    bool read(uint8_t rawId, uint8_t major, uint8_t minor)
    {
        hid.queueReport(deviceInfoReport(rawId, major, minor));
        return readDevice(record);
    }
    ScriptedHid hid;
    DeviceInfo record;
    LogCapture log;
};

// Workers read the shared record while the window thread reads the device again on each of
// its arrivals: a re-read of the same device must not free or rewrite what they may be reading.
TEST_F(ReadDevice, ReadingTheSameDeviceAgainRewritesNothing)
{
    ASSERT_TRUE(read(0x0B, 7, 63));
    const char* name = record.modelName.c_str();
    const char* connected = record.connectedText.c_str();
    const char* confirm = record.confirmText.c_str();
    ASSERT_TRUE(read(0x0B, 7, 63));
    EXPECT_EQ(record.modelName.c_str(), name);
    EXPECT_EQ(record.connectedText.c_str(), connected);
    EXPECT_EQ(record.confirmText.c_str(), confirm);
    EXPECT_EQ(appCallbacks.currentDevice.load(), &record);
    // A changed version is taken.
    NRFV = 1333026;
    ASSERT_TRUE(read(0x0B, 14, 51));
    EXPECT_EQ(record.connectedText, "Summit GPS connected\nVer: 14.51-1333026\n");
    EXPECT_EQ(record.infoMessage, "Latest software is installed on device");
    EXPECT_EQ(record.updateButtonText, "");
}

TEST_F(ReadDevice, StandardModelOfferingTheCarriedVersion)
{
    ASSERT_TRUE(read(0x0B, 7, 63));
    EXPECT_EQ(record.deviceType, 11);
    EXPECT_EQ(record.rawId, 11);
    EXPECT_EQ(record.dlv, 0);
    EXPECT_EQ(gcbn.load(), 0);
    EXPECT_EQ(GNormDevID.load(), 11);
    EXPECT_EQ(targetNrfVersion.load(), 1333026);
    EXPECT_EQ(record.modelName, "Summit GPS");
    EXPECT_EQ(record.connectedText, "Summit GPS connected\nVer: 7.63\n");
    EXPECT_EQ(record.updateButtonText, "Update to 14.51");
    EXPECT_EQ(record.confirmText, "Please do not unplug your device.  This will take a few minutes.");
    EXPECT_EQ(record.confirmOkLabel, "Update");
    EXPECT_EQ(record.confirmCancelLabel, "Cancel");
    EXPECT_EQ(record.infoByte4, 0x11);
    EXPECT_EQ(record.infoByte5, 0x22);
    EXPECT_EQ(record.catalogRow[0], 14);
    EXPECT_EQ(record.catalogRow[2], 13);
    EXPECT_EQ(appCallbacks.currentDevice.load(), &record);
    EXPECT_TRUE(log.contains("\nSending READ_DEVICE_INFO\r\n"));
    EXPECT_TRUE(log.contains("\nDEVICE_ID RAW [11] NORM[11] U[1333026]\r\n"));
    ASSERT_EQ(hid.writes.size(), 1u);
    EXPECT_EQ(hid.writes[0][2], 0x06);
}

TEST_F(ReadDevice, JapaneseIdentities)
{
    ASSERT_TRUE(read(0x47, 14, 51));
    EXPECT_EQ(record.deviceType, 11);
    EXPECT_EQ(gcbn.load(), 60);
    EXPECT_EQ(record.dlv, 60);
    EXPECT_EQ(record.connectedText, "Summit GPS connected\nVer: 14.51\nJapanese");

    gcbn = 0;
    ASSERT_TRUE(read(0x4C, 14, 31));
    EXPECT_EQ(record.deviceType, 16);
    EXPECT_EQ(gcbn.load(), 60);
    EXPECT_EQ(record.dlv, 0); // the Japanese range of the record ends at 75

    ASSERT_TRUE(read(0x3C, 1, 0));
    EXPECT_EQ(record.deviceType, 0);
    EXPECT_EQ(record.infoMessage.rfind("This updater will not work for your device.", 0), 0u);
    EXPECT_TRUE(record.updateButtonText.empty());
}

TEST_F(ReadDevice, InvalidIdentitiesAreRefused)
{
    for (uint8_t raw : {uint8_t(0x7E), uint8_t(0x11), uint8_t(0x85)}) {
        EXPECT_FALSE(read(raw, 7, 63)) << int(raw);
        EXPECT_EQ(GRawDevID.load(), int8_t(raw));
    }
    EXPECT_EQ(log.count("Invalid GPS model\r\n"), 3u);
    EXPECT_EQ(appCallbacks.currentDevice.load(), nullptr);
}

TEST_F(ReadDevice, UpToDateNeedsTheWirelessBuildToo)
{
    NRFV = 1031039;
    ASSERT_TRUE(read(5, 7, 63));
    EXPECT_EQ(record.infoMessage, "Latest software is installed on device");
    EXPECT_TRUE(record.updateButtonText.empty());
    EXPECT_EQ(record.connectedText, "Ridge GPS connected\nVer: 7.63-1031039\n");
    EXPECT_TRUE(isSet(versionMatches));
    EXPECT_TRUE(isSet(nrfMatches));

    DeviceInfo fresh;
    fresh.infoMessage = "kept";
    fresh.updateButtonText = "kept too";
    NRFV = 0;
    hid.queueReport(deviceInfoReport(5, 7, 63));
    ASSERT_TRUE(readDevice(fresh));
    EXPECT_TRUE(isSet(versionMatches));
    EXPECT_FALSE(isSet(nrfMatches));
    EXPECT_EQ(fresh.infoMessage, "kept");
    EXPECT_EQ(fresh.updateButtonText, "kept too");

    updateActive = 1;
    hid.queueReport(deviceInfoReport(5, 7, 63));
    ASSERT_TRUE(readDevice(fresh));
    EXPECT_EQ(fresh.infoMessage, "Programming Please Wait...");
    EXPECT_TRUE(fresh.updateButtonText.empty());
}

TEST_F(ReadDevice, OlderAndNewerDeviceFirmware)
{
    ASSERT_TRUE(read(5, 7, 9));
    EXPECT_EQ(record.updateButtonText, "Update to 7.63");
    EXPECT_EQ(record.connectedText, "Ridge GPS connected\nVer: 7.09\n");
    EXPECT_FALSE(isSet(nrfCheckBypass));

    ASSERT_TRUE(read(5, 1, 60));
    EXPECT_TRUE(isSet(nrfCheckBypass));
    EXPECT_TRUE(log.contains("Rev ONE-SIXTY bypass nordic version check\r\n"));
    ASSERT_TRUE(read(5, 2, 67));
    EXPECT_FALSE(isSet(nrfCheckBypass));
    ASSERT_TRUE(read(5, 0, 5));
    EXPECT_TRUE(log.contains("Rev ZERO bypass nordic version check\r\n"));

    ASSERT_TRUE(read(5, 8, 1));
    EXPECT_EQ(record.confirmText,
              "This updater contains older software than your device, are you sure you want to use old software?");
    ASSERT_TRUE(read(15, 13, 20)); // same major, newer minor than the 13.12 carried
    EXPECT_EQ(record.updateButtonText, "Update to 13.12");
    EXPECT_EQ(record.confirmText.rfind("This updater contains older software", 0), 0u);
}

TEST_F(ReadDevice, WirelessBuildInTheConnectedText)
{
    NRFV = 1333026;
    ASSERT_TRUE(read(5, 7, 5));
    EXPECT_EQ(record.connectedText, "Ridge GPS connected\nVer: 7.05-1333026\n");
    ASSERT_TRUE(read(5 + 60, 7, 5));
    EXPECT_EQ(record.connectedText, "Ridge GPS connected\nVer: 7.5-1333026\nJapanese");
}

TEST_F(ReadDevice, SilentDeviceOrNoDeviceLeavesEverythingUntouched)
{
    hid.queueSilence(3);
    EXPECT_FALSE(readDevice(record));
    EXPECT_EQ(GRawDevID.load(), 99);
    hid.openSucceeds = false;
    EXPECT_FALSE(readDevice(record));
    EXPECT_EQ(GNormDevID.load(), 99);
    EXPECT_EQ(appCallbacks.currentDevice.load(), nullptr);
}

TEST_F(ReadDevice, ExchangeErrorIsRetriedOnceAfterASecond)
{
    static std::vector<long> pauses;
    pauses.clear();
    platform::setPauseHook([](platform::Milliseconds ms) { pauses.push_back(long(ms.count())); });
    setSleepCallback([](int seconds) { platform::pauseSeconds(seconds); });
    int failures = 1;
    hid.onWrite = [&](const Bytes&) {
        if (failures-- > 0)
            throw std::runtime_error("link broke");
        hid.queueReport(deviceInfoReport(9, 7, 63));
    };
    EXPECT_TRUE(readDevice(record));
    EXPECT_EQ(record.deviceType, 9);
    EXPECT_EQ(pauses, (std::vector<long>{1000}));

    failures = 2; // both attempts fail: a failed read, not a crash
    EXPECT_FALSE(readDevice(record));
    EXPECT_EQ(readDeviceCrashCount.load(), 0);
    setSleepCallback(nullptr);
}

TEST_F(ReadDevice, CrashesAreRetriedTwicePerRun)
{
    static int throwsLeft = 0;
    appCallbacks.status.store([](int, const char*, const char*) {
        if (throwsLeft > 0) {
            --throwsLeft;
            throw std::runtime_error("window gone");
        }
    });
    readDeviceCrashCount = 0;
    throwsLeft = 1;
    hid.queueReport(deviceInfoReport(9, 7, 63));
    EXPECT_TRUE(readDevice(record));
    EXPECT_EQ(log.count("readDevice Crash - retrying\n\r"), 1u);

    throwsLeft = 5; // the counter is never reset: one more retry, then it gives up
    hid.queueReport(deviceInfoReport(9, 7, 63));
    EXPECT_FALSE(readDevice(record));
    EXPECT_EQ(log.count("readDevice Crash - retrying\n\r"), 2u);
    EXPECT_EQ(readDeviceCrashCount.load(), 3);
    appCallbacks.status.store(nullptr);
}

} // namespace

#include "devlink/device_info.h"
#include "devlink/service_commands.h"

#include "device_replies.h"
#include "platform/clock.h"
#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

void noPause(platform::Milliseconds) {}

class ServiceCommands : public ::testing::Test {
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
    ScriptedHid hid;
    LogCapture log;
    StatusCapture status;
};

struct ParseCase {
    const char* text;
    bool dotted;
    int32_t version;
    const char* digits;
};

TEST(NordicVersionParse, ExamplesOfTheDevice)
{
    const ParseCase cases[] = {
        {"NRF VERSION: 1.10.3.7", true, 103007, "103007"},
        {"VERSION 2.13.33.26", true, 1333026, "1333026"},
        {"VERSION 1.9.2.5", true, 92005, "92005"},
        {"VERSION 1.10.31.39", true, 1031039, "1031039"},
        {"VERSION 1.10.31.391234", true, 1031391, "1031391"}, // third part cut to three digits
        {"VERSION 1.10.3.", true, 103, "103"},                 // no third part adds nothing
        {"VERSION 1.10.3.7.9", false, 0, ""},                  // four full stops
        {"VERSION 1.10", false, 0, ""},
    };
    for (const auto& c : cases) {
        NordicVersion v;
        ASSERT_TRUE(parseNordicVersion(c.text, strlen(c.text), &v)) << c.text;
        EXPECT_EQ(v.dotted, c.dotted) << c.text;
        EXPECT_EQ(v.version, c.version) << c.text;
        EXPECT_EQ(v.digits, c.digits) << c.text;
    }
    NordicVersion v;
    EXPECT_FALSE(parseNordicVersion("NRF 1.10.3.7", 12, &v));
    EXPECT_FALSE(parseNordicVersion("version 1.2.3.4", 15, &v)); // letters keep their case
    EXPECT_FALSE(parseNordicVersion("VER\0SION 1.2.3.4", 16, &v)); // the text ends at the zero byte
}

TEST(NordicVersionParse, LongDigitRunsDoNotOverflow)
{
    // 44 digits in the main part (the most it keeps) and a third part: 47 digits in all.
    const std::string text = "VERSION 1." + std::string(30, '9') + "." + std::string(20, '8') + ".7";
    NordicVersion v;
    ASSERT_TRUE(parseNordicVersion(text.c_str(), text.size(), &v));
    EXPECT_TRUE(v.dotted);
    EXPECT_GT(v.version, 0); // never wrapped into a small or negative build
    EXPECT_EQ(v.version, INT32_MAX);
}

TEST_F(ServiceCommands, WirelessVersionIsReadAndCached)
{
    reverseUpgrade = 1;
    hid.queueReport(textReport("boot"));
    hid.queueReport(rawTextReport("NRF VERSION: 2.13.33.26"));
    ASSERT_TRUE(getNordicVersion());
    EXPECT_EQ(NRFV.load(), 1333026);
    EXPECT_FALSE(isSet(reverseUpgrade));
    EXPECT_TRUE(log.contains("Sending NRF_GET_VERSION command\r\n"));
    EXPECT_TRUE(log.contains("NRF_GET_VERSION VERSION success\r\n"));
    EXPECT_TRUE(log.contains("NRF [1333026:1333026] Clear ReverseUpgrade\r\n"));
    EXPECT_FALSE(log.contains("REVERSE UPGRADE REQUIRED"));
    ASSERT_EQ(hid.writes.size(), 1u);
    EXPECT_EQ(hid.writes[0][2], 0x3A);
    EXPECT_EQ(hid.closes, 1);
    for (int t : hid.readTimeouts)
        EXPECT_EQ(t, 1000);

    const size_t writes = hid.writes.size();
    ASSERT_TRUE(getNordicVersion()); // served from the cache: no traffic
    EXPECT_EQ(hid.writes.size(), writes);
    EXPECT_TRUE(log.contains("Already have NRFV [1333026]\r\n"));
}

TEST_F(ServiceCommands, OldWirelessBuildAsksForReverseUpgrade)
{
    hid.queueReport(rawTextReport("VERSION 1.9.2.5"));
    ASSERT_TRUE(getNordicVersion());
    EXPECT_EQ(NRFV.load(), 92005);
    EXPECT_TRUE(log.contains("NRF_GET_VERSION - REDACTED! REVERSE UPGRADE REQUIRED. \r\n"));
}

TEST_F(ServiceCommands, UndottedAnswerCountsButLeavesTheVersionUnknown)
{
    reverseUpgrade = 1;
    hid.queueReport(rawTextReport("VERSION 1.10.3.7.9"));
    ASSERT_TRUE(getNordicVersion());
    EXPECT_EQ(NRFV.load(), 0);
    EXPECT_TRUE(isSet(reverseUpgrade));
    EXPECT_FALSE(log.contains("Clear ReverseUpgrade"));
}

TEST_F(ServiceCommands, SilentSummitIsBypassedOthersShowAnError)
{
    DeviceInfo record;
    record.modelName = "Summit Color";
    appCallbacks.currentDevice.store(&record);
    GNormDevID = 12;
    EXPECT_FALSE(getNordicVersion());
    EXPECT_EQ(hid.reads, 5); // each silent read costs two counts
    EXPECT_TRUE(isSet(nrfCheckBypass));
    EXPECT_TRUE(log.contains("SPECIAL BUILD - SUMMIT SAMPLE CASE FORCE BYPASS NORDIC CHECK\r\n"));
    ASSERT_TRUE(getNordicVersion()); // bypassed from now on
    EXPECT_TRUE(log.contains("ByPass Flag Set NRFV\r\n"));

    nrfCheckBypass = 0;
    GNormDevID = 5;
    record.modelName = "Ridge GPS";
    for (int i = 0; i < 10; ++i)
        hid.queueReport(textReport("not a version"));
    EXPECT_FALSE(getNordicVersion());
    EXPECT_FALSE(isSet(nrfCheckBypass));
    EXPECT_TRUE(status.hasMessage("Ridge GPS\nError check version wireless firmware"));
    hid.openSucceeds = false;
    EXPECT_FALSE(getNordicVersion());
}

TEST_F(ServiceCommands, JumpToBootloader)
{
    DeviceInfo record;
    record.deviceType = 5;
    record.modelName = "Ridge GPS";
    appCallbacks.currentDevice.store(&record);
    ASSERT_TRUE(updateFirmware(record));
    ASSERT_EQ(hid.writes.size(), 1u);
    const Bytes expected{0x00, 0x01, 0x09, 0x29, 0x91, 0x04};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), hid.writes[0].begin()));
    EXPECT_EQ(hid.reads, 0);
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(hid.shutdowns, 1);
    EXPECT_TRUE(status.hasMessage("Ridge GPS connected\nUpdating"));
    EXPECT_TRUE(log.contains("updateFirmware\r\n"));
    EXPECT_TRUE(log.contains("OK, Waiting for bootloader\r\n"));

    hid.openSucceeds = false;
    EXPECT_FALSE(updateFirmware(record));
    EXPECT_TRUE(log.contains("Open HID device failed\r\n"));
}

TEST_F(ServiceCommands, FactoryReset)
{
    hid.queueFailure(); // it restarts: its handle fails
    ASSERT_TRUE(factoryReset());
    EXPECT_EQ(hid.writes.at(0)[2], 0x0D);
    EXPECT_EQ(hid.shutdowns, 1);
    EXPECT_TRUE(status.hasDetail("Wait for Device to Reconnect\nPlease Wait..."));
    EXPECT_TRUE(log.contains("Sending factory reset command\r\n"));

    hid.openSucceeds = false;
    EXPECT_FALSE(factoryReset());
    EXPECT_TRUE(log.contains("Failed to open HID device\r\n"));
    const auto calls = status.calls();
    EXPECT_EQ(calls.back().isComplete, 1);
    EXPECT_EQ(calls.back().detail, "");
}

TEST_F(ServiceCommands, EraseKeysListensUntilTheDeviceFallsSilent)
{
    NRFV = 1333026;
    hid.queueReport(rawTextReport("erasing keys\r\n"));
    hid.queueSilence(2);
    hid.queueReport(rawTextReport("keys erased\r\n"));
    // then the scripted device stays silent
    ASSERT_TRUE(eraseNordicKeys());
    EXPECT_EQ(NRFV.load(), 0);
    EXPECT_EQ(hid.writes.at(0)[2], 0x07);
    EXPECT_TRUE(log.contains("erasing keys\r\n"));
    EXPECT_TRUE(log.contains("keys erased\r\n"));
    EXPECT_EQ(hid.reads, 4 + kEraseKeysSilentReads);
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(hid.shutdowns, 0);
}

TEST_F(ServiceCommands, EraseKeysStopsAtOnceWhenTheDeviceIsGone)
{
    hid.queueReport(rawTextReport("restarting"));
    hid.queueFailure();
    hid.queueReport(rawTextReport("never read"));
    ASSERT_TRUE(eraseNordicKeys());
    EXPECT_EQ(hid.reads, 2);
    EXPECT_EQ(hid.pendingInputs(), 1u);

    hid.openSucceeds = false;
    EXPECT_FALSE(eraseNordicKeys());
    EXPECT_EQ(status.calls().back().isComplete, 1);
}

} // namespace

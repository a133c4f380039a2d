#include "state/app_callbacks.h"
#include "state/device_models.h"
#include "state/shared_state.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

TEST(SharedState, StartValuesBeforeAnyDevice)
{
    resetSharedState();
    EXPECT_EQ(GRawDevID.load(), 99);
    EXPECT_EQ(GNormDevID.load(), 99);
    EXPECT_EQ(gcbn.load(), 0);
    EXPECT_EQ(modelOverride.load(), -1);
    EXPECT_EQ(recoveryDeviceType.load(), -99);
    EXPECT_EQ(recoveryVariant.load(), -99);
    EXPECT_EQ(targetNrfVersion.load(), 1031039);
    EXPECT_EQ(bootloaderVid.load(), 0x15A2);
    EXPECT_EQ(logWindowHidden.load(), 1);
    EXPECT_EQ(flashLogCount.load(), 0);
    EXPECT_TRUE(gpsDrivePath.empty());
    EXPECT_EQ(appCallbacks.currentDevice.load(), nullptr);
}

TEST(SharedState, ClaimFlagLetsExactlyOneWorkerIn)
{
    Flag guard{0};
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            if (claimFlag(guard))
                ++winners;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(winners.load(), 1);
    EXPECT_FALSE(claimFlag(guard));
    guard = 0;
    EXPECT_TRUE(claimFlag(guard));
}

TEST(SharedState, SharedTextReadersGetWholeValues)
{
    SharedText text("first");
    const std::string a(200, 'a'), b(300, 'b');
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            text.set(i % 2 ? a : b);
    });
    for (int i = 0; i < 20000; ++i) {
        const std::string seen = text.get();
        ASSERT_TRUE(seen == a || seen == b || seen == "first") << seen.size();
    }
    writer.join();
}

TEST(DeviceModels, NamesAndRecoveryLabels)
{
    ASSERT_EQ(modelNames.size(), 17u);
    EXPECT_STREQ(modelNames[0], "InvalidDevice");
    EXPECT_STREQ(modelNames[3], "Q3Peak");
    EXPECT_STREQ(modelNames[11], "Summit GPS");
    EXPECT_STREQ(modelNames[16], "Ridge Easy 2");
    EXPECT_EQ(recoveryLabel(3), nullptr);
    EXPECT_STREQ(recoveryLabel(4), "G1 Boosted Peak");
    EXPECT_STREQ(recoveryLabel(16), "G4 Ridge Easy");
    EXPECT_EQ(modelName(17), nullptr);
    EXPECT_EQ(modelName(-1), nullptr);
    EXPECT_FALSE(isFlashableType(3));
    EXPECT_TRUE(isFlashableType(4));
    EXPECT_TRUE(isFlashableType(16));
    EXPECT_FALSE(isFlashableType(17));
}

TEST(DeviceModels, BootloaderProductIds)
{
    int type = 0;
    bool japanese = false;
    ASSERT_TRUE(bootloaderProductType(0x45, &type, &japanese));
    EXPECT_EQ(type, 9);
    EXPECT_TRUE(japanese);
    ASSERT_TRUE(bootloaderProductType(0x0B, &type, &japanese));
    EXPECT_EQ(type, 11);
    EXPECT_FALSE(japanese);
    EXPECT_TRUE(bootloaderProductType(4, &type, &japanese));
    EXPECT_TRUE(bootloaderProductType(76, &type, &japanese));
    EXPECT_EQ(type, 16);
    for (int pid : {0, 3, 17, 0x11, 63, 77, 0x55})
        EXPECT_FALSE(bootloaderProductType(pid, &type, &japanese)) << pid;
}

std::vector<std::string> g_statusCalls;
void recordStatus(int isComplete, const char* message, const char* detail)
{
    g_statusCalls.push_back(std::to_string(isComplete) + "|" + (message ? message : "<none>") + "|" +
                            (detail ? detail : "<none>"));
}

TEST(AppCallbacks, StatusSlotShowsTheFirstTextAtOnce)
{
    g_statusCalls.clear();
    setStatusCallback(recordStatus);
    ASSERT_EQ(g_statusCalls.size(), 1u);
    EXPECT_EQ(g_statusCalls[0], "0|Please connect your\nTarvel GPS Device|");
    reportStatus(1, nullptr, "x");
    EXPECT_EQ(g_statusCalls.back(), "1|<none>|x");
    setStatusCallback(nullptr);
    reportStatus(0, "dropped", nullptr); // no slot: nothing happens
    EXPECT_EQ(g_statusCalls.size(), 2u);
}

TEST(AppCallbacks, LogLineWithoutSlotDoesNothing)
{
    setLogCallback(nullptr);
    logLine("nobody hears this\r\n");
    logLinef("%d\r\n", 5);
    static std::string seen;
    seen.clear();
    setLogCallback([](const char* text) { seen += text; });
    logLine("a%d");
    logLinef("b%d", 7);
    EXPECT_EQ(seen, "a%db7");
    setLogCallback(nullptr);
}

} // namespace

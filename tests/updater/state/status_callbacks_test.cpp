#include "state/app_callbacks.h"
#include "state/shared_state.h"
#include "state/status_callbacks.h"

#include "platform/clock.h"
#include "recording_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

using testsupport::RecordingWindow;

namespace {

class StatusCallbacks : public ::testing::Test {
protected:
    void SetUp() override { resetSharedState(); }
    void TearDown() override { resetSharedState(); }
};

TEST_F(StatusCallbacks, TextsChangeOnlyWhereGiven)
{
    RecordingWindow window;
    setStatus(0, "first", "second");
    EXPECT_EQ(statusText.get(), "first");
    EXPECT_EQ(statusDetail.get(), "second");
    const int before = window.repaints();
    setStatus(0, nullptr, nullptr); // keeps both texts but still repaints
    EXPECT_EQ(statusText.get(), "first");
    EXPECT_EQ(statusDetail.get(), "second");
    EXPECT_EQ(window.repaints(), before + 1);
    setStatus(0, "", nullptr); // an empty text blanks the line
    EXPECT_EQ(statusText.get(), "");
    EXPECT_EQ(statusDetail.get(), "second");
    EXPECT_TRUE(window.log().empty()); // an incomplete status logs nothing
}

TEST_F(StatusCallbacks, CompletionShowsTheButtonWithOk)
{
    RecordingWindow window;
    window.showControl(WindowControl::ProgressBar, true);
    window.setButtonText("Update to 7.63");
    ADF = 1;
    setStatus(1, "done", "");
    EXPECT_TRUE(window.visible(WindowControl::UpdateButton));
    EXPECT_FALSE(window.visible(WindowControl::ProgressBar));
    EXPECT_EQ(window.buttonText(), "OK");
    EXPECT_EQ(window.log(), "\n-- isComplete --\n updateButton SW_SHOW A ADF:1 \r\n");
    EXPECT_EQ(window.debug(), window.log());
}

TEST_F(StatusCallbacks, CompletionDuringReverseUpgradeKeepsTheButtonHidden)
{
    RecordingWindow window;
    reverseUpgrade = 1;
    window.showControl(WindowControl::ProgressBar, true);
    setStatus(1, nullptr, "Almost done");
    EXPECT_FALSE(window.visible(WindowControl::UpdateButton));
    EXPECT_FALSE(window.visible(WindowControl::ProgressBar));
    EXPECT_EQ(window.log(), "\n-- isComplete --\n");
}

TEST_F(StatusCallbacks, WorkFlagsHoldTheProgressBarUntilCleared)
{
    for (Flag* flag : {&factoryResetActive, &languagePackActive}) {
        RecordingWindow window;
        *flag = 1;
        window.showControl(WindowControl::UpdateButton, true);
        setStatus(1, "Resetting", nullptr);
        EXPECT_FALSE(window.visible(WindowControl::UpdateButton));
        EXPECT_TRUE(window.visible(WindowControl::ProgressBar));
        EXPECT_TRUE(window.log().empty()); // the completion is not shown yet
        *flag = 0;
    }
}

TEST_F(StatusCallbacks, LogIsCutTo299BytesAndDroppedWithoutWindow)
{
    const std::string longText(500, 'x');
    appendLog("before the window\r\n"); // lost: no window yet
    RecordingWindow window;
    appendLog(longText.c_str());
    EXPECT_EQ(window.log(), std::string(299, 'x'));
    appendLog("ab\r\n");
    EXPECT_EQ(window.log().substr(299), "ab\r\n");
    window.showControl(WindowControl::LogWindow, false); // hidden windows keep what they get
    appendLog("hidden");
    EXPECT_EQ(window.log().substr(303), "hidden");
}

TEST_F(StatusCallbacks, InstallShowsFirstTextAndStoresAllSlots)
{
    installAppCallbacks();
    EXPECT_EQ(statusText.get(), "Please connect your\nTarvel GPS Device");
    EXPECT_EQ(statusDetail.get(), "");
    EXPECT_EQ(appCallbacks.log.load(), &appendLog);
    EXPECT_EQ(appCallbacks.sleepSeconds.load(), &sleepSeconds);
    setStatusCallback(nullptr);
    setLogCallback(nullptr);
    setSleepCallback(nullptr);
}

std::vector<long> g_pauses;
void recordPause(platform::Milliseconds ms) { g_pauses.push_back(long(ms.count())); }

TEST_F(StatusCallbacks, SleepGoesThroughTheTimeService)
{
    g_pauses.clear();
    platform::setPauseHook(recordPause);
    sleepSeconds(45);
    sleepSeconds(0);
    platform::setPauseHook(nullptr);
    EXPECT_EQ(g_pauses, (std::vector<long>{45000, 0}));
}

TEST(TimeService, ScaleMultipliesPauses)
{
    platform::setTimeScale(0.0);
    auto start = std::chrono::steady_clock::now();
    platform::pauseSeconds(30); // scaled to nothing
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    platform::setTimeScale(0.001);
    start = std::chrono::steady_clock::now();
    platform::pause(platform::Milliseconds(20000)); // 20 ms
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(19));
    EXPECT_LT(took, std::chrono::seconds(5));
    platform::setTimeScale(1.0);
}

TEST(TimeService, AScaleThatIsNoNumberOrEndlessIsNotTaken)
{
    // Not a number would make every pause wait for ever (or not at all, by chance).
    for (double bad : { std::nan(""), std::numeric_limits<double>::infinity() }) {
        platform::setTimeScale(bad);
        EXPECT_EQ(platform::timeScale(), 1.0);
    }
    platform::setTimeScale(-3.0);
    EXPECT_EQ(platform::timeScale(), 0.0);
    platform::setTimeScale(1.0);
}

} // namespace

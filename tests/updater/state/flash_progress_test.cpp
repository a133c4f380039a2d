#include "state/app_callbacks.h"
#include "state/flash_progress.h"
#include "state/shared_state.h"

#include "blfwk/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct StatusCall {
    int count;
    std::string detail;
};
std::vector<StatusCall> g_calls;

void recordStatus(int isComplete, const char* message, const char* detail)
{
    EXPECT_EQ(isComplete, 0);
    EXPECT_EQ(message, nullptr); // only the second line changes
    g_calls.push_back({flashLogCount.load(), detail ? detail : "<none>"});
}

class FlashProgress : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSharedState();
        g_calls.clear();
        appCallbacks.status.store(recordStatus);
    }
    void TearDown() override
    {
        appCallbacks.status.store(nullptr);
        resetSharedState();
    }
    static void feed(int messages)
    {
        for (int i = 0; i < messages; ++i)
            flashProgressOutput("x");
    }
};

TEST_F(FlashProgress, PercentagesAtExactCountsOfANormalUpdate)
{
    feed(181999);
    EXPECT_TRUE(g_calls.empty());
    feed(1);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].count, 182000);
    EXPECT_EQ(g_calls[0].detail, "Step 3 of 3\n25% done");
    feed(1); // the 182001st changes nothing
    EXPECT_EQ(g_calls.size(), 1u);
    feed(546000 - 182001 + 10);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[1].count, 364000);
    EXPECT_EQ(g_calls[1].detail, "Step 3 of 3\n50% done");
    EXPECT_EQ(g_calls[2].count, 546000);
    EXPECT_EQ(g_calls[2].detail, "Step 3 of 3\n75% done");
}

TEST_F(FlashProgress, ReverseUpgradeTextsAreChosenAtTheMomentOfTheCall)
{
    reverseUpgrade = 1;
    feed(182000);
    reverseUpgrade = 0;
    feed(182000);
    reverseUpgrade = 1;
    feed(182000);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].detail, "Flashing\n25% done");
    EXPECT_EQ(g_calls[1].detail, "Step 3 of 3\n50% done");
    EXPECT_EQ(g_calls[2].detail, "Flashing\n75% done");
}

TEST_F(FlashProgress, SecondProgrammingInTheSameRunShowsNothing)
{
    feed(600000); // a first image
    EXPECT_EQ(g_calls.size(), 3u);
    g_calls.clear();
    feed(600000); // the count is never reset
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(flashLogCount.load(), 1200000);
}

TEST_F(FlashProgress, CountsWithoutAStatusSlot)
{
    appCallbacks.status.store(nullptr);
    feed(200000);
    EXPECT_EQ(flashLogCount.load(), 200000);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(FlashProgress, CountsWhatTheFrameworkLoggerLetsThrough)
{
    installFlashProgressCounter();
    blfwk::FileLogger logger("bootloader.log");
    blfwk::Logger* previous = blfwk::Log::getLogger();
    blfwk::Log::setLogger(&logger);
    logger.setFilterLevel(7);
    blfwk::Log::trace("%02x", 0xab);
    blfwk::Log::debug("d\n");
    blfwk::Log::json("{}\n"); // json passes only at filter level 1
    EXPECT_EQ(flashLogCount.load(), 2);
    logger.setFilterLevel(4);
    blfwk::Log::trace("%02x", 0xab);
    blfwk::Log::info("i\n");
    EXPECT_EQ(flashLogCount.load(), 3);
    blfwk::Log::setLogger(previous);
    blfwk::FileLogger::setOutputFunction(nullptr);
}

} // namespace

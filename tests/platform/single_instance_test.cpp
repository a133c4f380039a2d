// The single-instance lock: one holder at a time, in this process or another, and a lock that
// is given back (or whose process ended) can be taken again.

#include "platform/single_instance.h"

#include "fake_volumes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1); }
    void TearDown() override
    {
        platform::releaseSingleInstance();
        unsetenv("XDG_RUNTIME_DIR");
    }
    // Whether another process could take the lock now (0: took it, 1: refused).
    int otherProcessTakes()
    {
        const pid_t child = fork();
        if (child == 0)
            _exit(platform::acquireSingleInstance("Tarvel_Updater_Win") ? 0 : 1);
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    testsupport::TempFolder runtime;
};

TEST_F(SingleInstance, TheLockLivesInTheRuntimeFolder)
{
    EXPECT_EQ(platform::singleInstanceLockPath("Tarvel_Updater_Win"), runtime.sub("Tarvel_Updater_Win.lock"));
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::singleInstanceLockPath("Tarvel_Updater_Win"), "/tmp/Tarvel_Updater_Win.lock");
}

TEST_F(SingleInstance, ASecondHolderIsRefusedUntilTheFirstLetsGo)
{
    ASSERT_TRUE(platform::acquireSingleInstance("Tarvel_Updater_Win"));
    EXPECT_FALSE(platform::acquireSingleInstance("Tarvel_Updater_Win")); // a second start in this process
    EXPECT_EQ(otherProcessTakes(), 1);
    platform::releaseSingleInstance();
    EXPECT_EQ(otherProcessTakes(), 0); // its lock went with its process
    EXPECT_TRUE(platform::acquireSingleInstance("Tarvel_Updater_Win"));
}

TEST_F(SingleInstance, AnUnusableRuntimeFolderRefusesRatherThanRunningTwice)
{
    setenv("XDG_RUNTIME_DIR", runtime.sub("missing/folder").c_str(), 1);
    EXPECT_FALSE(platform::acquireSingleInstance("Tarvel_Updater_Win"));
}

} // namespace

// The updater's whole job on the simulated device, driven through the window thread as a rider
// would: the status lines in the order the rider reads them, the key log lines, the flags at
// the end, and what the device holds afterwards.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "state/shared_state.h"
#include "state/window_messages.h"

using namespace shelltest;

namespace {

TEST_F(ShellTest, StandardSummitAt763IsTakenToTheLatestSoftware)
{
    plugDevice("model=11,version=7.63,nrf=1.10.31.39");
    const auto riders = ridersFiles();
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();
    EXPECT_EQ(window->buttonText(), "Update to 14.51");
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();

    for (auto& s : window->screens())
        printf("[%s] [%s]\n", s.first.c_str(), s.second.c_str());
    EXPECT_EQ(deviceFace(), "application");
    EXPECT_EQ(deviceVersion(), "14.51");
    EXPECT_EQ(ridersFiles(), riders);
}

} // namespace

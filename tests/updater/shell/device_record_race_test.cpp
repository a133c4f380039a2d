// The shared device record under two threads: a wireless update runs its worker while
// device-change events make the window thread read the device again. The workers write the
// record's variant (their build choice) while the window thread's reads put back what the
// device says, so both threads write the same field; under ThreadSanitizer (make test-tsan)
// any access of the record outside its lock is reported. The update must end as it would alone.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

#include <atomic>

using namespace shelltest;

namespace {

class DeviceRecordRace : public ShellTest { };

// A Japanese Ridge Easy 2 reports raw id 76: its build choice is the Japanese one while the
// variant read from it is 0, so the wireless worker writes the variant on every attempt.
TEST_F(DeviceRecordRace, AWirelessUpdateWhileDeviceChangeEventsArrive)
{
    plugDevice("model=16,variant=japanese,version=14.31,nrf=1.10.31.39");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();

    // While the wireless worker waits for the device's restart, a burst of device-change
    // events: the window thread scans and reads the device again while the worker goes on to
    // read it back and ask its wireless version.
    std::atomic<int> posted { 0 };
    actAtPause(
        15000, [] { return isSet(updateThreadActive); },
        [this, &posted] {
            for (int event : { DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL, DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL }) {
                loop->postDeviceChange(event);
                ++posted;
            }
        });
    press(kCommandUpdateButton);
    const bool done = waitFor([] {
        return statusDetail.get() == "Latest software is installed on device" && !isSet(updateActive);
    });
    ASSERT_TRUE(done) << log();
    ASSERT_TRUE(settled());
    EXPECT_EQ(runningWorkers(), 0);

    EXPECT_EQ(posted.load(), 4);
    EXPECT_GE(logCount("- Nordic Thread"), 1u);
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
    EXPECT_EQ(deviceNrf(), "2.13.33.26") << log();
    // The record describes the device as it was last read, whole.
    const DeviceInfo record = recordCopy(deviceInfo);
    EXPECT_EQ(record.deviceType, 16);
    EXPECT_EQ(record.modelName, "Ridge Easy 2");
    EXPECT_EQ(record.rawId, sim->device().state()["application"]["raw_id"].asInt());
    EXPECT_EQ(record.major, 14);
    EXPECT_EQ(record.minor, 31);
    EXPECT_EQ(deviceVersion(), "14.31");
}

} // namespace

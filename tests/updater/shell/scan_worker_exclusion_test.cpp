// The scan's read of the running device against a worker's exchanges with it, with the timing
// forced rather than hoped for: the device answers the scan's read late (its answer, and all it
// sends after it, held back), and the worker comes to its turn while that read is under way.
// Also a wireless update under a hub that keeps announcing device changes.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "state/shared_state.h"
#include "state/window_messages.h"

#include <atomic>
#include <thread>

using namespace shelltest;
using namespace std::chrono_literals;

namespace {

const std::string kDone = "Latest software is installed on device";
constexpr int kReadDeviceInfoCode = 0x06;

class ScanAndWorker : public ShellTest {
protected:
    // The answer to the next device-information request comes holdMs late.
    void answerNextReadLate(int holdMs)
    {
        devsim::Fault late;
        late.kind = devsim::FaultKind::LateReply;
        late.commandTag = kReadDeviceInfoCode;
        late.holdMs = holdMs;
        sim->device().injectFault(late);
    }
    bool faultTaken() { return sim->device().state()["faults"].empty(); }

    void expectGoodUpdate()
    {
        ASSERT_TRUE(waitDone()) << log();
        EXPECT_EQ(statusDetail.get(), kDone);
        EXPECT_EQ(deviceVersion(), "14.51");
        EXPECT_EQ(deviceNrf(), "2.13.33.26");
        EXPECT_EQ(deviceFace(), "application");
        EXPECT_EQ(logCount("- startUpdateWorkerThread"), 1u);
        EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
        EXPECT_EQ(logCount("- Nordic Thread"), 1u);
        EXPECT_EQ(logCount("The device did not leave for its bootloader"), 0u);
        EXPECT_EQ(logCount("Start D updateFirmware FAILED"), 0u);
        // The update's own two notices, and no failure told.
        for (const auto& box : window->boxes())
            EXPECT_TRUE(box.rfind("Update Alert|", 0) == 0 || box.rfind("|Please do not unplug", 0) == 0) << box;
        EXPECT_FALSE(isSet(updateActive));
        EXPECT_FALSE(isSet(updateThreadActive));
        EXPECT_FALSE(isSet(jbl));
        EXPECT_EQ(runningWorkers(), 0);
    }
};

// The update worker is about to send the jump to the bootloader when a device change starts
// a scan whose read of the device is answered 1.5 s late. The jump must wait for that read:
// sent meanwhile, the device leaves with the answer still unsent, and the scan's read of a
// device that is there fails under it (the answer lost, the read taken for a silent device).
// The update must end as it does without the scan.
TEST_F(ScanAndWorker, TheJumpToTheBootloaderWaitsForAScanReadUnderWay)
{
    plugDevice("model=11,version=7.63,nrf=1.10.31.39");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();

    // The worker's pause before the jump: the scan is started there, and the worker goes on
    // only once the device has taken the scan's request (its answer now held back).
    std::atomic<bool> scanReading { false };
    actAtPause(
        1000, [this] { return log().find("Start C gcbn") != std::string::npos; },
        [this, &scanReading] {
            answerNextReadLate(1500);
            loop->postDeviceChange(DBT_DEVICEARRIVAL);
            const auto limit = std::chrono::steady_clock::now() + 10s;
            while (!faultTaken() && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(1ms);
            scanReading = faultTaken();
        });
    press(kCommandUpdateButton);
    expectGoodUpdate();
    EXPECT_TRUE(scanReading.load()) << "the scan never read the device before the jump\n" << log();
    // The late answer reached the scan before the jump went.
    const std::string text = log();
    const size_t scan = text.find("Start C gcbn");
    ASSERT_NE(scan, std::string::npos);
    const size_t jump = text.find("Sending command JUMP_TO_BL", scan);
    const size_t answered = text.find("DEVICE_ID RAW", scan);
    ASSERT_NE(jump, std::string::npos);
    EXPECT_LT(answered, jump) << "the jump cut the scan's read short\n" << text;
    EXPECT_EQ(text.substr(scan, jump - scan).find("Unexpected command"), std::string::npos) << text;
}

// The wireless update while a flapping hub announces a device change every 20 ms: the window
// thread scans again and again beside the worker, which must end as it does alone. Coverage for
// the device record's locking under the thread sanitizer more than a fault test: it passes on
// code that was already right, and fails when a change makes a race of it.
TEST_F(ScanAndWorker, AWirelessUpdateUnderAFlappingHub)
{
    plugDevice("model=11,version=7.63,nrf=1.10.31.39");
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();

    std::atomic<bool> stop { false };
    std::atomic<int> posted { 0 };
    std::atomic<int> postedWhileWireless { 0 };
    std::thread hub([&] {
        // From the wireless worker's start until the update is over.
        while (!stop && log().find("- Nordic Thread") == std::string::npos)
            std::this_thread::sleep_for(2ms);
        while (!stop) {
            const bool wireless = isSet(updateThreadActive);
            loop->postDeviceChange(DBT_DEVNODES_CHANGED);
            ++posted;
            if (wireless)
                ++postedWhileWireless;
            else if (!isSet(updateActive))
                break;
            std::this_thread::sleep_for(20ms);
        }
    });
    press(kCommandUpdateButton);
    const bool done = waitFor([&] { return posted.load() > 0 && statusDetail.get() == kDone && !isSet(updateActive); });
    stop = true;
    hub.join();
    ASSERT_TRUE(done) << log();
    EXPECT_GE(postedWhileWireless.load(), 3) << "the hub did not flap during the wireless update";
    expectGoodUpdate();
    EXPECT_EQ(logCount("Nordic Already Update Thread Active"), 0u);
    EXPECT_EQ(firstLines().back(), "Summit GPS connected\nVer: 14.51-1333026\n");
}

} // namespace

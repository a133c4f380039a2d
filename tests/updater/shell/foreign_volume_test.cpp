// A volume of another device (a USB stick) arriving while a worker exchanges requests with the
// running device: the scan it causes must leave the device to the worker, and the update ends
// as it does without the stick.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "state/shared_state.h"
#include "state/window_messages.h"

#include <atomic>

using namespace shelltest;

namespace {

const std::string kJapaneseSummitColor = "model=12,variant=japanese,version=7.63,nrf=1.10.31.39";

class ForeignVolume : public ShellTest {
protected:
    // The arrival is handled on the window thread while the worker waits at its pause of ms,
    // in the middle of its exchange: the worker goes on only once the scan has finished.
    void arriveDuring(int ms, std::function<bool()> when)
    {
        actAtPause(ms, std::move(when), [this] {
            loop->invoke([] { onDeviceChange(DBT_DEVICEARRIVAL); });
            ++arrivals;
        });
    }

    void runUpdate()
    {
        plugDevice(kJapaneseSummitColor);
        riders = ridersFiles();
        ASSERT_TRUE(startUpdater());
        ASSERT_TRUE(waitOffer()) << log();
        press(kCommandUpdateButton);
        ASSERT_TRUE(waitDone()) << log() << "\nstatus: " << statusText.get() << " | " << statusDetail.get()
                                << " updateActive " << int(updateActive.load()) << " workers " << runningWorkers();
    }

    // Scans that read the device between two log lines (each a read over a second handle).
    size_t readsBetween(const std::string& from, const std::string& to) const
    {
        const std::string text = log();
        const size_t begin = text.find(from);
        const size_t end = text.find(to, begin == std::string::npos ? 0 : begin);
        if (begin == std::string::npos || end == std::string::npos)
            return size_t(-1);
        size_t reads = 0;
        for (size_t at = text.find("devinfoScan B", begin); at != std::string::npos && at < end;
             at = text.find("devinfoScan B", at + 1))
            ++reads;
        return reads;
    }

    void expectSameResultAsWithout()
    {
        EXPECT_EQ(arrivals.load(), 1);
        EXPECT_GE(logCount("a worker talks to the device, not read"), 1u) << log();
        EXPECT_EQ(deviceVersion(), "14.51");
        EXPECT_EQ(deviceNrf(), "2.13.33.26");
        EXPECT_TRUE(driveHas("Kanji_19x19.bin"));
        EXPECT_EQ(ridersFiles(), riders);
        EXPECT_EQ(logCount("- Nordic Thread"), 1u);
        EXPECT_EQ(logCount("Already Update Thread Active"), 0u);
        EXPECT_EQ(logCount("Could Not Update Language Packs"), 0u);
        EXPECT_FALSE(isSet(updateActive));
        EXPECT_FALSE(isSet(updateThreadActive));
        EXPECT_FALSE(isSet(languagePackActive));
        EXPECT_FALSE(warningShown());
    }

    std::atomic<int> arrivals { 0 };
    std::map<std::string, std::string> riders;
};

TEST_F(ForeignVolume, ArrivingDuringTheWirelessUpdateLeavesTheDeviceToTheWorker)
{
    arriveDuring(5000, [] { return workerTalksToDevice() && !isSet(languagePackActive); });
    runUpdate();
    expectSameResultAsWithout();
    EXPECT_EQ(readsBetween("Nordic Start B", "Nordic Start C"), 0u) << log();
}

TEST_F(ForeignVolume, ArrivingDuringTheLanguagePacksLeavesTheDeviceToTheWorker)
{
    arriveDuring(10000, [] { return workerTalksToDevice() && isSet(languagePackActive); });
    runUpdate();
    expectSameResultAsWithout();
    EXPECT_EQ(readsBetween("Kanji", "fully upgraded TEST PASS"), 0u) << log();
}

} // namespace

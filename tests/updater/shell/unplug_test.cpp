// The device unplugged in each phase of an update and plugged back: the screen tells the
// truth, the warning stays while work is under way, no worker starts twice, the rider's data
// is kept, and the update is taken up again where the flow picks it up. Also a device that
// answers garbage and a second device listed during an update.

#include "shell_fixture.h"

#include "shell/shell.h"
#include "shell/window_procedure.h"

#include "platform/usb_devices.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

#include <atomic>

using namespace shelltest;

namespace {

const std::string kNoDevice = "Please connect your\nTarvel GPS Device";
const std::string kDone = "Latest software is installed on device";

class Unplugged : public ShellTest {
protected:
    void start(const std::string& description)
    {
        plugDevice(description);
        riders = ridersFiles();
        ASSERT_TRUE(startUpdater());
        ASSERT_TRUE(waitOffer()) << log();
    }
    // Unplugs the device from whichever thread reaches the chosen moment; waits until it is gone.
    void unplugNow()
    {
        sim->device().unplug();
        sim->device().waitIdle(20000);
        ++unplugs;
    }
    void plugNow()
    {
        sim->device().plug();
        sim->device().waitIdle(20000);
    }
    // Unplugs the device the first time the second status line reads detail.
    void unplugAtDetail(const std::string& detail)
    {
        window->onRepaint = [this, detail] {
            if (statusDetail.get() == detail && !fired.exchange(true))
                unplugNow();
        };
    }
    void expectNoWorkerTwice()
    {
        EXPECT_EQ(logCount("Already Update Thread Active"), 0u);
        EXPECT_EQ(runningWorkers(), 0);
    }
    void expectFinished(const std::string& version)
    {
        EXPECT_EQ(deviceFace(), "application");
        EXPECT_EQ(deviceVersion(), version);
        EXPECT_EQ(statusDetail.get(), kDone);
        EXPECT_FALSE(isSet(updateActive));
        EXPECT_FALSE(isSet(backupHeld));
        EXPECT_FALSE(warningShown());
        EXPECT_EQ(ridersFiles(), riders);
    }
    bool gone()
    {
        return waitFor([this] { return !sim->device().state()["present"].asBool(); });
    }

    std::map<std::string, std::string> riders;
    std::atomic<bool> fired { false };
    std::atomic<int> unplugs { 0 };
};

TEST_F(Unplugged, WhileTheDeviceIsShown)
{
    start("model=11,version=7.63,nrf=1.10.31.39");
    unplugNow();
    ASSERT_TRUE(waitFor([] { return statusText.get() == kNoDevice; })) << log();
    EXPECT_FALSE(window->visible(WindowControl::UpdateButton));
    EXPECT_FALSE(window->visible(WindowControl::ProgressBar));
    EXPECT_FALSE(window->menu[kCommandForceUpdate]);
    EXPECT_FALSE(warningShown());
    // Entries that cannot be chosen do nothing even when a front end passes them on.
    press(kCommandForceUpdate);
    press(kCommandLoadJapanFirmware);
    ASSERT_TRUE(settled());
    EXPECT_EQ(logCount("Force -=FORCE REVERSE UPGRADE=-"), 0u);
    EXPECT_EQ(runningWorkers(), 0);
    plugNow();
    ASSERT_TRUE(waitOffer()) << log();
    EXPECT_EQ(logCount("startUpdateWorkerThread"), 0u);
    EXPECT_EQ(ridersFiles(), riders);
}

TEST_F(Unplugged, DuringTheUpdateWorkerTheUpdateStopsAndIsOfferedAgain)
{
    start("model=13,version=7.63,nrf=1.10.31.39");
    actAtPause(
        3000, [] { return isSet(updateThreadActive) && isSet(reverseUpgrade); }, [this] { unplugNow(); });
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return logCount("updateFirmware FAILED") == 1; })) << log();
    // Nothing was sent into its bootloader: the screen asks for the device again. Its drive
    // left with it before the backup, so nothing was copied from a drive that is not there and
    // nothing is held: the rider's data is still only on the device.
    EXPECT_EQ(statusText.get(), kNoDevice);
    EXPECT_FALSE(isSet(updateActive));
    EXPECT_FALSE(isSet(backupHeld));
    EXPECT_FALSE(warningShown());
    EXPECT_EQ(ridersFiles(), riders);
    EXPECT_EQ(deviceVersion(), "7.63");
    plugNow();
    ASSERT_TRUE(waitOffer()) << log();
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();
    expectFinished("14.51");
    EXPECT_EQ(logCount("- startUpdateWorkerThread"), 2u);
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
    expectNoWorkerTwice();
}

TEST_F(Unplugged, WhileFlashingTheReturningBootloaderIsProgrammedAgain)
{
    start("model=11,version=7.63,nrf=1.10.31.39");
    unplugAtDetail("Programming...Do not unplug"); // erased, not yet written
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return logCount("Bootloader mode FAILED") == 1; })) << log();
    EXPECT_EQ(statusText.get(),
        "There was a problem updating your Summit GPS. Please try again or contact Tarvel technical "
        "support.");
    EXPECT_TRUE(isSet(updateActive));
    EXPECT_TRUE(warningShown());
    EXPECT_FALSE(window->visible(WindowControl::UpdateButton));
    plugNow();
    EXPECT_EQ(deviceFace(), "bootloader"); // its application is gone
    ASSERT_TRUE(waitDone()) << log();
    expectFinished("14.51");
    EXPECT_EQ(logCount("- startUpdateWorkerThread"), 1u);
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 2u);
    EXPECT_EQ(deviceNrf(), "2.13.33.26");
    expectNoWorkerTwice();
}

TEST_F(Unplugged, ABootloaderRefusingTheImageIsTakenUpAgainAfterAReplug)
{
    start("model=11,version=7.63,nrf=1.10.31.39");
    devsim::Fault refuse;
    refuse.kind = devsim::FaultKind::CommandStatus;
    refuse.commandTag = 0x04; // write-memory
    refuse.status = 105;
    sim->device().injectFault(refuse);
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return logCount("Bootloader mode FAILED") == 1; })) << log();
    EXPECT_TRUE(warningShown());
    EXPECT_EQ(deviceFace(), "bootloader");
    unplugNow();
    plugNow();
    ASSERT_TRUE(waitDone()) << log();
    expectFinished("14.51");
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 2u);
    expectNoWorkerTwice();
}

TEST_F(Unplugged, AtTheDiskResetTheResetIsSentOnTheNextArrival)
{
    start("model=13,version=7.63,nrf=1.10.31.39");
    unplugAtDetail("Resetting GPS Disk...");
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return logCount("RESET BEFORE NORDIC - FAILED") == 1; })) << log();
    EXPECT_TRUE(isSet(resetBeforeNordic));
    EXPECT_TRUE(isSet(backupHeld));
    EXPECT_TRUE(isSet(updateActive));
    EXPECT_TRUE(warningShown());
    EXPECT_TRUE(window->visible(WindowControl::ProgressBar));
    plugNow();
    ASSERT_TRUE(waitDone()) << log();
    expectFinished("14.51");
    EXPECT_EQ(logCount("Sending factory reset command"), 1u);
    EXPECT_EQ(logCount("- Nordic Thread"), 1u);
    expectNoWorkerTwice();
}

TEST_F(Unplugged, DuringTheWirelessUpdateARetryFindsItBack)
{
    start("model=11,version=7.63,nrf=1.10.31.39");
    actAtPause(
        3000, [this] { return logCount("Nordic Start B") == 1; }, [this] { unplugNow(); });
    actAtPause(
        6000, [this] { return unplugs.load() == 1; }, [this] { plugNow(); });
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_EQ(unplugs.load(), 1);
    expectFinished("14.51");
    EXPECT_EQ(deviceNrf(), "2.13.33.26");
    EXPECT_EQ(logCount("- Nordic Thread"), 1u);
    for (const auto& box : window->boxes())
        EXPECT_EQ(box.find("Wireless Firmware Update Problem"), std::string::npos) << box;
    expectNoWorkerTwice();
}

TEST_F(Unplugged, GoneForTheWholeWirelessUpdateEndsWithItsMessage)
{
    start("model=11,version=7.63,nrf=1.10.31.39");
    actAtPause(
        3000, [this] { return logCount("Nordic Start B") == 1; }, [this] { unplugNow(); });
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return loop->ended(); })) << log();
    EXPECT_EQ(window->destroys(), 1);
    EXPECT_EQ(window->boxes().back(),
        "Wireless Firmware Update Problem|Please disconnect the Tarvel GPS device from the computer USB.  "
        "Close and "
        "Restart the updater app. Reconnect the Tarvel GPS device and try the update again.");
    EXPECT_EQ(ridersFiles(), riders);
    EXPECT_EQ(deviceVersion(), "14.51"); // the main firmware was done
}

TEST_F(Unplugged, DuringTheLanguagePacksTheMenuLoadsThemLater)
{
    start("model=12,variant=japanese,version=7.63,nrf=1.10.31.39");
    unplugAtDetail("Language Pack Update\nDevice Loading...");
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] {
        for (const auto& box : window->boxes())
            if (box == "Language Pack|Could Not Update Language Packs.")
                return true;
        return false;
    })) << log();
    ASSERT_TRUE(waitFor([] { return statusText.get() == kNoDevice; })) << log();
    EXPECT_FALSE(isSet(languagePackActive));
    plugNow();
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_TRUE(window->menu[kCommandLanguagePacks]);
    press(kCommandLanguagePacks);
    ASSERT_TRUE(waitFor([this] {
        return window->boxes().back() == "Language Pack|Successfully Updated Language Packs.";
    })) << log();
    EXPECT_TRUE(driveHas("Kanji_19x19.bin"));
    EXPECT_EQ(deviceVersion(), "14.51");
    EXPECT_EQ(ridersFiles(), riders);
    EXPECT_FALSE(warningShown());
    expectNoWorkerTwice();
}

TEST_F(Unplugged, BackLaterThanTheWirelessWorkerWaitsTheLanguagePacksStillCome)
{
    setDeviceReturnLimit(std::chrono::milliseconds(300));
    start("model=12,variant=japanese,version=7.63,nrf=1.10.31.39");
    // Back from its restart after the wireless update, then unplugged before the worker looks,
    // and away for longer than it waits.
    actAtPause(
        15000, [this] { return logCount("Nordic Start C") == 1; },
        [this] {
            sim->device().waitIdle(20000);
            unplugNow();
        });
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitFor([this] { return logCount("the device is not back yet") == 1; })) << log();
    EXPECT_TRUE(isSet(languagePacksPending));
    EXPECT_FALSE(driveHas("Kanji_19x19.bin"));
    plugNow();
    ASSERT_TRUE(waitDone()) << log();
    // The packs came before the done screen, not skipped by it.
    EXPECT_EQ(logCount("Language packs due after the wireless update"), 1u);
    EXPECT_LT(log().find("Language packs due after the wireless update"), log().rfind("fully upgraded TEST PASS"));
    EXPECT_TRUE(driveHas("Kanji_19x19.bin"));
    EXPECT_FALSE(isSet(languagePacksPending));
    expectFinished("14.51");
    expectNoWorkerTwice();
}

TEST_F(Unplugged, ADriveArrivingWhileTheUpdateWorkerRunsStartsNothingElse)
{
    start("model=11,version=7.63,nrf=1.10.31.39");
    // The drive's arrival is handled while the worker is still before its jump.
    actAtPause(
        3000, [] { return isSet(updateThreadActive) && isSet(reverseUpgrade); },
        [this] { loop->invoke([] { onDeviceChange(DBT_DEVICEARRIVAL); }); });
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_GE(logCount("Start Auto Update - not now, a worker runs"), 1u);
    EXPECT_EQ(logCount("Nordic Already Update Thread Active"), 0u);
    EXPECT_EQ(logCount("- Nordic Thread"), 1u);
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
    expectFinished("14.51");
}

TEST_F(Unplugged, OnTheDoneScreen)
{
    plugDevice("model=14,version=14.51");
    riders = ridersFiles();
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitDone()) << log();
    unplugNow();
    ASSERT_TRUE(waitFor([] { return statusText.get() == kNoDevice; })) << log();
    EXPECT_FALSE(window->visible(WindowControl::UpdateButton));
    plugNow();
    ASSERT_TRUE(waitDone()) << log();
    expectFinished("14.51");
    EXPECT_EQ(logCount("startUpdateWorkerThread"), 0u);
}

// A second device on the bus: what the platform lists after the first.
class SecondDevice : public platform::UsbDeviceService {
public:
    explicit SecondDevice(platform::UsbDeviceService& bus)
        : m_bus(bus)
    {
        platform::setUsbDeviceService(this);
    }
    ~SecondDevice() override { platform::setUsbDeviceService(nullptr); }
    bool presentHardwareIds(std::vector<std::string>& ids) override
    {
        const bool listed = m_bus.presentHardwareIds(ids);
        ids.push_back(platform::formatUsbHardwareId(0x2B29, 0x55, 0x100));
        ids.push_back(platform::formatUsbHardwareId(0x15A2, 0x73, 0x100));
        return listed;
    }

private:
    platform::UsbDeviceService& m_bus;
};

TEST_F(Unplugged, ASecondDeviceIsNotActedOnWhileTheFirstIsServed)
{
    plugDevice("model=11,version=7.63,nrf=1.10.31.39");
    SecondDevice second(platform::usbDeviceService());
    ASSERT_TRUE(startUpdater());
    ASSERT_TRUE(waitOffer()) << log();
    press(kCommandUpdateButton);
    ASSERT_TRUE(waitDone()) << log();
    EXPECT_EQ(logCount("idx:(1)-VID_2B29"), 0u); // every scan stopped at the first device
    EXPECT_EQ(window->recoveryDialogsCreated, 0);
    EXPECT_EQ(logCount("- startOnBootloaderModeThread"), 1u);
    EXPECT_EQ(deviceVersion(), "14.51");
    stopUpdater(); // before the listing goes away
}

} // namespace

// Whole updates through the real Linux backends (hidapi on hidraw, udev, the mount table, the
// unmount and eject system calls), the simulator's device presented as a USB device by the
// stand-in: its faces in a mocked /sys, its drive a FAT image on a loop device mounted with
// FUSE. Needs root and /dev/fuse; skips with the reason where either is missing.

#include "fault_run.h"
#include "mock_hidraw.h"
#include "system_tools.h"
#include "usb_standin.h"

#include "fake_volumes.h"
#include "folder_files.h"
#include "simulator.h"

#include "flash/firmware_catalog.h"
#include "platform/clock.h"
#include "platform/local_folders.h"
#include "platform/process.h"
#include "platform/session_recording.h"
#include "storage/backup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char kPeakPro[] = "model=13,version=12.40,nrf=1.10.31.39";
const char kJapaneseSummitColor[] = "model=12,variant=japanese,version=7.63,nrf=1.10.31.39";
const char kCarriedNrf[] = "2.13.33.26";
const char kDone[] = "Latest software is installed on device";
const char kProblem[] = "There was a problem updating your";

size_t count(const std::string& text, const std::string& piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

class SystemUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = standin::whyUnavailable();
        if (!why.empty())
            GTEST_SKIP() << "real-backend update skipped: " << why;
        ::unsetenv("TARVEL_VBUS");
        // No system bus: udisks2 is unreachable, and the unmount and eject go to the system
        // calls, where the test sees them arrive.
        platform::setEnvironment("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + home.path() + "/no-bus");
        platform::setTimeScale(0.0);
        platform::setDataHome(home.sub("data"));
        platform::setStateHome(home.sub("state"));
        platform::setEnvironment("XDG_RUNTIME_DIR", home.path());
        bed = umockdev_testbed_new();
        initFirmwareCatalog();
    }

    void TearDown() override
    {
        if (replug.joinable())
            replug.join();
        stick.reset();
        stickDrive.reset();
        standIn.reset();
        if (device)
            device->shutdown();
        device.reset();
        drive.reset();
        if (bed)
            g_object_unref(bed);
    }

    // The device of description, plugged in through the stand-in from the start.
    void plugIn(const std::string& description)
    {
        devsim::DeviceConfig config;
        std::string error;
        ASSERT_TRUE(devsim::parseDeviceDescription(description, config, error)) << error;
        config.driveDir = home.sub("drive");
        model = config.model;
        japanese = config.japanese;
        drive = std::make_unique<standin::FatDrive>(config.driveDir, home.sub("work"), "TARVEL");
        ASSERT_TRUE(drive->create(error)) << error;
        device = std::make_unique<devsim::Device>(config);
        ASSERT_TRUE(device->init(error)) << error;
        ASSERT_TRUE(device->waitIdle(20000));
        standIn = std::make_unique<standin::UsbStandIn>(*device, bed, drive.get());
        ASSERT_TRUE(standIn->start(error)) << error;
        carried = std::to_string(firmwareCatalog[size_t(model)][0]) + "." + std::to_string(firmwareCatalog[size_t(model)][1]);
    }

    std::map<std::string, std::string> ridersOnDrive() { return testsupport::filesBelow(device->driveRoot() + "Tarvel"); }
    bool backupHeldOnDisk() { return fs::exists(localBackupFolder() + ".held"); }

    bool deviceIsUpToDate()
    {
        const Json::Value state = device->state();
        const Json::Value app = state["application"];
        return app["valid"].asBool()
            && std::to_string(app["major"].asInt()) + "." + std::to_string(app["minor"].asInt()) == carried
            && state["nrf_version"].asString() == kCarriedNrf;
    }

    // Watches every success the status lines claim against what the device holds.
    FaultRunHooks watchingHooks()
    {
        FaultRunHooks hooks;
        hooks.onPaint = [this](const std::string& line1, const std::string& line2) {
            const bool flashed = line1.size() > 16 && line1.compare(line1.size() - 16, 16, " Flashing success") == 0;
            const bool latest = line2 == kDone;
            if ((flashed && !device->state()["application"]["valid"].asBool()) || (latest && !deviceIsUpToDate())) {
                std::lock_guard<std::mutex> lock(falseMutex);
                falseSuccesses.push_back(line1 + " / " + line2);
            }
        };
        return hooks;
    }

    // A USB stick plugged in from another thread when the log first shows trigger.
    void plugStickAt(FaultRunHooks& hooks, const std::string& trigger)
    {
        std::string error;
        stickDrive = std::make_unique<standin::FatDrive>(home.sub("stick"), home.sub("stickwork"), "STICK");
        ASSERT_TRUE(stickDrive->create(error)) << error;
        stick = std::make_unique<standin::UsbStick>(bed, *stickDrive);
        // The worker that logs the trigger waits there until the stick's mount has arrived
        // and the scan it wakes has run, as a stick plugged in at that moment would be.
        hooks.onLog = [this, trigger](const std::string& text) {
            if (text.find("DBT_DEVICEARRIVAL") != std::string::npos && stickPlugged)
                arrivalSeen = true;
            if (text.find(trigger) == std::string::npos || stickFired.exchange(true))
                return;
            std::string why;
            stickPlugged = stick->plugIn(why);
            if (!stickPlugged)
                std::fprintf(stderr, "stick: %s\n", why.c_str());
            for (int i = 0; i < 100 && stickPlugged && !arrivalSeen; ++i)
                std::this_thread::sleep_for(10ms);
        };
    }

    // The recording served by tarvel-devsim --replay on a bus socket, the updater program run
    // against it: both end as the recorded run did.
    void expectReplaysOnTheBus(const std::string& recording, int status, const std::string& shows)
    {
        const char* updater = std::getenv("TARVEL_TEST_UPDATER");
        const char* devsim = std::getenv("TARVEL_TEST_DEVSIM");
        ASSERT_TRUE(updater && devsim) << "TARVEL_TEST_UPDATER and TARVEL_TEST_DEVSIM name the programs";
        const std::string socket = home.path() + "/replay.sock";
        const std::string errors = home.path() + "/replay.err";
        const pid_t sim = standin::startTool({ "sh", "-c", std::string("exec \"") + devsim + "\" --replay \"" + recording
            + "\" --socket \"" + socket + "\" --time-scale 0 2>\"" + errors + "\"" });
        ASSERT_GT(sim, 0);
        for (int i = 0; i < 400 && !fs::exists(socket); ++i)
            std::this_thread::sleep_for(10ms);
        const std::string run = home.sub("replay.run");
        for (const char* folder : { "replay.run", "replay.data", "replay.state" })
            fs::create_directories(home.sub(folder));
        ::chmod(run.c_str(), 0700);
        std::string out;
        const int updaterStatus = standin::runTool({ updater, "--headless", "--auto", "--time-scale=0" }, &out,
            { "TARVEL_VBUS=" + socket, "XDG_DATA_HOME=" + home.sub("replay.data"),
                "XDG_STATE_HOME=" + home.sub("replay.state"), "XDG_RUNTIME_DIR=" + run });
        const int simStatus = standin::endTool(sim, 20000ms);
        std::ifstream errorFile(errors);
        const std::string simErrors((std::istreambuf_iterator<char>(errorFile)), std::istreambuf_iterator<char>());
        EXPECT_EQ(updaterStatus, status) << out;
        EXPECT_NE(out.find(shows), std::string::npos) << out;
        EXPECT_EQ(simStatus, 0) << simErrors;
    }

    // The stick's arrival woke a scan while the worker talked to the device, and no scan read
    // the device between from and to.
    void expectScanLeftTheDeviceAlone(const FaultRunResult& run, const std::string& from, const std::string& to)
    {
        const size_t begin = run.log.find(from);
        ASSERT_NE(begin, std::string::npos) << run.log;
        const size_t end = run.log.find(to, begin);
        ASSERT_NE(end, std::string::npos) << run.log;
        const std::string during = run.log.substr(begin, end - begin);
        EXPECT_NE(during.find("DBT_DEVICEARRIVAL"), std::string::npos) << "the stick was not noticed\n" << run.log;
        EXPECT_GE(count(during, "a worker talks to the device, not read"), 1u) << run.log;
        EXPECT_EQ(count(during, "devinfoScan B"), 0u) << run.log;
    }

    void expectNoFalseSuccess()
    {
        std::lock_guard<std::mutex> lock(falseMutex);
        EXPECT_TRUE(falseSuccesses.empty()) << "claimed: " << falseSuccesses.front();
    }

    void expectStandInSound()
    {
        const auto problems = standIn->problems();
        EXPECT_TRUE(problems.empty()) << problems.front();
    }

    // What a Japanese model's whole update ends with, with a stick or without one.
    void expectJapaneseDone(const FaultRunResult& run, const std::map<std::string, std::string>& riders)
    {
        ASSERT_TRUE(run.workersEnded) << run.log;
        EXPECT_TRUE(run.ended) << run.log;
        EXPECT_EQ(run.status, 0) << run.message << "\n" << run.log;
        EXPECT_EQ(run.message, kDone);
        EXPECT_TRUE(deviceIsUpToDate());
        EXPECT_TRUE(fs::is_regular_file(device->driveRoot() + "Kanji_19x19.bin")) << "no language pack";
        EXPECT_EQ(ridersOnDrive(), riders);
        EXPECT_FALSE(backupHeldOnDisk());
        EXPECT_EQ(count(run.log, "- Nordic Thread"), 1u) << run.log;
        EXPECT_EQ(count(run.log, "Already Update Thread Active"), 0u);
        EXPECT_EQ(count(run.log, "Could Not Update Language Packs"), 0u);
        expectNoFalseSuccess();
        expectStandInSound();
    }

    // A Japanese model's whole update with a USB stick plugged in when the log shows trigger:
    // it ends as without the stick, no scan read the device from trigger to until, and the
    // stick stays mounted (it is not the updater's to unmount).
    void expectAStickArrivingChangesNothing(const std::string& trigger, const std::string& until)
    {
        plugIn(kJapaneseSummitColor);
        const auto riders = ridersOnDrive();
        FaultRunHooks hooks = watchingHooks();
        plugStickAt(hooks, trigger);
        const FaultRunResult run = runUpdaterOnce(hooks, 120s);
        ASSERT_TRUE(stickPlugged) << run.status << " " << run.message << "\n" << run.log;
        expectJapaneseDone(run, riders);
        expectScanLeftTheDeviceAlone(run, trigger, until);
        EXPECT_TRUE(standin::mountedAt(home.sub("stick"))) << "the stick is not the updater's to unmount";
    }

    testsupport::TempFolder home;
    UMockdevTestbed* bed = nullptr;
    std::unique_ptr<standin::FatDrive> drive;
    std::unique_ptr<devsim::Device> device;
    std::unique_ptr<standin::UsbStandIn> standIn;
    std::unique_ptr<standin::FatDrive> stickDrive;
    std::unique_ptr<standin::UsbStick> stick;
    std::atomic<bool> stickFired { false };
    std::atomic<bool> stickPlugged { false };
    std::atomic<bool> arrivalSeen { false };
    std::thread replug;
    int model = 0;
    bool japanese = false;
    std::string carried;
    std::mutex falseMutex;
    std::vector<std::string> falseSuccesses;
};

TEST_F(SystemUpdate, PeakProWithRidersDataIsUpdatedAndTheDataComesBackByteForByte)
{
    plugIn(kPeakPro);
    const auto riders = ridersOnDrive();
    ASSERT_FALSE(riders.empty());
    ASSERT_TRUE(drive->stillMounted());

    // The session is recorded as the updater's --record does, whichever backend serves it.
    const std::string recording = home.path() + "/session.jsonl";
    std::string error;
    ASSERT_TRUE(platform::startSessionRecording(recording, false, "tarvel-updater test", error)) << error;
    const FaultRunResult run = runUpdaterOnce(watchingHooks(), 90s);
    platform::stopSessionRecording();
    ASSERT_TRUE(run.workersEnded) << run.log;
    EXPECT_TRUE(run.ended) << run.log;
    EXPECT_EQ(run.status, 0) << run.message << "\n" << run.log;
    EXPECT_EQ(run.message, kDone);
    EXPECT_TRUE(deviceIsUpToDate());
    EXPECT_EQ(ridersOnDrive(), riders);
    expectReplaysOnTheBus(recording, 0, kDone);
    EXPECT_FALSE(backupHeldOnDisk());
    expectNoFalseSuccess();
    expectStandInSound();
    // The drive was really unmounted by the updater before it was ejected: the stand-in
    // takes an eject only for a drive that is no longer in the mount table.
    EXPECT_GE(standIn->ejects(), 1);
    // It re-enumerated as the bootloader and back, each time with a node of its own.
    const auto nodes = standIn->nodes();
    ASSERT_GE(nodes.size(), 3u);
    EXPECT_EQ(nodes[0], "hidraw0");
    EXPECT_EQ(nodes[1], "hidraw1");
    EXPECT_EQ(count(run.log, "NRF DFU START"), 1u) << "the wireless update was tried again\n" << run.log;
}

TEST_F(SystemUpdate, JapaneseModelGetsItsWirelessUpdateAndLanguagePacks)
{
    plugIn(kJapaneseSummitColor);
    const auto riders = ridersOnDrive();
    const FaultRunResult run = runUpdaterOnce(watchingHooks(), 120s);
    expectJapaneseDone(run, riders);
    EXPECT_GE(standIn->ejects(), 1);
}

TEST_F(SystemUpdate, RomRecoveryProgramsTheDeviceAndItStartsAgain)
{
    plugIn(std::string(kPeakPro) + ",face=rom");
    const FaultRunResult run = runUpdaterOnce(watchingHooks(), 90s, model);
    ASSERT_TRUE(run.workersEnded) << run.log;
    EXPECT_TRUE(run.ended) << run.log;
    EXPECT_EQ(run.status, 0) << run.message << "\n" << run.log;
    EXPECT_TRUE(deviceIsUpToDate());
    EXPECT_EQ(device->state()["face"].asString(), "application");
    expectNoFalseSuccess();
    expectStandInSound();
    ASSERT_FALSE(standIn->nodes().empty());
    EXPECT_EQ(standIn->nodes().front(), "hidraw0");
}

TEST_F(SystemUpdate, ADevicePulledMidWriteEndsTruthfullyAndTheNextRunFinishes)
{
    plugIn(kPeakPro);
    const auto riders = ridersOnDrive();
    FaultRunHooks hooks = watchingHooks();
    std::atomic<bool> pulled { false };
    hooks.onLog = [&](const std::string& text) {
        if (text.find("Sending bootloader program command") == std::string::npos || pulled.exchange(true))
            return;
        device->unplug();
        replug = std::thread([this] {
            std::this_thread::sleep_for(300ms);
            device->plug();
        });
    };
    const FaultRunResult first = runUpdaterOnce(hooks, 90s);
    ASSERT_TRUE(first.workersEnded) << first.log;
    EXPECT_TRUE(first.ended) << first.log;
    EXPECT_TRUE(pulled);
    expectNoFalseSuccess();
    EXPECT_TRUE(first.status == 0 || first.message.find(kProblem) != std::string::npos
        || first.message.find("We could not begin communication") != std::string::npos)
        << first.message << "\n" << first.log;
    if (replug.joinable())
        replug.join();
    const bool held = backupHeldOnDisk() && testsupport::filesBelow(localBackupFolder()) == riders;
    EXPECT_TRUE(ridersOnDrive() == riders || held) << "the rider's files are lost";

    ASSERT_TRUE(device->waitIdle(20000));
    const bool rom = device->state()["face"].asString() == "rom";
    const FaultRunResult second = runUpdaterOnce(watchingHooks(), 90s, rom ? model : -1);
    ASSERT_TRUE(second.workersEnded) << second.log;
    EXPECT_EQ(second.status, 0) << second.message << "\n" << second.log;
    EXPECT_TRUE(deviceIsUpToDate());
    EXPECT_EQ(ridersOnDrive(), riders);
    EXPECT_FALSE(backupHeldOnDisk());
    expectNoFalseSuccess();
    expectStandInSound();
}

TEST_F(SystemUpdate, AStickArrivingDuringTheWirelessUpdateChangesNothing)
{
    expectAStickArrivingChangesNothing("Sending UPDATE_NORDIC command", "Nordic Start C");
}

TEST_F(SystemUpdate, AStickArrivingDuringTheLanguagePacksChangesNothing)
{
    expectAStickArrivingChangesNothing("Sending KANJI_PROGRAM_FLASH command", "fully upgraded TEST PASS");
}

} // namespace

int main(int argc, char** argv)
{
    mockhid::runUnderMockPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

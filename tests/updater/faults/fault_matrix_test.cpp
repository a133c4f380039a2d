// The updater's fault matrix. Each row is one fault the simulated device can show, struck at
// one step of an update, and the outcome the unattended console run must end with. For every
// row: the run ends in bounded time with no worker left behind; no status line claims a
// success the device did not reach (checked against the simulator's own state at the moment
// the line is painted); the exit status is the row's; the rider's files are byte for byte on
// the drive or in the held backup; and a second run, with the faults gone, finishes the update
// and puts the rider's files back.
//
// A fault is put in place by a hook on the log text (or status line) that opens the step, on
// the thread that reports it and before that thread goes on, so it strikes the step's first
// command. A disconnect takes the device off the bus and plugs it in again a moment later,
// as a rider would.

#include "fault_run.h"
#include "platform/local_folders.h"
#include "platform/process.h"

#include "fake_volumes.h"
#include "folder_files.h"
#include "simulator.h"

#include "flash/firmware_catalog.h"
#include "platform/clock.h"
#include "platform/virtual_bus.h"
#include "storage/backup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using devsim::FaultKind;

// The wireless version the updater carries for models 11 to 16 (and the simulator's default
// for them).
const char kCarriedNrf[] = "2.13.33.26";
constexpr size_t kApplicationAddress = 0xA000;

const char kPeakPro[] = "model=13,version=12.40,nrf=1.10.31.39";
const char kJapaneseSummitColor[] = "model=12,variant=japanese,version=7.63,nrf=1.10.31.39";

enum class Action {
    None,       // no fault: the reference run
    Inject,     // the row's fault is put in place
    Disconnect, // the device leaves the bus and is plugged in again 300 ms later
    Unplug,     // the device leaves the bus and is not plugged in again in this run
};

struct MatrixRow {
    const char* name;    // the test's name
    const char* phase;   // the step of the update it strikes
    const char* fault;   // the fault, as the table names it
    const char* device;  // the simulated device
    const char* trigger; // the log text that opens the step; "status:" a second status line; "" before the run
    Action action;
    devsim::Fault spec;
    int exitStatus;      // the exit status the run must end with
    const char* shows;   // a text the outcome, a question or the last status must hold (truthful message)
    // When the device's return races the updater's own retries, the attempt may also end
    // with one of these failures (exit 1); every such ending is truthful and the next run
    // finishes.
    std::vector<const char*> orFailures = {};
    // The first run's limit: rows whose device falls silent wait out every reply limit.
    std::chrono::seconds limit = std::chrono::seconds(180);
};

void PrintTo(const MatrixRow& row, std::ostream* out) { *out << row.name; }

devsim::Fault fault(FaultKind kind, int count = 1, int skip = 0)
{
    devsim::Fault f;
    f.kind = kind;
    f.count = count;
    f.skip = skip;
    return f;
}

devsim::Fault commandStatus(int tag, uint32_t status)
{
    devsim::Fault f = fault(FaultKind::CommandStatus);
    f.commandTag = tag;
    f.status = status;
    return f;
}

devsim::Fault dataPhase(FaultKind kind, uint32_t afterBytes)
{
    devsim::Fault f = fault(kind);
    f.afterBytes = afterBytes;
    return f;
}

// The device stores the byte at offset of a write wrongly and answers success: on the next
// write, or on every one.
devsim::Fault corruptWrite(uint32_t offset, bool always)
{
    devsim::Fault f = fault(FaultKind::CorruptWrite);
    f.offset = offset;
    f.always = always;
    return f;
}

// Every report to the host is lost until the faults are cleared.
devsim::Fault droppedAlways()
{
    devsim::Fault f = fault(FaultKind::DropReport);
    f.always = true;
    return f;
}

const devsim::Fault kNoFault {};

// The truthful endings.
const char kDone[] = "Latest software is installed on device";
const char kProblem[] = "There was a problem updating your";
const char kWirelessProblem[] = "Please disconnect the Tarvel GPS device from the computer USB.";
const char kNoLanguagePacks[] = "Could Not Update Language Packs.";
const char kNoCommunication[] = "We could not begin communication with the Tarvel GPS.";

// clang-format off
const MatrixRow kMatrix[] = {
    { "PeakProReference", "whole update", "none", kPeakPro, "", Action::None, kNoFault, 0,
      "Latest software is installed on device" },
    { "JapaneseReference", "whole update", "none", kJapaneseSummitColor, "", Action::None, kNoFault, 0,
      "Latest software is installed on device" },
    { "ReadDeviceSilence", "reading the device", "silence", kPeakPro, "", Action::Inject, fault(FaultKind::Silence), 0,
      kDone },
    { "ReadDeviceDroppedReport", "reading the device", "lost report", kPeakPro, "", Action::Inject, fault(FaultKind::DropReport), 0,
      kDone },
    { "VersionQuerySilence", "wireless version query", "silence", kPeakPro, "Sending NRF_GET_VERSION command", Action::Inject, fault(FaultKind::Silence), 0,
      kDone },
    { "VersionQueryDroppedReport", "wireless version query", "lost report", kPeakPro, "Sending NRF_GET_VERSION command", Action::Inject, fault(FaultKind::DropReport), 0,
      kDone },
    { "ReadDeviceRepeatedReport", "reading the device", "repeated report", kPeakPro, "", Action::Inject, fault(FaultKind::RepeatReport), 0,
      kDone },
    { "ReadDeviceCorruptCrc", "reading the device", "corrupted CRC", kPeakPro, "", Action::Inject, fault(FaultKind::CorruptCrc), 0,
      kDone },
    { "VersionQueryRepeatedReport", "wireless version query", "repeated report", kPeakPro, "Sending NRF_GET_VERSION command", Action::Inject, fault(FaultKind::RepeatReport), 0,
      kDone },
    { "VersionQueryCorruptCrc", "wireless version query", "corrupted CRC", kPeakPro, "Sending NRF_GET_VERSION command", Action::Inject, fault(FaultKind::CorruptCrc), 0,
      kDone },
    { "BackupDisconnect", "backup", "disconnect", kPeakPro, "Save GPS Data To Local...", Action::Disconnect, kNoFault, 0,
      kDone },
    { "JumpSilence", "jump to the bootloader", "silence", kPeakPro, "Sending command JUMP_TO_BL", Action::Inject, fault(FaultKind::Silence), 1,
      kProblem },
    { "JumpDisconnect", "jump to the bootloader", "disconnect", kPeakPro, "Sending command JUMP_TO_BL", Action::Disconnect, kNoFault, 0,
      kDone },
    { "DriverWaitDisconnect", "driver wait", "disconnect", kPeakPro, "Waiting 45sec for drivers", Action::Disconnect, kNoFault, 1,
      kProblem, { "Failed to erase flash" } },
    { "EraseStatus", "erase", "error status 105", kPeakPro, "Erasing Flash", Action::Inject, commandStatus(0x02, 105), 1,
      kProblem },
    { "EraseSilence", "erase", "silence", kPeakPro, "Erasing Flash", Action::Inject, fault(FaultKind::Silence), 1,
      kProblem },
    { "WriteStatus", "write", "error status 10200", kPeakPro, "Sending bootloader program command", Action::Inject, commandStatus(0x04, 10200), 1,
      kProblem },
    { "WriteDisconnect", "write", "disconnect mid-transfer", kPeakPro, "Sending bootloader program command", Action::Inject, dataPhase(FaultKind::DisconnectInDataPhase, 4096), 0,
      kDone, { kProblem, kNoCommunication, "Program device failed" } },
    { "WriteAbort", "write", "data phase aborted", kPeakPro, "Sending bootloader program command", Action::Inject, dataPhase(FaultKind::AbortDataPhase, 4096), 1,
      kProblem },
    { "WriteSilence", "write", "silence", kPeakPro, "Sending bootloader program command", Action::Inject, fault(FaultKind::Silence), 1,
      kProblem },
    { "WriteDroppedReport", "write", "lost report", kPeakPro, "Sending bootloader program command", Action::Inject, fault(FaultKind::DropReport), 1,
      kProblem },
    { "ResetStatus", "reset", "error status 10000", kPeakPro, "Sending bootloader reset device", Action::Inject, commandStatus(0x0B, 10000), 0,
      kDone },
    { "ResetSilence", "reset", "silence", kPeakPro, "Sending bootloader reset device", Action::Inject, fault(FaultKind::Silence), 0,
      kDone },
    { "ResetDroppedReport", "reset", "lost report", kPeakPro, "Sending bootloader reset device", Action::Inject, fault(FaultKind::DropReport), 0,
      kDone },
    { "DiskResetSilence", "disk reset", "silence", kPeakPro, "Sending factory reset command", Action::Inject, fault(FaultKind::Silence), 1,
      kProblem },
    { "DiskResetDisconnect", "disk reset", "disconnect", kPeakPro, "Sending factory reset command", Action::Disconnect, kNoFault, 0,
      kDone },
    { "StagingDriveFull", "wireless staging", "drive full", kPeakPro, "Nordic Start B", Action::Inject, fault(FaultKind::DriveFull), 1,
      kWirelessProblem },
    { "StagingDriveStuck", "wireless staging", "drive will not unmount", kPeakPro, "Nordic Start B", Action::Inject, fault(FaultKind::DriveStuck), 1,
      kWirelessProblem },
    { "UpdateNordicSilence", "UPDATE_NORDIC", "silence", kPeakPro, "Sending UPDATE_NORDIC command", Action::Inject, fault(FaultKind::Silence), 0,
      kDone },
    { "UpdateNordicDroppedReport", "UPDATE_NORDIC", "lost report", kPeakPro, "Sending UPDATE_NORDIC command", Action::Inject, fault(FaultKind::DropReport), 0,
      kDone },
    { "UpdateNordicRepeatedReport", "UPDATE_NORDIC", "repeated report", kPeakPro, "Sending UPDATE_NORDIC command", Action::Inject, fault(FaultKind::RepeatReport), 0,
      kDone },
    { "UpdateNordicCorruptCrc", "UPDATE_NORDIC", "corrupted CRC", kPeakPro, "Sending UPDATE_NORDIC command", Action::Inject, fault(FaultKind::CorruptCrc), 0,
      kDone },
    { "UpdateNordicDisconnect", "UPDATE_NORDIC", "disconnect", kPeakPro, "Sending UPDATE_NORDIC command", Action::Disconnect, kNoFault, 0,
      kDone, { kWirelessProblem } },
    { "LanguagePacksDriveFull", "language packs", "drive full", kJapaneseSummitColor, "Nordic Start C", Action::Inject, fault(FaultKind::DriveFull), 1,
      kNoLanguagePacks },
    { "LanguagePacksCorruptCrc", "language packs", "corrupted CRC", kJapaneseSummitColor, "Sending KANJI_PROGRAM_FLASH command", Action::Inject, fault(FaultKind::CorruptCrc), 0,
      kDone },
    { "LanguagePacksDisconnect", "language packs", "disconnect", kJapaneseSummitColor, "Sending KANJI_PROGRAM_FLASH command", Action::Disconnect, kNoFault, 1,
      kNoLanguagePacks },
    { "RestoreDriveFull", "restore", "drive full", kPeakPro, "Save Local Data To GPS...", Action::Inject, fault(FaultKind::DriveFull), 0,
      kDone },
    { "RestoreDisconnect", "restore", "disconnect", kPeakPro, "Save Local Data To GPS...", Action::Disconnect, kNoFault, 1,
      "Could not restore your data to the GPS." },
    { "RestoreUnplugged", "restore", "unplugged", kPeakPro, "Save Local Data To GPS...", Action::Unplug, kNoFault, 1,
      "Your data is kept on this computer in" },
    // The read-back before the reset: a write stored wrongly is written again, or ends the run
    // with the device left in its bootloader; a read-back the device will not give is trusted.
    { "WriteStoredWronglyOnce", "write", "stored wrongly once", kPeakPro, "Sending bootloader program command", Action::Inject, corruptWrite(0x1000, false), 0,
      kDone },
    { "WriteStoredWronglyAlways", "write", "stored wrongly always", kPeakPro, "Sending bootloader program command", Action::Inject, corruptWrite(0x1000, true), 1,
      kProblem },
    { "ReadBackStatus", "read-back", "error status 10200", kPeakPro, "Reading back", Action::Inject, commandStatus(0x03, 10200), 0,
      kDone },
    { "ReadBackAbort", "read-back", "data phase aborted", kPeakPro, "Reading back", Action::Inject, dataPhase(FaultKind::AbortDataPhase, 4096), 0,
      kDone },
};

// A device that falls silent while it programs its language packs is waited for through every
// one of its 750 one-second replies (the reply limits are the device's, not scaled): about
// 12.5 minutes a row. They run in the long suite only (ctest -L long).
const MatrixRow kLongMatrix[] = {
    { "LanguagePacksSilence", "language packs", "silence", kJapaneseSummitColor, "Sending KANJI_PROGRAM_FLASH command", Action::Inject, fault(FaultKind::Silence), 1,
      kNoLanguagePacks, {}, std::chrono::seconds(1200) },
    { "LanguagePacksDroppedReport", "language packs", "lost report", kJapaneseSummitColor, "Sending KANJI_PROGRAM_FLASH command", Action::Inject, droppedAlways(), 1,
      kNoLanguagePacks, {}, std::chrono::seconds(1200) },
};
// clang-format on


class FaultMatrix : public ::testing::TestWithParam<MatrixRow> {
protected:
    void SetUp() override
    {
        platform::setTimeScale(0.0);
        platform::setDataHome(home.sub("data"));
        platform::setStateHome(home.sub("state"));
        platform::setEnvironment("XDG_RUNTIME_DIR", home.path());
        const MatrixRow& row = GetParam();
        devsim::DeviceConfig config;
        std::string error;
        ASSERT_TRUE(devsim::parseDeviceDescription(row.device, config, error)) << error;
        config.driveDir = home.sub("drive");
        model = config.model;
        japanese = config.japanese;
        sim = std::make_unique<devsim::Simulator>(config);
        ASSERT_TRUE(sim->start(home.sub("bus.sock"), &error)) << error;
        platform::selectVirtualBus(sim->socketPath());
        ASSERT_TRUE(sim->device().waitIdle(20000));
        initFirmwareCatalog();
        // The image the updater carries for this device, decoded into the test's own buffer.
        FirmwareImage image;
        ASSERT_TRUE(selectFirmwareImage(model, japanese ? 60 : 0, &image));
        carriedImage.resize(kImageBufferSize);
        const int length = decodeLz4Block(image.data, image.compressedSize, carriedImage.data(), int(carriedImage.size()));
        ASSERT_GT(length, 0);
        carriedImage.resize(size_t(length));
        carried = std::to_string(firmwareCatalog[size_t(model)][0]) + "." + std::to_string(firmwareCatalog[size_t(model)][1]);
    }

    void TearDown() override
    {
        if (replug.joinable())
            replug.join();
        if (sim)
            sim->stop();
        platform::selectVirtualBus("");
    }

    std::map<std::string, std::string> ridersOnDrive() { return testsupport::filesBelow(sim->device().driveRoot() + "Tarvel"); }
    std::map<std::string, std::string> ridersHeld() { return testsupport::filesBelow(localBackupFolder()); }
    bool backupHeldOnDisk() { return fs::exists(localBackupFolder() + ".held"); }

    // What the device holds now: its application's version (when it would start it) and its
    // wireless version.
    bool deviceHasCarriedFirmware()
    {
        const Json::Value state = sim->device().state();
        const Json::Value app = state["application"];
        if (!app["valid"].asBool() || std::to_string(app["major"].asInt()) + "." + std::to_string(app["minor"].asInt()) != carried)
            return false;
        // The whole image, not only its head: a write cut short can leave a head that starts.
        const std::vector<uint8_t> flash = sim->device().flashContents();
        return flash.size() >= kApplicationAddress + carriedImage.size()
            && std::equal(carriedImage.begin(), carriedImage.end(), flash.begin() + kApplicationAddress);
    }
    bool deviceIsUpToDate() { return deviceHasCarriedFirmware() && sim->device().state()["nrf_version"].asString() == kCarriedNrf; }

    // The hooks of a run: the fault at its trigger, and the watch on every success the
    // status lines claim.
    FaultRunHooks hooksFor(const MatrixRow* row)
    {
        FaultRunHooks hooks;
        auto strike = [this, row] {
            if (fired.exchange(true))
                return;
            if (row->action == Action::Inject) {
                sim->device().injectFault(row->spec);
            } else if (row->action == Action::Unplug) {
                sim->device().unplug();
            } else if (row->action == Action::Disconnect) {
                sim->device().unplug();
                replug = std::thread([this] {
                    std::this_thread::sleep_for(300ms);
                    sim->device().plug();
                });
            }
        };
        const std::string trigger = row ? row->trigger : "";
        const bool onStatus = trigger.rfind("status:", 0) == 0;
        const std::string wanted = onStatus ? trigger.substr(7) : trigger;
        if (row && !trigger.empty() && !onStatus) {
            hooks.onLog = [this, wanted, strike](const std::string& text) {
                if (!fired && text.find(wanted) != std::string::npos)
                    strike();
            };
        }
        hooks.onPaint = [this, row, onStatus, wanted, strike](const std::string& line1, const std::string& line2) {
            if (row && onStatus && !fired && line2.find(wanted) != std::string::npos)
                strike();
            const bool flashed = line1.size() > 16 && line1.compare(line1.size() - 16, 16, " Flashing success") == 0;
            const bool latest = line2 == "Latest software is installed on device";
            if ((flashed && !deviceHasCarriedFirmware()) || (latest && !deviceIsUpToDate())) {
                std::lock_guard<std::mutex> lock(falseMutex);
                falseSuccesses.push_back(line1 + " / " + line2);
            }
        };
        if (row && trigger.empty())
            strike();
        return hooks;
    }

    testsupport::TempFolder home;
    std::unique_ptr<devsim::Simulator> sim;
    int model = 0;
    bool japanese = false;
    std::string carried;
    std::vector<uint8_t> carriedImage;
    std::atomic<bool> fired { false };
    std::thread replug;
    std::mutex falseMutex;
    std::vector<std::string> falseSuccesses;
};

std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

std::string lastWords(const FaultRunResult& run)
{
    std::string text = run.message;
    if (!run.screens.empty())
        text += " | " + run.screens.back().first + " / " + run.screens.back().second;
    return oneLine(text);
}

bool runShows(const FaultRunResult& run, const std::string& text)
{
    if (run.message.find(text) != std::string::npos)
        return true;
    for (const auto& question : run.questions)
        if (question.find(text) != std::string::npos)
            return true;
    return !run.screens.empty()
        && (run.screens.back().first.find(text) != std::string::npos || run.screens.back().second.find(text) != std::string::npos);
}

TEST_P(FaultMatrix, EndsTruthfullyKeepsTheRidersDataAndALaterRunFinishes)
{
    const MatrixRow& row = GetParam();
    const auto riders = ridersOnDrive();
    ASSERT_FALSE(riders.empty());

    // The limit catches a run that never ends; a row that writes the image ten times (a write
    // stored wrongly every time) needs more than a minute in a sanitizer build.
    const FaultRunResult first = runUpdaterOnce(hooksFor(&row), row.limit);
    if (std::getenv("FAULT_MATRIX_LOG"))
        std::printf("==== first run\n%s\n", first.log.c_str());
    ASSERT_TRUE(first.workersEnded) << "a worker hangs after the run ended with " << first.result << " ("
                                    << first.message << "), last status "
                                    << (first.screens.empty() ? std::string("none")
                                                              : first.screens.back().first + " / " + first.screens.back().second)
                                    << "\n" << first.log;
    EXPECT_TRUE(first.ended) << "the run did not end\n" << first.log;
    if (row.action != Action::None) {
        EXPECT_TRUE(fired) << "the fault's step never came: " << row.trigger << "\n" << first.log;
    }
    {
        std::lock_guard<std::mutex> lock(falseMutex);
        EXPECT_TRUE(falseSuccesses.empty()) << "claimed: " << falseSuccesses.front();
    }
    bool alternative = false;
    for (const char* failure : row.orFailures)
        alternative = alternative || (first.status == 1 && runShows(first, failure));
    if (!alternative) {
        EXPECT_EQ(first.status, row.exitStatus) << lastWords(first) << "\n" << first.log;
        EXPECT_TRUE(runShows(first, row.shows)) << lastWords(first);
    }
    if (first.status == 0) {
        EXPECT_TRUE(deviceIsUpToDate());
    }
    if (replug.joinable())
        replug.join();

    // The rider's files: on the drive, or kept on this computer for the next run.
    const bool onDrive = ridersOnDrive() == riders;
    const bool held = backupHeldOnDisk() && ridersHeld() == riders;
    EXPECT_TRUE(onDrive || held) << "the rider's files are lost";

    // The next run, the faults gone.
    sim->device().clearFaults();
    if (!sim->device().state()["present"].asBool())
        sim->device().plug();
    ASSERT_TRUE(sim->device().waitIdle(20000));
    falseSuccesses.clear();
    const bool rom = sim->device().state()["face"].asString() == "rom";
    // Language packs that failed are not part of the done screen's check: the rider loads
    // them from the menu, which a console run does with --command=language-packs.
    const bool packsMissing = first.message == kNoLanguagePacks;
    const FaultRunResult second = runUpdaterOnce(hooksFor(nullptr), 60s, rom ? model : -1, japanese,
        packsMissing ? HeadlessCommand::LanguagePacks : HeadlessCommand::None);
    if (std::getenv("FAULT_MATRIX_LOG"))
        std::printf("==== second run\n%s\n", second.log.c_str());
    ASSERT_TRUE(second.workersEnded) << second.log;
    EXPECT_TRUE(second.ended);
    EXPECT_TRUE(falseSuccesses.empty());
    EXPECT_EQ(second.status, 0) << lastWords(second) << "\n" << second.log;
    EXPECT_TRUE(deviceIsUpToDate());
    EXPECT_TRUE(ridersOnDrive() == riders) << "the rider's files are not back on the drive";
    EXPECT_FALSE(backupHeldOnDisk());
    if (japanese) {
        EXPECT_TRUE(fs::is_regular_file(sim->device().driveRoot() + "Kanji_19x19.bin")) << "no language pack";
    }

    // The row of the table the closing note reproduces.
    std::printf("| %s | %s | %s | exit %d: %s | %s, %.1f s + %.1f s |\n", row.fault, row.phase, row.name, first.status,
        lastWords(first).c_str(), second.status == 0 ? "finished" : "NOT finished", first.seconds, second.seconds);
}

INSTANTIATE_TEST_SUITE_P(Updates, FaultMatrix, ::testing::ValuesIn(kMatrix),
    [](const ::testing::TestParamInfo<MatrixRow>& param) { return std::string(param.param.name); });
INSTANTIATE_TEST_SUITE_P(LongUpdates, FaultMatrix, ::testing::ValuesIn(kLongMatrix),
    [](const ::testing::TestParamInfo<MatrixRow>& param) { return std::string(param.param.name); });

} // namespace

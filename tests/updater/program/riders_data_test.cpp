// The rider's data across interrupted and repeated runs, with the device served by tarvel-devsim
// in a process of its own so that it outlives each run of the updater as a real one does: a
// held backup of an earlier run never costs newer data on the device, never goes onto another
// model, and a run stopped at any step of a Peak Pro update is finished by the next one with
// every file back. Unattended runs that cannot go on end, with status 1 and the reason.

#include "program_run.h"

#include "fake_volumes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::TempFolder;
namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>; // relative path -> bytes

std::string fileText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

Tree treeOf(const fs::path& folder)
{
    Tree tree;
    std::error_code ec;
    if (!fs::exists(folder, ec))
        return tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            tree[fs::relative(entry.path(), folder).generic_string()] = fileText(entry.path());
    return tree;
}

// Every file of want is in have with the same bytes.
::testing::AssertionResult holds(const Tree& have, const Tree& want)
{
    for (const auto& [path, bytes] : want) {
        auto it = have.find(path);
        if (it == have.end())
            return ::testing::AssertionFailure() << path << " is missing";
        if (it->second != bytes)
            return ::testing::AssertionFailure() << path << " differs";
    }
    return ::testing::AssertionSuccess();
}

// One simulated device in a process of its own, its bus at bus/, its drive at drive/.
struct Device {
    Device(const TempFolder& home, const std::string& name, const std::vector<std::string>& options)
        : bus(home.sub(name + ".sock"))
        , drive(home.sub(name + "-drive"))
    {
        std::vector<std::string> args = { "--socket", bus, "--drive-dir", drive };
        args.insert(args.end(), options.begin(), options.end());
        run = std::make_unique<ProgramRun>(home.path(), args, std::vector<std::string> {}, TARVEL_DEVSIM_PROGRAM);
        EXPECT_TRUE(waitForBus(bus)) << "the simulator never answered on " << bus;
    }
    ~Device()
    {
        run->signal(SIGTERM);
        run->finish();
    }
    fs::path tarvel() const { return fs::path(drive) / "Tarvel"; }
    std::string state() const { return busRequest(bus, R"({"op":"sim.state"})"); }
    std::string env() const { return "TARVEL_VBUS=" + bus; }

    std::string bus;
    std::string drive;
    std::unique_ptr<ProgramRun> run;
};

const std::vector<std::string> kPeakPro1240 = { "--model", "13", "--version", "12.40", "--time-scale", "0.05" };
const std::vector<std::string> kUnattended = { "--json", "--auto", "--time-scale=0.05" };

// Runs the updater until a status line (either line) holds text, then signals it.
bool runUntil(ProgramRun& run, const std::string& text, std::string* seen = nullptr)
{
    Json::Value event;
    while (run.nextEvent(event)) {
        if (event["event"] == "status"
            && (event["line1"].asString().find(text) != std::string::npos
                || event["line2"].asString().find(text) != std::string::npos))
            return true;
        if (event["event"] == "outcome")
            break;
    }
    if (seen)
        *seen = run.output();
    return false;
}

Json::Value outcomeOf(const std::string& output)
{
    const std::vector<Json::Value> events = jsonEvents(output);
    return events.empty() ? Json::Value() : events.back();
}

} // namespace

// Fault: a held backup of an interrupted run was put back over a device whose data had grown
// since, and the new ride was gone.
TEST(RidersData, ABackupOfAnInterruptedRunNeverCostsTheNewerDataOnTheDevice)
{
    TempFolder home;
    Device device(home, "peak", kPeakPro1240);
    const Tree before = treeOf(device.tarvel());
    ASSERT_FALSE(before.empty());

    ProgramRun first(home.path(), kUnattended, { device.env() });
    ASSERT_TRUE(runUntil(first, "Working..."));
    for (int i = 0; i < 500 && !fs::exists(home.sub("state/Tarvel.held")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(home.sub("state/Tarvel.held")));
    first.signal(SIGINT);
    EXPECT_EQ(first.finish(), 130);

    // The rider goes for a ride, and changes a setting.
    writeFile(device.tarvel() / "Rides/2026-12-10-0700.fit", std::string(40000, 'B'));
    Tree after = treeOf(device.tarvel());
    ASSERT_EQ(after.size(), before.size() + 1);

    ProgramRun next(home.path(), kUnattended, { device.env() });
    EXPECT_EQ(next.finish(), 0) << next.output();
    EXPECT_EQ(outcomeOf(next.output())["result"], "up-to-date") << next.output();
    EXPECT_NE(next.output().find("Resetting GPS Disk..."), std::string::npos);
    EXPECT_EQ(next.output().find("earlier run of the updater"), std::string::npos) << "asked about its own data";
    EXPECT_TRUE(holds(treeOf(device.tarvel()), after));
    // The earlier backup held nothing the fresh one does not: it is not kept as a second copy.
    EXPECT_FALSE(fs::exists(home.sub("state/Tarvel.kept")) && !fs::is_empty(home.sub("state/Tarvel.kept")));
    EXPECT_FALSE(fs::exists(home.sub("state/Tarvel.held")));
}

// Another device of the same model, with data of its own: the earlier backup is set aside,
// never merged onto it, and the rider is told where it is.
TEST(RidersData, AnotherDeviceOfTheModelGetsItsOwnBackupAndTheEarlierOneIsKept)
{
    TempFolder home;
    Tree firstData;
    {
        Device device(home, "first", kPeakPro1240);
        firstData = treeOf(device.tarvel());
        ProgramRun first(home.path(), kUnattended, { device.env() });
        ASSERT_TRUE(runUntil(first, "Working..."));
        for (int i = 0; i < 500 && !fs::exists(home.sub("state/Tarvel.held")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        first.signal(SIGINT);
        EXPECT_EQ(first.finish(), 130);
    }
    Device other(home, "other", kPeakPro1240);
    fs::remove_all(other.tarvel());
    writeFile(other.tarvel() / "Rides/other.fit", "other rider");
    const Tree otherData = treeOf(other.tarvel());

    ProgramRun next(home.path(), kUnattended, { other.env() });
    EXPECT_EQ(next.finish(), 0) << next.output();
    EXPECT_EQ(treeOf(other.tarvel()), otherData) << "the first rider's files reached the other device";
    EXPECT_NE(next.output().find("was set aside, not put on this GPS"), std::string::npos) << next.output();
    std::vector<fs::path> kept;
    for (const auto& entry : fs::directory_iterator(home.sub("state/Tarvel.kept")))
        kept.push_back(entry.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(treeOf(kept[0] / "Tarvel"), firstData);
    EXPECT_NE(next.output().find("Tarvel.kept/" + kept[0].filename().string()), std::string::npos)
        << "the rider is not told where";
}

// Fault: an unattended run answered Yes to putting a Peak Pro's backup on a Summit GPS.
TEST(RidersData, AnUnattendedRunNeverPutsAnotherModelsBackupOnTheDevice)
{
    TempFolder home;
    {
        Device peak(home, "peak", kPeakPro1240);
        ProgramRun first(home.path(), kUnattended, { peak.env() });
        ASSERT_TRUE(runUntil(first, "Working..."));
        for (int i = 0; i < 500 && !fs::exists(home.sub("state/Tarvel.held")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        first.signal(SIGINT);
        EXPECT_EQ(first.finish(), 130);
    }
    const Tree held = treeOf(home.sub("state/Tarvel"));
    ASSERT_FALSE(held.empty());

    Device summit(home, "summit", { "--model", "11", "--version", "14.51", "--time-scale", "0" });
    const Tree summitData = treeOf(summit.tarvel());
    ProgramRun run(home.path(), { "--json", "--auto", "--time-scale=0" }, { summit.env() });
    EXPECT_EQ(run.finish(), 0) << run.output();
    bool askedAndRefused = false;
    const std::vector<Json::Value> events = jsonEvents(run.output());
    for (size_t i = 0; i + 1 < events.size(); ++i)
        if (events[i]["event"] == "question" && events[i]["text"].asString().find("a Peak Pro") != std::string::npos)
            askedAndRefused = events[i + 1]["answer"] == "No";
    EXPECT_TRUE(askedAndRefused) << run.output();
    EXPECT_EQ(treeOf(summit.tarvel()), summitData);
    EXPECT_TRUE(fs::exists(home.sub("state/Tarvel.held")));
    EXPECT_EQ(treeOf(home.sub("state/Tarvel")), held);
}

// Fault: a backup that could not be made was tried again and again for ever by --auto, and a
// force update waited for ever after it.
TEST(RidersData, ABackupThatCannotBeMadeEndsTheUnattendedRunWithTheDeviceUntouched)
{
    for (const std::vector<std::string>& args :
        { kUnattended, std::vector<std::string> { "--json", "--command=force-update", "--time-scale=0.05" } }) {
        TempFolder home;
        Device device(home, "peak", kPeakPro1240);
        const Tree data = treeOf(device.tarvel());
        // The backup's record cannot be written: a folder stands where it goes.
        fs::create_directories(home.sub("state/Tarvel.origin"));
        ProgramRun run(home.path(), args, { device.env() });
        run.closeInput(); // a command's run answers its questions from standard input
        EXPECT_EQ(run.finish(std::chrono::seconds(60)), 1) << run.output();
        const Json::Value outcome = outcomeOf(run.output());
        EXPECT_EQ(outcome["result"], "failure") << run.output();
        EXPECT_NE(outcome["message"].asString().find("Could not back up the data on your GPS."), std::string::npos);
        EXPECT_NE(outcome["message"].asString().find("Your data is still on the GPS."), std::string::npos);
        size_t presses = 0;
        for (const Json::Value& event : jsonEvents(run.output()))
            presses += event["event"] == "status" && event["line2"] == "Working...";
        EXPECT_EQ(presses, 1u) << run.output();
        EXPECT_NE(device.state().find(R"("major":12)"), std::string::npos) << device.state();
        EXPECT_EQ(treeOf(device.tarvel()), data);
    }
}

// Fault: a restore that failed was followed by the done screen, and --auto waited.
TEST(RidersData, AFailedRestoreEndsWithOneAndSaysWhereTheDataIs)
{
    TempFolder home;
    Device device(home, "peak", kPeakPro1240);
    const Tree data = treeOf(device.tarvel());
    ProgramRun run(home.path(), kUnattended, { device.env() });
    // While the wireless firmware is programmed, something takes the place of the Tarvel folder.
    ASSERT_TRUE(runUntil(run, "Programming wireless firmware")) << run.output();
    fs::remove_all(device.tarvel());
    writeFile(device.tarvel(), "not a folder");
    EXPECT_EQ(run.finish(), 1) << run.output();
    const Json::Value outcome = outcomeOf(run.output());
    EXPECT_EQ(outcome["result"], "failure");
    const std::string message = outcome["message"].asString();
    EXPECT_NE(message.find("Could not restore your data to the GPS."), std::string::npos) << message;
    EXPECT_NE(message.find("/state/Tarvel."), std::string::npos) << message; // the folder it is in
    EXPECT_NE(message.find("run the updater again"), std::string::npos) << message;
    EXPECT_EQ(run.output().find("Latest software is installed on device"), std::string::npos);
    EXPECT_TRUE(fs::exists(home.sub("state/Tarvel.held")));
    EXPECT_EQ(treeOf(home.sub("state/Tarvel")), data);

    // Once the folder is the device's own again, the next run puts the data back.
    fs::remove(device.tarvel());
    fs::create_directories(device.tarvel());
    ProgramRun next(home.path(), kUnattended, { device.env() });
    EXPECT_EQ(next.finish(), 0) << next.output();
    EXPECT_EQ(treeOf(device.tarvel()), data);
    EXPECT_FALSE(fs::exists(home.sub("state/Tarvel.held")));
}

// A Peak Pro update stopped at each of its steps (the updater killed), the rider adding a ride
// before the next run: the next run finishes the update as a whole run would have, with the
// disk reset and the wireless update, and every file of the rider is on the device at the end.
class StoppedAtAStep : public ::testing::TestWithParam<const char*> { };

TEST_P(StoppedAtAStep, TheNextRunFinishesTheUpdateAndLosesNoData)
{
    TempFolder home;
    Device device(home, "peak", kPeakPro1240);
    Tree riders = treeOf(device.tarvel());
    ASSERT_FALSE(riders.empty());

    ProgramRun first(home.path(), kUnattended, { device.env() });
    ASSERT_TRUE(runUntil(first, GetParam())) << first.output();
    first.signal(SIGKILL);
    first.finish();
    const bool resetInFirst = first.output().find("Resetting GPS Disk...") != std::string::npos;

    // A ride recorded in between, where the device has its drive; on a device whose disk was
    // reset it is all that is on the drive besides what comes back.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string ride = "Rides/2026-12-10-1800.fit";
    writeFile(device.tarvel() / ride, "a ride between the runs");
    riders[ride] = "a ride between the runs";

    ProgramRun next(home.path(), kUnattended, { device.env() });
    EXPECT_EQ(next.finish(), 0) << next.output();
    EXPECT_EQ(outcomeOf(next.output())["result"], "up-to-date") << next.output();
    EXPECT_TRUE(holds(treeOf(device.tarvel()), riders)) << next.output();
    EXPECT_TRUE(resetInFirst || next.output().find("Resetting GPS Disk...") != std::string::npos)
        << "the disk reset was skipped:\n" << next.output();
    EXPECT_NE(next.output().find("Updating wireless firmware"), std::string::npos) << next.output();
    const std::string state = device.state();
    EXPECT_NE(state.find(R"("major":14)"), std::string::npos) << state;
    EXPECT_NE(state.find(R"("nrf_version":"2.13.33.26")"), std::string::npos) << state;
    EXPECT_FALSE(fs::exists(home.sub("state/Tarvel.held")));
    EXPECT_FALSE(fs::exists(home.sub("state/Tarvel.steps")));
}

INSTANTIATE_TEST_SUITE_P(PeakPro, StoppedAtAStep,
    ::testing::Values("Working...", "Programming GPS Firmware", "Resetting Device", "Resetting GPS Disk...",
        "Updating wireless firmware", "Restoring Data..."),
    [](const ::testing::TestParamInfo<const char*>& step) {
        std::string name;
        for (const char* c = step.param; *c; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c)))
                name.push_back(*c);
        return name;
    });

// Fault: a device plugged in after the start was read before its wireless version was known,
// shown with an "OK" and no offer, and an unattended run waited for ever. Also when one of the
// device's reports is lost on the way.
TEST(UnattendedRuns, ADevicePluggedInAfterTheStartGetsItsWirelessUpdateAndTheRunEnds)
{
    for (const bool dropReport : { false, true }) {
        TempFolder home;
        Device device(home, "summit", { "--model", "11", "--version", "14.51", "--nrf-version", "1.10.31.39", "--time-scale", "0" });
        ASSERT_NE(busRequest(device.bus, R"({"op":"sim.unplug"})").find("\"ok\":true"), std::string::npos);
        if (dropReport) {
            ASSERT_NE(busRequest(device.bus, R"({"op":"sim.fault","fault":"drop_report","skip":2})").find("\"ok\":true"),
                std::string::npos);
        }
        ProgramRun run(home.path(), { "--json", "--auto", "--time-scale=0" }, { device.env() });
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_NE(busRequest(device.bus, R"({"op":"sim.plug"})").find("\"ok\":true"), std::string::npos);
        EXPECT_EQ(run.finish(std::chrono::seconds(90)), 0) << run.output();
        EXPECT_EQ(outcomeOf(run.output())["result"], "up-to-date") << dropReport;
        EXPECT_NE(run.output().find(R"("text":"Update to 14.51")"), std::string::npos) << "no offer";
        EXPECT_NE(device.state().find(R"("nrf_version":"2.13.33.26")"), std::string::npos) << device.state();
    }
}

// A menu command started with no device attached says that it waits for one.
TEST(UnattendedRuns, ACommandWithoutADeviceSaysItWaitsForOne)
{
    TempFolder home;
    Device device(home, "none", { "--model", "11", "--version", "14.51", "--time-scale", "0" });
    ASSERT_NE(busRequest(device.bus, R"({"op":"sim.unplug"})").find("\"ok\":true"), std::string::npos);
    ProgramRun run(home.path(), { "--json", "--command=factory-reset" }, { device.env() });
    Json::Value event;
    bool told = false;
    while (!told && run.nextEvent(event, std::chrono::seconds(20)))
        told = event["event"] == "notice"
            && event["text"].asString().find("Waiting for a device to carry out factory-reset") != std::string::npos;
    EXPECT_TRUE(told) << run.output();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 130);
}

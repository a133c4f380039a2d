// tarvel-updater as a person or a script meets it: usage errors, whole runs on the simulated
// device, JSON lines, questions answered on standard input, a closed input, the single
// instance, recovery, menu commands and Ctrl-C. Every run has its own folders.

#include "program_run.h"

#include "fake_volumes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

bool emptyFolder(const std::string& path)
{
    return fs::is_empty(path);
}

// True when the texts appear in this order in text.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& pieces)
{
    size_t at = 0;
    for (const std::string& piece : pieces) {
        const size_t found = text.find(piece, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure()
                << "\"" << piece << "\" missing after offset " << at << " in:\n"
                << text;
        at = found + piece.size();
    }
    return ::testing::AssertionSuccess();
}

const char kUpToDate11[] = "--simulate=model=11,version=14.51";

// One request on the bus (a simulator's control op); its response line.
std::string busRequest(const std::string& socketPath, const std::string& request)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = request + "\n";
        if (::write(fd, line.data(), line.size()) == ssize_t(line.size())) {
            char c;
            while (::read(fd, &c, 1) == 1 && c != '\n')
                response.push_back(c);
        }
    }
    ::close(fd);
    return response;
}

// tarvel-devsim in a process of its own, serving the bus at home/bus.sock.
std::unique_ptr<ProgramRun> startDevice(const TempFolder& home, const std::vector<std::string>& options)
{
    const std::string bus = home.sub("bus.sock");
    std::vector<std::string> args = { "--socket", bus, "--drive-dir", home.sub("drive") };
    args.insert(args.end(), options.begin(), options.end());
    auto device
        = std::make_unique<ProgramRun>(home.path(), args, std::vector<std::string> {}, TARVEL_DEVSIM_PROGRAM);
    for (int i = 0; i < 500 && !fs::exists(bus); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(fs::exists(bus));
    return device;
}

} // namespace

TEST(UpdaterProgram, UsageErrorsExitTwoWithTheirReasonAndLeaveNothingBehind)
{
    TempFolder home;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        { { "--simulate=model=3" }, "unknown device description 'model=3'" },
        { { "--headless", "--simulate=colour=red" }, "unknown key 'colour'" },
        { { "--recover=99" }, "bad --recover value '99'" },
        { { "--recover=13,german", "--auto" }, "bad --recover value" },
        { { "--time-scale=soon" }, "bad time scale" },
        { { "--command=format" }, "unknown command 'format'" },
        { { "--bogus" }, "unknown option --bogus" },
        { { "firmware.bin" }, "unexpected argument" },
    };
    for (const auto& [args, reason] : cases) {
        const ProgramResult result = runProgram(home.path(), args);
        EXPECT_EQ(result.status, 2) << args[0];
        EXPECT_EQ(result.err.rfind("tarvel-updater: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("--help"), std::string::npos);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(emptyFolder(home.sub("tmp"))) << "a private folder was left behind";

    const ProgramResult badLog
        = runProgram(home.path(), { "--headless", "--log=" + home.sub("no/such/folder/u.log"), kUpToDate11 });
    EXPECT_EQ(badLog.status, 2);
    EXPECT_NE(badLog.err.find("cannot write the log file"), std::string::npos);
    EXPECT_TRUE(emptyFolder(home.sub("tmp")));
}

TEST(UpdaterProgram, HelpAndVersion)
{
    TempFolder home;
    const ProgramResult help = runProgram(home.path(), { "--help" });
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--simulate[=DEVICE]"), std::string::npos);
    EXPECT_NE(help.out.find("--command=NAME"), std::string::npos);
    const ProgramResult version = runProgram(home.path(), { "--version" });
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tarvel-updater ", 0), 0u);
}

TEST(UpdaterProgram, WholeUpdateOfTheBuiltInPeakProEndsUpToDateWithTheRidersFilesBack)
{
    TempFolder home;
    const ProgramResult result = runProgram(home.path(),
        { "--headless", "--auto", "--time-scale=0", "--simulate=drive-dir=" + home.sub("drive") });
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(inOrder(result.out,
        { "Please connect your / Tarvel GPS Device", "Peak Pro connected / Ver: 12.40", "[ Update to 14.51 ]",
            "-> OK (answered automatically)", "!! Do not unplug GPS", "Peak Pro connected / Erasing",
            "Peak Pro Flashing success", "Resetting GPS Disk...", "Restoring Data...",
            "Peak Pro connected / Ver: 14.51-1333026 -- Latest software is installed on device", "[ OK ]",
            "Latest software is installed on device" }));
    // The update alert offers a web page: --auto says No and no browser is asked for.
    EXPECT_TRUE(inOrder(result.out, { "[Update Alert]", "-> No (answered automatically)" }));
    EXPECT_EQ(result.out.find("Open this page"), std::string::npos);
    EXPECT_EQ(result.err, "");

    // The rider's files as the simulated device had them before the update.
    EXPECT_EQ(fileText(home.sub("drive/Tarvel/Settings.fit")), "TARVEL-SETTINGS rider=demo units=metric\n");
    EXPECT_EQ(
        fileText(home.sub("drive/Tarvel/Rides/2026-05-01-0930.fit")), std::string(2048, '\x5A') + "ride-1\n");
    EXPECT_EQ(
        fileText(home.sub("drive/Tarvel/Rides/2026-05-03-1712.fit")), std::string(1024, '\xA5') + "ride-2\n");
    // The simulated run's staging, backup and socket were private, and are gone.
    EXPECT_TRUE(emptyFolder(home.sub("tmp")));
    EXPECT_TRUE(emptyFolder(home.sub("state")));
    EXPECT_TRUE(emptyFolder(home.sub("data")));
}

TEST(UpdaterProgram, JsonIsOneEventPerLineFromFirstStatusToOutcome)
{
    TempFolder home;
    const ProgramResult result
        = runProgram(home.path(), { "--json", "--auto", "--time-scale=0", kUpToDate11 });
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::vector<Json::Value> events = jsonEvents(result.out);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front()["event"], "status");
    EXPECT_EQ(events.front()["line1"], "Please connect your\nTarvel GPS Device");
    EXPECT_EQ(events.back()["event"], "outcome");
    EXPECT_EQ(events.back()["status"], 0);
    EXPECT_EQ(events.back()["result"], "up-to-date");

    bool connected = false;
    bool latest = false;
    int logs = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const Json::Value& e = events[i];
        ASSERT_TRUE(e.isMember("event")) << i;
        if (e["event"] == "status" && e["line1"].asString().find("Summit GPS connected") == 0)
            connected = true;
        if (e["event"] == "status" && e["line2"] == "Latest software is installed on device")
            latest = connected;
        if (e["event"] == "log")
            ++logs;
        if (e["event"] == "question") {
            ASSERT_LT(i + 1, events.size());
            EXPECT_EQ(events[i + 1]["event"], "answer") << "a question is followed by its answer";
            EXPECT_EQ(events[i + 1]["by"], "auto");
        }
    }
    EXPECT_TRUE(latest) << "the done screen after the connected text";
    EXPECT_GT(logs, 0);
    EXPECT_NE(result.out.find("deviceScan BEGIN"), std::string::npos);
}

TEST(UpdaterProgram, QuestionsAreAnsweredOnStandardInputByNumberOrName)
{
    TempFolder home;
    ProgramRun run(home.path(), { "--json", "--time-scale=0", "--command=factory-reset", kUpToDate11 });
    Json::Value event;
    std::vector<std::string> answers;
    bool refusedOnce = false;
    while (run.nextEvent(event)) {
        if (event["event"] == "question") {
            const std::string caption = event["caption"].asString();
            if (caption == "Update Alert") {
                run.write("2\n"); // No, by its number
            } else if (caption == "FACTORY RESET") {
                if (!refusedOnce)
                    run.write("perhaps\n"); // not a button: asked again
                run.write("YES\n");
                refusedOnce = true;
            } else {
                run.write("1\n");
            }
        }
        if (event["event"] == "answer")
            answers.push_back(event["answer"].asString() + "/" + event["by"].asString());
        if (event["event"] == "outcome")
            break;
    }
    EXPECT_EQ(event["event"], "outcome");
    EXPECT_EQ(event["status"], 0) << run.output();
    EXPECT_EQ(event["result"], "command-done");
    EXPECT_EQ(run.finish(), 0);
    EXPECT_NE(std::find(answers.begin(), answers.end(), "No/input"), answers.end());
    EXPECT_NE(std::find(answers.begin(), answers.end(), "Yes/input"), answers.end());
    EXPECT_NE(std::find(answers.begin(), answers.end(), "OK/input"), answers.end());
    EXPECT_TRUE(inOrder(run.output(),
        { "FACTORY RESET", "Please answer Yes or No", "\"answer\":\"Yes\"", "Sending Factory Reset",
            "Wait for Device to Reconnect" }));
}

TEST(UpdaterProgram, ClosedInputTakesTheSafeAnswerAndSaysSo)
{
    TempFolder home;
    const ProgramResult reset
        = runProgram(home.path(), { "--headless", "--time-scale=0", "--command=factory-reset", kUpToDate11 });
    EXPECT_EQ(reset.status, 1) << reset.out;
    EXPECT_TRUE(inOrder(reset.out,
        { "[FACTORY RESET] Do you want to restore factory defaults?",
            "-> No (standard input is closed: the safe answer is taken)",
            "The command factory-reset was not carried out." }));
    EXPECT_EQ(reset.out.find("Sending Factory Reset"), std::string::npos);

    // Nobody can press the offered update either: the run ends, the device untouched.
    const ProgramResult offer = runProgram(home.path(), { "--headless", "--time-scale=0", "--simulate" });
    EXPECT_EQ(offer.status, 1) << offer.out;
    EXPECT_TRUE(inOrder(offer.out, { "[ Update to 14.51 ]", "Standard input is closed" }));
    EXPECT_EQ(offer.out.find("Erasing"), std::string::npos);
}

TEST(UpdaterProgram, SecondInstanceIsRefusedAndCtrlCEndsTheFirst)
{
    TempFolder home;
    ProgramRun first(home.path(), { "--json", "--time-scale=0", kUpToDate11 });
    Json::Value event;
    bool shown = false;
    while (!shown && first.nextEvent(event))
        shown = event["event"] == "status" && event["line2"] == "Latest software is installed on device";
    ASSERT_TRUE(shown) << first.output();

    const ProgramResult second = runProgram(home.path(), { "--headless", "--simulate" });
    EXPECT_EQ(second.status, 3);
    EXPECT_NE(second.out.find("You already have updater running."), std::string::npos);
    EXPECT_EQ(second.out.find("Please connect"), std::string::npos);

    first.signal(SIGINT);
    EXPECT_EQ(first.finish(), 130);
    const std::vector<Json::Value> events = jsonEvents(first.output());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "outcome");
    EXPECT_EQ(events.back()["status"], 130);
    EXPECT_EQ(events.back()["result"], "interrupted");

    // The lock went with the first process: a new run starts.
    const ProgramResult third
        = runProgram(home.path(), { "--headless", "--auto", "--time-scale=0", kUpToDate11 });
    EXPECT_EQ(third.status, 0) << third.out;
}

TEST(UpdaterProgram, CtrlCInTheMiddleOfProgrammingSaysTheNextRunFinishesIt)
{
    TempFolder home;
    ProgramRun run(
        home.path(), { "--json", "--auto", "--time-scale=0.05", "--simulate=model=11,version=7.63" });
    Json::Value event;
    bool programming = false;
    while (!programming && run.nextEvent(event))
        programming = event["event"] == "status"
            && event["line1"].asString().find("connected\nErasing") != std::string::npos;
    ASSERT_TRUE(programming) << run.output();
    run.signal(SIGINT);
    EXPECT_EQ(run.finish(), 130);
    const std::vector<Json::Value> events = jsonEvents(run.output());
    ASSERT_FALSE(events.empty());
    const Json::Value& outcome = events.back();
    EXPECT_EQ(outcome["event"], "outcome");
    EXPECT_EQ(outcome["status"], 130);
    EXPECT_NE(outcome["message"].asString().find("come back in its bootloader"), std::string::npos)
        << outcome["message"].asString();
    EXPECT_TRUE(emptyFolder(home.sub("tmp")));
}

TEST(UpdaterProgram, RecoveryTakesItsAnswerFromTheCommandLineOrThePrompt)
{
    TempFolder home;
    const ProgramResult given = runProgram(
        home.path(), { "--json", "--auto", "--time-scale=0", "--recover=13", "--simulate=face=rom" });
    EXPECT_EQ(given.status, 0) << given.out;
    EXPECT_TRUE(inOrder(given.out,
        { "Recovery Mode Carefully Choose Your Device", "\"answer\":\"13,english\"", "\"by\":\"option\"",
            "Latest software is installed on device" }));

    const ProgramResult unanswered
        = runProgram(home.path(), { "--headless", "--auto", "--time-scale=0", "--simulate=face=rom" });
    EXPECT_EQ(unanswered.status, 1);
    EXPECT_NE(unanswered.out.find("--recover=TYPE"), std::string::npos);

    ProgramRun typed(
        home.path(), { "--json", "--time-scale=0", "--simulate=face=rom,model=12,variant=japanese" });
    Json::Value event;
    while (typed.nextEvent(event)) {
        if (event["event"] == "question" && event["caption"] == "Emergency Recovery Mode") {
            typed.write("17\nG2 SummitC, Japanese\n");
        } else if (event["event"] == "question") {
            typed.write("no\n");
        }
        if (event["event"] == "status" && event["line2"] == "Latest software is installed on device")
            break;
    }
    typed.closeInput(); // nobody is left to press the done screen's OK
    EXPECT_EQ(typed.finish(), 0) << typed.output();
    EXPECT_TRUE(inOrder(typed.output(),
        { "Please type a device number 4 to 16", "\"answer\":\"12,japanese\"", "Summit Color connected" }));
}

TEST(UpdaterProgram, MenuCommandsAboutAndShowLog)
{
    TempFolder home;
    const ProgramResult about = runProgram(
        home.path(), { "--headless", "--auto", "--time-scale=0", "--command=about", kUpToDate11 });
    EXPECT_EQ(about.status, 0) << about.out;
    EXPECT_TRUE(inOrder(about.out, { "[About]", "-> OK", "The command about completed." }));

    const ProgramResult log = runProgram(home.path(),
        { "--headless", "--time-scale=0", "--command=show-log", "--log=" + home.sub("u.log"), kUpToDate11 });
    EXPECT_EQ(log.status, 0) << log.out;
    EXPECT_TRUE(inOrder(log.out, { "---- log ----", "deviceScan BEGIN", "The command show-log completed." }));
    EXPECT_NE(fileText(home.sub("u.log")).find("deviceScan BEGIN"), std::string::npos);
    EXPECT_EQ(log.err, "");

    const ProgramResult verbose
        = runProgram(home.path(), { "--headless", "--auto", "--verbose", "--time-scale=0", kUpToDate11 });
    EXPECT_EQ(verbose.status, 0);
    EXPECT_NE(verbose.err.find("deviceScan BEGIN"), std::string::npos);
    EXPECT_EQ(verbose.out.find("deviceScan BEGIN"), std::string::npos);
}

TEST(UpdaterProgram, DeviceCommandsCompleteOrSayWhyNot)
{
    TempFolder home;
    const std::string japanese12 = "--simulate=model=12,variant=japanese,version=14.51";
    const std::vector<std::pair<std::string, std::string>> commands = {
        { "erase-keys", "The encryption keys were erased." },
        { "language-packs", "The command language-packs completed." },
        { "force-update", "The command force-update completed." },
    };
    for (const auto& [command, said] : commands) {
        const ProgramResult result = runProgram(
            home.path(), { "--headless", "--auto", "--time-scale=0", "--command=" + command, japanese12 });
        EXPECT_EQ(result.status, 0) << command << "\n" << result.out << "\n" << result.err;
        EXPECT_NE(result.out.find(said), std::string::npos) << result.out;
    }
    // The force update went through the flash and the wireless update once more.
    const ProgramResult force = runProgram(
        home.path(), { "--headless", "--auto", "--time-scale=0", "--command=force-update", japanese12 });
    EXPECT_TRUE(inOrder(force.out,
        { "Summit Color connected / Erasing", "Summit Color Flashing success",
            "Latest software is installed on device", "The command force-update completed." }));

    // The language packs are for Japanese builds only: the menu entry stays disabled.
    const ProgramResult standard = runProgram(
        home.path(), { "--headless", "--auto", "--time-scale=0", "--command=language-packs", kUpToDate11 });
    EXPECT_EQ(standard.status, 1);
    EXPECT_NE(
        standard.out.find("The command language-packs is not available for this device."), std::string::npos);
    EXPECT_EQ(standard.out.find("Sending Command to appy NEW Language Pack"), std::string::npos);

    // Erasing the keys answered No: nothing is sent.
    ProgramRun refused(home.path(), { "--json", "--time-scale=0", "--command=erase-keys", japanese12 });
    Json::Value event;
    while (refused.nextEvent(event)) {
        if (event["event"] == "question")
            refused.write("No\n");
        if (event["event"] == "outcome")
            break;
    }
    EXPECT_EQ(event["result"], "command-refused") << refused.output();
    EXPECT_EQ(refused.finish(), 1);
    EXPECT_EQ(refused.output().find("Make sure to restart your GPS"), std::string::npos);
}

// A device served by tarvel-devsim in its own process outlives the updater, as a real one does:
// Ctrl-C in the middle of programming leaves it in its bootloader with the rider's data held on
// this computer, and the next run finishes the update and puts the data back.
TEST(UpdaterProgram, TheRunAfterCtrlCInProgrammingFinishesTheUpdateWithTheRidersFiles)
{
    TempFolder home;
    const std::string bus = home.sub("bus.sock");
    std::unique_ptr<ProgramRun> device
        = startDevice(home, { "--model", "13", "--version", "12.40", "--time-scale", "0.05" });
    const std::string settings = fileText(home.sub("drive/Tarvel/Settings.fit"));
    const std::string ride = fileText(home.sub("drive/Tarvel/Rides/2026-05-01-0930.fit"));
    ASSERT_FALSE(settings.empty());

    ProgramRun first(home.path(), { "--json", "--auto", "--time-scale=0.05" }, { "TARVEL_VBUS=" + bus });
    Json::Value event;
    bool programming = false;
    while (!programming && first.nextEvent(event))
        programming = event["event"] == "status"
            && event["line1"].asString().find("Programming GPS Firmware") != std::string::npos;
    ASSERT_TRUE(programming) << first.output();
    first.signal(SIGINT);
    EXPECT_EQ(first.finish(), 130);
    EXPECT_NE(first.output().find("the next run puts it back"), std::string::npos) << first.output();
    EXPECT_TRUE(fs::exists(home.sub("state/Tarvel.held")));

    ProgramRun next(home.path(), { "--headless", "--auto", "--time-scale=0.05" }, { "TARVEL_VBUS=" + bus });
    next.closeInput();
    EXPECT_EQ(next.finish(), 0) << next.output();
    EXPECT_TRUE(inOrder(next.output(), { "Restoring Data...", "Latest software is installed on device" }));
    EXPECT_EQ(fileText(home.sub("drive/Tarvel/Settings.fit")), settings);
    EXPECT_EQ(fileText(home.sub("drive/Tarvel/Rides/2026-05-01-0930.fit")), ride);
    EXPECT_FALSE(fs::exists(home.sub("state/Tarvel.held")));
    device->signal(SIGTERM);
    EXPECT_EQ(device->finish(), 0);
}

TEST(UpdaterProgram, AFailureMessageEndsTheRunWithOne)
{
    TempFolder home;
    const std::string bus = home.sub("bus.sock");
    std::unique_ptr<ProgramRun> device
        = startDevice(home, { "--model", "11", "--version", "7.63", "--time-scale", "0" });
    // The drive takes no staged file: the wireless update after the flash fails every time.
    ASSERT_NE(
        busRequest(bus, R"({"op":"sim.fault","fault":"drive_full"})").find("\"ok\":true"), std::string::npos);

    ProgramRun run(home.path(), { "--headless", "--auto", "--time-scale=0.01" }, { "TARVEL_VBUS=" + bus });
    run.closeInput();
    EXPECT_EQ(run.finish(), 1) << run.output();
    EXPECT_TRUE(inOrder(run.output(),
        { "Summit GPS Flashing success",
            "[Wireless Firmware Update Problem] Please disconnect the Tarvel GPS device", "-> OK",
            "Please disconnect the Tarvel GPS device from the computer USB." }));
    EXPECT_EQ(run.output().find("Latest software is installed on device"), std::string::npos);
    device->signal(SIGTERM);
    EXPECT_EQ(device->finish(), 0);
}

// The device of tarvel-devsim stores one byte of its next write wrongly: the updater's
// read-back finds it and writes again; with --no-verify the program leaves the read-back out.
TEST(UpdaterProgram, TheWrittenFirmwareIsReadBackUnlessNoVerifyIsGiven)
{
    for (const bool verify : { true, false }) {
        SCOPED_TRACE(verify ? "verify" : "--no-verify");
        TempFolder home;
        const std::string bus = home.sub("bus.sock");
        std::unique_ptr<ProgramRun> device = startDevice(
            home, { "--model", "11", "--version", "7.63", "--time-scale", "0", "--fault", "corrupt_write,offset=4096" });
        std::vector<std::string> args = { "--headless", "--auto", "--time-scale=0", "--verbose" };
        if (!verify)
            args.push_back("--no-verify");
        ProgramRun run(home.path(), args, { "TARVEL_VBUS=" + bus });
        run.closeInput();
        EXPECT_EQ(run.finish(), 0) << run.output();
        const std::string log = run.errorOutput();
        if (verify) {
            EXPECT_TRUE(inOrder(log,
                { "Read-back differs from the image: first at 0xb000, 1 bytes differ",
                    "Verify failed - erasing and programming again", "Read-back matches the image",
                    "Sending bootloader reset device" }))
                << log;
        } else {
            EXPECT_NE(log.find("Read-back of the written firmware skipped"), std::string::npos) << log;
            EXPECT_EQ(log.find("Reading back"), std::string::npos);
        }
        EXPECT_NE(run.output().find("Latest software is installed on device"), std::string::npos);
        device->signal(SIGTERM);
        EXPECT_EQ(device->finish(), 0);
    }
}

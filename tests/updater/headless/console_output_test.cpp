// What the console prints: status lines once per change, the log where it was asked for,
// questions and answers, and one well-formed JSON object per line in JSON mode.

#include "ui/headless/console_output.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string contents(FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    return text;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

std::vector<Json::Value> events(const std::string& text)
{
    std::vector<Json::Value> result;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (const std::string& line : lines(text)) {
        Json::Value value;
        std::string errors;
        EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &value, &errors)) << line << errors;
        EXPECT_TRUE(value.isObject()) << line;
        result.push_back(value);
    }
    return result;
}

struct Files {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    FILE* log = std::tmpfile();
    ~Files()
    {
        std::fclose(out);
        std::fclose(err);
        std::fclose(log);
    }
    ConsoleSinks sinks(bool json, bool verbose, bool withLog = false) const
    {
        ConsoleSinks s;
        s.out = out;
        s.err = err;
        s.logFile = withLog ? log : nullptr;
        s.json = json;
        s.verbose = verbose;
        return s;
    }
};

} // namespace

TEST(ConsoleOutput, StatusLinesPrintedOncePerChangeAsARiderReadsThem)
{
    Files files;
    {
        ConsoleOutput console(files.sinks(false, false));
        console.status("Please connect your\nTarvel GPS Device", " ");
        console.status("Please connect your\nTarvel GPS Device", " ");
        console.status("Peak Pro connected\nVer: 12.40\n", "");
        console.status("Peak Pro connected\nVer: 12.40\n", "Working...");
        console.status("Peak Pro connected\nProgramming GPS Firmware", "Step 3 of 3\n25% done");
        // A change a rider cannot see (trailing blanks) prints nothing new.
        console.status("Peak Pro connected\nProgramming GPS Firmware ", "Step 3 of 3\n25% done");
    }
    EXPECT_EQ(lines(contents(files.out)),
        (std::vector<std::string> { "Please connect your / Tarvel GPS Device",
            "Peak Pro connected / Ver: 12.40", "Peak Pro connected / Ver: 12.40 -- Working...",
            "Peak Pro connected / Programming GPS Firmware -- Step 3 of 3 / 25% done" }));
    EXPECT_EQ(contents(files.err), "");
}

TEST(ConsoleOutput, LogGoesToStandardErrorOnlyWhenVerboseAndAlwaysToTheLogFile)
{
    Files quiet;
    {
        ConsoleOutput console(quiet.sinks(false, false, true));
        const char text[] = "\r\ndeviceScan BEGIN\r\n";
        console.log(text, sizeof text - 1);
    }
    EXPECT_EQ(contents(quiet.err), "");
    EXPECT_EQ(contents(quiet.out), "");
    EXPECT_EQ(contents(quiet.log), "\ndeviceScan BEGIN\n");

    Files verbose;
    {
        ConsoleOutput console(verbose.sinks(false, true));
        console.log("idx:(0)-VID_2B29\r\nignored tail", 18);
    }
    EXPECT_EQ(contents(verbose.err), "idx:(0)-VID_2B29\n");
    EXPECT_EQ(contents(verbose.out), "");
}

TEST(ConsoleOutput, ShownLogWindowPrintsWhatItHoldsThenEachNewText)
{
    Files files;
    {
        ConsoleOutput console(files.sinks(false, false));
        console.log("first\r\n", 7);
        console.showLog(true);
        console.log("second\n", 7);
        console.showLog(false);
        console.log("third\n", 6);
    }
    const std::string out = contents(files.out);
    EXPECT_NE(out.find("first\n"), std::string::npos);
    EXPECT_NE(out.find("second\n"), std::string::npos);
    EXPECT_EQ(out.find("third"), std::string::npos);
    EXPECT_LT(out.find("first"), out.find("second"));
}

TEST(ConsoleOutput, QuestionShowsCaptionAndNumberedButtonsAndTheAnswerSaysWhoGaveIt)
{
    Files files;
    {
        ConsoleOutput console(files.sinks(false, false));
        console.question(
            "Update Alert", "Do you want to see the step by step directions?", MessageBoxKind::YesNo);
        console.answer(MessageBoxAnswer::No, AnswerSource::ClosedInput);
        console.question(
            "", "Please do not unplug your device.  This will take a few minutes.", MessageBoxKind::OkCancel);
        console.answer(MessageBoxAnswer::Ok, AnswerSource::Auto);
    }
    const std::string out = contents(files.out);
    EXPECT_NE(out.find("[Update Alert] Do you want to see the step by step directions?\n  1) Yes  2) No"),
        std::string::npos);
    EXPECT_NE(out.find("-> No (standard input is closed"), std::string::npos);
    EXPECT_NE(out.find("1) OK  2) Cancel"), std::string::npos);
    EXPECT_NE(out.find("-> OK (answered automatically)"), std::string::npos);
}

TEST(ConsoleOutput, JsonModeIsOneObjectPerLinePerEvent)
{
    Files files;
    {
        ConsoleOutput console(files.sinks(true, false));
        console.status("Peak Pro connected\nVer: 12.40\n", "");
        console.status("Peak Pro connected\nVer: 12.40\n", ""); // unchanged: no event
        console.button(true, "Update to 14.51", "");
        console.log("line with \"quotes\"\r\n", 20);
        console.question("FACTORY RESET", "Do you want to restore factory defaults?", MessageBoxKind::YesNo);
        console.answer(MessageBoxAnswer::Yes, AnswerSource::Person);
        console.notice("note\nwith a line end");
        console.outcome(0, "up-to-date", "Latest software is installed on device");
        // A worker still running as the process ends says nothing after the outcome.
        console.status("late", "line");
        console.log("late log\n", 9);
        console.notice("late notice");
    }
    EXPECT_EQ(contents(files.err), "");
    const std::vector<Json::Value> all = events(contents(files.out));
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[0]["event"], "status");
    EXPECT_EQ(all[0]["line1"], "Peak Pro connected\nVer: 12.40\n");
    EXPECT_EQ(all[0]["line2"], "");
    EXPECT_EQ(all[1]["event"], "button");
    EXPECT_EQ(all[1]["text"], "Update to 14.51");
    EXPECT_TRUE(all[1]["visible"].asBool());
    EXPECT_EQ(all[2]["event"], "log");
    EXPECT_EQ(all[2]["text"], "line with \"quotes\"\r\n");
    EXPECT_EQ(all[3]["event"], "question");
    EXPECT_EQ(all[3]["caption"], "FACTORY RESET");
    ASSERT_EQ(all[3]["buttons"].size(), 2u);
    EXPECT_EQ(all[3]["buttons"][0], "Yes");
    EXPECT_EQ(all[3]["buttons"][1], "No");
    EXPECT_EQ(all[4]["event"], "answer");
    EXPECT_EQ(all[4]["answer"], "Yes");
    EXPECT_EQ(all[4]["by"], "input");
    EXPECT_EQ(all[5]["event"], "notice");
    EXPECT_EQ(all[5]["text"], "note\nwith a line end");
    EXPECT_EQ(all[6]["event"], "outcome");
    EXPECT_EQ(all[6]["status"], 0);
    EXPECT_EQ(all[6]["result"], "up-to-date");
}

TEST(ConsoleOutput, ButtonPrintedWhenItShowsOrItsLabelChanges)
{
    Files files;
    {
        ConsoleOutput console(files.sinks(false, false));
        console.button(false, "OK", "");
        console.button(true, "Update to 14.51", "(press Enter to press it)");
        console.button(true, "Update to 14.51", "(press Enter to press it)");
        console.button(false, "Update to 14.51", "");
        console.button(true, "OK", "");
    }
    EXPECT_EQ(lines(contents(files.out)),
        (std::vector<std::string> { "[ Update to 14.51 ]  (press Enter to press it)", "[ OK ]" }));
}

TEST(ConsoleOutput, NoSpinnerWithoutATerminal)
{
    Files files;
    {
        ConsoleOutput console(files.sinks(false, false));
        console.progress(true);
        console.status("a", "b");
        console.progress(false);
    }
    EXPECT_EQ(contents(files.out), "a -- b\n");
}

TEST(ConsoleOutput, SpinnerIsClearedBeforeEveryLine)
{
    Files files;
    {
        ConsoleSinks sinks = files.sinks(false, false);
        sinks.spinner = true;
        ConsoleOutput console(sinks);
        console.progress(true);
        // Give the spinner a chance to draw; whatever it drew is erased before the line.
        for (int i = 0; i < 100; ++i) {
            std::fflush(files.out);
            if (std::ftell(files.out) > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        console.status("a", "b");
        console.progress(false);
    }
    const std::string out = contents(files.out);
    EXPECT_NE(out.find("working"), std::string::npos);
    EXPECT_NE(out.find("\r\033[Ka -- b\n"), std::string::npos);
}

// Status lines from a worker while the window thread draws questions and the shown log gets
// texts that do not end their line (a device's own text): every event is on a line of its
// own, never glued to another event or to a piece of the log.
TEST(ConsoleOutput, EventsFromTwoThreadsAreEachWrittenWhole)
{
    Files files;
    {
        ConsoleSinks sinks = files.sinks(false, false);
        sinks.spinner = true;
        ConsoleOutput console(sinks);
        console.showLog(true);
        console.progress(true);
        std::thread worker([&console] {
            for (int i = 0; i < 300; ++i)
                console.status("Status " + std::to_string(i), "Working");
        });
        for (int i = 0; i < 300; ++i) {
            console.log("piece", 5);
            console.question("Update Alert", "Question " + std::to_string(i), MessageBoxKind::YesNo);
        }
        worker.join();
        console.progress(false);
    }
    size_t statuses = 0;
    size_t questions = 0;
    for (std::string line : lines(contents(files.out))) {
        const size_t cleared = line.rfind("\r\033[K");
        if (cleared != std::string::npos)
            line = line.substr(cleared + 4);
        if (line.find("Status ") != std::string::npos) {
            EXPECT_EQ(line.rfind("Status ", 0), 0u) << line;
            EXPECT_EQ(line.substr(line.size() - 11), " -- Working") << line;
            ++statuses;
        } else if (line.find("Question ") != std::string::npos) {
            EXPECT_EQ(line.rfind("[Update Alert] Question ", 0), 0u) << line;
            ++questions;
        } else if (line.find("piece") != std::string::npos) {
            EXPECT_EQ(line.find_first_not_of("piece"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(statuses, 300u);
    EXPECT_EQ(questions, 300u);
}

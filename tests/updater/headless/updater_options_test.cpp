// The updater's command line: every option, the built-in simulated device, and every way a
// line is refused.

#include "updater_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

UpdaterOptions parsed(const std::vector<std::string>& args)
{
    UpdaterOptions options;
    std::string error;
    EXPECT_TRUE(parseUpdaterOptions(args, options, error)) << error;
    EXPECT_EQ(error, "");
    return options;
}

std::string refusal(const std::vector<std::string>& args)
{
    UpdaterOptions options;
    options.headless = true; // must stay as it was
    std::string error;
    EXPECT_FALSE(parseUpdaterOptions(args, options, error));
    EXPECT_TRUE(options.headless);
    EXPECT_FALSE(error.empty());
    return error;
}

} // namespace

TEST(UpdaterOptions, NothingGivenMeansTheWindowOnRealDevices)
{
    const UpdaterOptions options = parsed({});
    EXPECT_FALSE(options.headless);
    EXPECT_FALSE(options.simulate);
    EXPECT_FALSE(options.autoAnswer);
    EXPECT_FALSE(options.timeScaleGiven);
    EXPECT_FALSE(options.noVerify); // the written firmware is read back unless asked otherwise
    EXPECT_EQ(options.recoverType, -1);
    EXPECT_EQ(options.console.command, HeadlessCommand::None);
}

TEST(UpdaterOptions, RunModesAndConsoleChoices)
{
    const UpdaterOptions options = parsed({ "--headless", "--auto", "--time-scale=0.05", "--json",
        "--verbose", "--log=/dev/null/x", "--recover=13,japanese" });
    EXPECT_TRUE(options.headless);
    EXPECT_TRUE(options.autoAnswer);
    EXPECT_TRUE(options.timeScaleGiven);
    EXPECT_DOUBLE_EQ(options.timeScale, 0.05);
    EXPECT_TRUE(options.console.json);
    EXPECT_TRUE(options.console.verbose);
    EXPECT_EQ(options.console.logFile, "/dev/null/x");
    EXPECT_EQ(options.recoverType, 13);
    EXPECT_TRUE(options.recoverJapanese);

    EXPECT_EQ(parsed({ "--recover=4" }).recoverType, 4);
    EXPECT_FALSE(parsed({ "--recover=16,english" }).recoverJapanese);
    EXPECT_DOUBLE_EQ(parsed({ "--time-scale=0" }).timeScale, 0.0);
    EXPECT_TRUE(parsed({ "--help" }).help);
    EXPECT_TRUE(parsed({ "-h" }).help);
    EXPECT_TRUE(parsed({ "--version" }).version);
    EXPECT_TRUE(parsed({ "--no-verify" }).noVerify);
    EXPECT_FALSE(parsed({ "--no-verify" }).headless);
}

TEST(UpdaterOptions, ConsoleOptionsImplyHeadless)
{
    EXPECT_TRUE(parsed({ "--json" }).headless);
    EXPECT_TRUE(parsed({ "-v" }).headless);
    EXPECT_TRUE(parsed({ "--log=x.log" }).headless);
    EXPECT_TRUE(parsed({ "--command=about" }).headless);
    EXPECT_FALSE(parsed({ "--auto" }).headless);
}

TEST(UpdaterOptions, EveryMenuCommandCanBeAskedFor)
{
    const std::pair<const char*, HeadlessCommand> commands[] = {
        { "factory-reset", HeadlessCommand::FactoryReset },
        { "erase-keys", HeadlessCommand::EraseKeys },
        { "language-packs", HeadlessCommand::LanguagePacks },
        { "force-update", HeadlessCommand::ForceUpdate },
        { "about", HeadlessCommand::About },
        { "show-log", HeadlessCommand::ShowLog },
    };
    for (const auto& [name, command] : commands) {
        EXPECT_EQ(parsed({ std::string("--command=") + name }).console.command, command) << name;
        EXPECT_STREQ(headlessCommandName(command), name);
        EXPECT_GT(headlessCommandId(command), 0);
    }
}

TEST(UpdaterOptions, SimulateStartsFromTheBuiltInPeakPro)
{
    const UpdaterOptions plain = parsed({ "--simulate" });
    EXPECT_TRUE(plain.simulate);
    EXPECT_EQ(plain.simulatedDevice.model, 13);
    EXPECT_LT(plain.simulatedDevice.major, 13);
    EXPECT_FALSE(plain.simulatedDevice.japanese);
    EXPECT_TRUE(plain.simulatedDevice.seedUserData);
    EXPECT_EQ(plain.simulatedDevice.face, devsim::Face::Application);

    const UpdaterOptions given = parsed({ "--simulate=model=11,version=7.63,variant=japanese,face=rom" });
    EXPECT_EQ(given.simulatedDevice.model, 11);
    EXPECT_EQ(given.simulatedDevice.major, 7);
    EXPECT_EQ(given.simulatedDevice.minor, 63);
    EXPECT_TRUE(given.simulatedDevice.japanese);
    EXPECT_EQ(given.simulatedDevice.face, devsim::Face::Rom);

    // What the description leaves out stays as the built-in device has it.
    const UpdaterOptions japanese = parsed({ "--simulate=variant=japanese" });
    EXPECT_EQ(japanese.simulatedDevice.model, 13);
    EXPECT_TRUE(japanese.simulatedDevice.japanese);
}

TEST(UpdaterOptions, EveryUnusableLineIsRefusedWithItsReason)
{
    EXPECT_NE(
        refusal({ "--simulate=model=3" }).find("unknown device description 'model=3'"), std::string::npos);
    EXPECT_NE(refusal({ "--simulate=colour=red" }).find("unknown key 'colour'"), std::string::npos);
    EXPECT_NE(refusal({ "--simulate=version=1.200" }).find("bad value for 'version'"), std::string::npos);
    EXPECT_NE(refusal({ "--simulate=model" }).find("unknown device description"), std::string::npos);

    for (const char* value :
        { "3", "17", "0", "13,german", "13,", "japanese", "x", ",japanese", "013", "-4", "4.5" })
        EXPECT_NE(
            refusal({ std::string("--recover=") + value }).find("bad --recover value"), std::string::npos)
            << value;
    EXPECT_NE(refusal({ "--recover" }).find("needs a value"), std::string::npos);
    EXPECT_NE(refusal({ "--recover=" }).find("needs a value"), std::string::npos);

    for (const char* value : { "-1", "fast", "1x", "nan", "inf" })
        EXPECT_NE(refusal({ std::string("--time-scale=") + value }).find("bad time scale"), std::string::npos)
            << value;
    EXPECT_NE(refusal({ "--time-scale" }).find("needs a value"), std::string::npos);

    EXPECT_NE(refusal({ "--command=format" }).find("unknown command 'format'"), std::string::npos);
    EXPECT_NE(refusal({ "--command" }).find("needs a value"), std::string::npos);
    EXPECT_NE(refusal({ "--log" }).find("needs a value"), std::string::npos);

    for (const char* flag :
        { "--auto=yes", "--headless=1", "--json=no", "--help=x", "--version=2", "--verbose=1", "--no-verify=1" })
        EXPECT_NE(refusal({ flag }).find("takes no value"), std::string::npos) << flag;

    EXPECT_NE(refusal({ "--frobnicate" }).find("unknown option --frobnicate"), std::string::npos);
    EXPECT_NE(refusal({ "-x" }).find("unknown option -x"), std::string::npos);
    EXPECT_NE(refusal({ "device.bin" }).find("unexpected argument 'device.bin'"), std::string::npos);
    // One bad option refuses the whole line, wherever it stands.
    refusal({ "--headless", "--auto", "--recover=99" });
}

TEST(UpdaterOptions, UsageNamesEveryOptionAndCommand)
{
    const std::string usage = updaterUsage();
    for (const char* text : { "--simulate[=DEVICE]", "TARVEL_VBUS", "--time-scale=F", "--auto", "--headless",
             "--recover=TYPE[,japanese]", "--json", "--verbose", "--log=FILE", "--command=NAME", "--help",
             "--version", "--no-verify", "factory-reset", "erase-keys", "language-packs", "force-update", "about",
             "show-log" })
        EXPECT_NE(usage.find(text), std::string::npos) << text;
}

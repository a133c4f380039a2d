#include "updater_options.h"

#include "state/device_models.h"

#include <cmath>
#include <cstdlib>

const char* const kBuiltInSimulatedDevice
    = "model=13,variant=standard,version=12.40,face=application,user-data=yes";

namespace {

bool parseScale(const std::string& text, double& scale)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    scale = std::strtod(text.c_str(), &end);
    return *end == 0 && std::isfinite(scale) && scale >= 0;
}

bool parseRecover(const std::string& text, int& type, bool& japanese)
{
    std::string model = text;
    japanese = false;
    if (size_t comma = text.find(','); comma != std::string::npos) {
        model = text.substr(0, comma);
        const std::string language = text.substr(comma + 1);
        if (language == "japanese")
            japanese = true;
        else if (language != "english")
            return false;
    }
    if (model.empty() || model.size() > 2 || model.find_first_not_of("0123456789") != std::string::npos)
        return false;
    type = std::atoi(model.c_str());
    return isFlashableType(type);
}

// What an option takes after '=': nothing, a value that may not be empty, or anything.
enum class ValueUse { None, Needed, Optional };

struct OptionRow {
    const char* name;
    const char* shortName; // nullptr: none
    ValueUse value;
    bool impliesHeadless;
    // Applies the value; false with a reason in error when it cannot be used.
    bool (*apply)(const std::string& value, UpdaterOptions& options, std::string& error);
};

// The action of an option that only switches something on.
template <bool UpdaterOptions::*Flag> bool setFlag(const std::string&, UpdaterOptions& options, std::string&)
{
    options.*Flag = true;
    return true;
}
template <bool HeadlessSettings::*Flag>
bool setConsoleFlag(const std::string&, UpdaterOptions& options, std::string&)
{
    options.console.*Flag = true;
    return true;
}

const OptionRow kOptionRows[] = {
    { "--help", "-h", ValueUse::None, false, setFlag<&UpdaterOptions::help> },
    { "--version", nullptr, ValueUse::None, false, setFlag<&UpdaterOptions::version> },
    { "--simulate", nullptr, ValueUse::Optional, false,
        [](const std::string& value, UpdaterOptions& o, std::string&) {
            o.simulateDescription = value;
            o.simulate = true;
            return true;
        } },
    { "--time-scale", nullptr, ValueUse::Needed, false,
        [](const std::string& value, UpdaterOptions& o, std::string& error) {
            if (!parseScale(value, o.timeScale)) {
                error = "bad time scale '" + value + "' (a number, 0 or more)";
                return false;
            }
            o.timeScaleGiven = true;
            return true;
        } },
    { "--auto", nullptr, ValueUse::None, false, setFlag<&UpdaterOptions::autoAnswer> },
    { "--no-verify", nullptr, ValueUse::None, false, setFlag<&UpdaterOptions::noVerify> },
    { "--record", nullptr, ValueUse::Needed, false,
        [](const std::string& value, UpdaterOptions& o, std::string&) {
            o.recordFile = value;
            return true;
        } },
    { "--record-overwrite", nullptr, ValueUse::None, false, setFlag<&UpdaterOptions::recordOverwrite> },
    { "--headless", nullptr, ValueUse::None, true, setFlag<&UpdaterOptions::headless> },
    { "--recover", nullptr, ValueUse::Needed, false,
        [](const std::string& value, UpdaterOptions& o, std::string& error) {
            if (parseRecover(value, o.recoverType, o.recoverJapanese))
                return true;
            error = "bad --recover value '" + value + "' (TYPE 4 to 16, optionally followed by ,japanese)";
            return false;
        } },
    { "--json", nullptr, ValueUse::None, true, setConsoleFlag<&HeadlessSettings::json> },
    { "--verbose", "-v", ValueUse::None, true, setConsoleFlag<&HeadlessSettings::verbose> },
    { "--log", nullptr, ValueUse::Needed, true,
        [](const std::string& value, UpdaterOptions& o, std::string&) {
            o.console.logFile = value;
            return true;
        } },
    { "--command", nullptr, ValueUse::Needed, true,
        [](const std::string& value, UpdaterOptions& o, std::string& error) {
            if (headlessCommandFromName(value, o.console.command))
                return true;
            error = "unknown command '" + value + "' (one of " + headlessCommandNames() + ")";
            return false;
        } },
};

const OptionRow* findOption(const std::string& name)
{
    for (const OptionRow& row : kOptionRows)
        if (name == row.name || (row.shortName && name == row.shortName))
            return &row;
    return nullptr;
}

} // namespace

bool parseUpdaterOptions(const std::vector<std::string>& args, UpdaterOptions& options, std::string& error)
{
    UpdaterOptions result;
    for (const std::string& arg : args) {
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const bool hasValue = eq != std::string::npos;
        const std::string value = hasValue ? arg.substr(eq + 1) : "";
        const OptionRow* row = findOption(name);
        if (!row) {
            error = arg.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument '" + arg + "'";
            return false;
        }
        if (row->value == ValueUse::None && hasValue) {
            error = name + " takes no value";
            return false;
        }
        if (row->value == ValueUse::Needed && value.empty()) {
            error = name + " needs a value (" + name + "=...)";
            return false;
        }
        if (!row->apply(value, result, error))
            return false;
        if (row->impliesHeadless)
            result.headless = true;
    }

    if (result.simulate) {
        std::string problem;
        devsim::DeviceConfig config;
        if (!devsim::parseDeviceDescription(kBuiltInSimulatedDevice, config, problem)
            || !devsim::parseDeviceDescription(result.simulateDescription, config, problem)) {
            error = "unknown device description '" + result.simulateDescription + "': " + problem;
            return false;
        }
        result.simulatedDevice = config;
    }
    options = result;
    return true;
}

std::string updaterUsage()
{
    return "Usage: tarvel-updater [options]\n"
           "Updates a Tarvel GPS bike computer: plug it in, confirm, and the updater takes it to the\n"
           "firmware, wireless firmware and language packs it carries, keeping the rider's data.\n"
           "\n"
           "Devices:\n"
           "  (none)                 real devices on USB\n"
           "  TARVEL_VBUS=BUS        devices on the virtual USB bus BUS (environment): a socket\n"
           "                         path, or tcp:HOST:PORT[/TOKEN] on 127.0.0.1, localhost, [::1]\n"
           "  --simulate[=DEVICE]    a simulated device in this process, on a private bus; DEVICE\n"
           "                         is key=value,... (model, variant, version, nrf, face, drive,\n"
           "                         user-data) applied to the built-in device:\n"
           "                         "
        + std::string(kBuiltInSimulatedDevice)
        + "\n"
          "                         Rider data and backups of a simulated run stay in its private\n"
          "                         folder.\n"
          "\n"
          "Running:\n"
          "  --headless             no window: status lines, questions and the log on the terminal\n"
          "  --auto                 answer every question with the answer that carries the update\n"
          "                         on (No to opening web pages), press the offered update and\n"
          "                         end on the done screen\n"
          "  --recover=TYPE[,japanese]  the recovery dialog's answer given in advance (TYPE 4..16)\n"
          "  --time-scale=F         multiply every fixed pause by F (0: no pauses)\n"
          "  --no-verify            do not read the written firmware back before the device\n"
          "                         restarts (saves about the write's own time)\n"
          "  --record=FILE          write every exchange with the device to FILE, a session\n"
          "                         recording for support (also TARVEL_RECORD=FILE); the drive's\n"
          "                         files appear as names, sizes and hashes only, never contents\n"
          "  --record-overwrite     replace FILE when it exists (otherwise the run is refused)\n"
          "\n"
          "Console (each implies --headless):\n"
          "  --json                 one JSON object per line per event\n"
          "  --verbose, -v          the log on standard error\n"
          "  --log=FILE             the log into FILE\n"
          "  --command=NAME         carry out one menu command and end: "
        + headlessCommandNames()
        + "\n"
          "\n"
          "  --help                 this text\n"
          "  --version              the updater's version\n"
          "\n"
          "While it runs, type Enter (or \"update\") to press the button, a menu command name, or\n"
          "\"exit\"; answer questions with the button's number or name.\n"
          "\n"
          "Exit status (console): 0 the device was left up to date or the command completed, 1 a\n"
          "failure ended the run, 2 usage, 3 another updater runs, 130 Ctrl-C.\n";
}

std::string updaterVersionText()
{
#ifdef TARVEL_UPDATER_VERSION
    return std::string("tarvel-updater ") + TARVEL_UPDATER_VERSION + "\n";
#else
    return "tarvel-updater\n";
#endif
}

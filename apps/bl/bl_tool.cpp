#include "bl_options.h"

#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/logger.h"
#include "blfwk/memory_commands.h"
#include "blfwk/property_commands.h"
#include "platform/session_recording.h"
#include "platform/vbus/wire.h"
#include "textutil/format.h"

#include <json/json.h>

#include <cstdio>
#include <exception>

namespace bl {

namespace {

// Results and progress to standard output, failures and warnings to standard error. With
// --json only the result goes to standard output; failures are also kept for the JSON error.
class ConsoleLogger : public blfwk::Logger {
public:
    void output(const char* text) override
    {
        std::fputs(text, m_level <= Warning && m_level != Json ? stderr : stdout);
    }
    void logv(int level, const char* format, va_list args) override
    {
        m_level = level;
        if (level == Error && m_filterLevel == Json) {
            keepError(textutil::formatv(format, args));
            return;
        }
        Logger::logv(level, format, args);
    }
    void log(int level, const std::string& text) override
    {
        m_level = level;
        if (level == Error && m_filterLevel == Json) {
            keepError(text);
            return;
        }
        Logger::log(level, text);
    }
    using Logger::log;
    using Logger::logv;

    const std::string& errors() const { return m_errors; }

private:
    void keepError(const std::string& text)
    {
        std::fputs(text.c_str(), stderr);
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.rfind("Error: ", 0) == 0)
            line.erase(0, 7);
        if (!m_errors.empty())
            m_errors += "; ";
        m_errors += line;
    }

    int m_level = Info;
    std::string m_errors;
};

// A serial line: the bootloader there is pinged while the connection opens (a bridge gives
// it three retries), which also tells its framing protocol version.
void configureSerial(const Options& options, blfwk::PeripheralConfig* config)
{
    config->peripheralKind = options.busPal ? blfwk::PeripheralConfig::PeripheralBusPalUart
                                            : blfwk::PeripheralConfig::PeripheralUart;
    config->portName = options.port;
    config->baudRate = options.baudRate;
    config->busPal = options.busPalSettings;
    config->pingOnOpen = true;
}

void reportFramingVersion(blfwk::Bootloader& connection, const Options& options)
{
    const blfwk::Packetizer* packetizer = connection.getPacketizer();
    const uint32_t version = packetizer->getVersion();
    const char letter = char(version >> 24);
    char text[160];
    if (options.json)
        std::snprintf(text, sizeof text,
            "{\n   \"command\" : \"ping\",\n   \"framing_version\" : %u,\n   \"options\" : %u\n}\n", version,
            unsigned(packetizer->getOptions()));
    else
        std::snprintf(text, sizeof text, "Framing protocol version = %c%u.%u.%u (0x%08x), options = 0x%x\n",
            letter >= 0x20 && letter < 0x7F ? letter : '?', (version >> 16) & 0xFF, (version >> 8) & 0xFF,
            version & 0xFF, version, unsigned(packetizer->getOptions()));
    std::fputs(text, stdout);
}

// With --json every outcome is one JSON object on standard output, failures included.
void printJsonError(const std::string& command, const std::string& error, int exitStatus)
{
    Json::Value root(Json::objectValue);
    if (!command.empty())
        root["command"] = command;
    root["error"] = error;
    root["exit_status"] = exitStatus;
    root["response"] = Json::Value(Json::arrayValue);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    std::fputs((Json::writeString(builder, root) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool wantsJson(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--")
            return false;
        if (a == "--json")
            return true;
    }
    return false;
}

} // namespace

int runTool(const std::vector<std::string>& args)
{
    Options options;
    std::string error;
    if (!parseOptions(args, &options, &error)) {
        std::fprintf(stderr, "tarvel-bl: %s\n\n%s", error.c_str(), helpText().c_str());
        if (wantsJson(args))
            printJsonError("", error, 2);
        return 2;
    }
    if (options.help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }

    std::unique_ptr<blfwk::Command> command;
    if (!options.command.empty())
        command = blfwk::Command::create(options.command);
    if (!command && !options.command.empty()) {
        const char* usage = blfwk::Command::usage(options.command[0]);
        if (usage)
            std::fprintf(stderr, "usage: tarvel-bl [OPTION]... %s\n", usage);
        else
            std::fprintf(stderr, "tarvel-bl: unknown command '%s'\n\n%s", options.command[0].c_str(),
                helpText().c_str());
        if (options.json)
            printJsonError(options.command[0],
                usage ? std::string("arguments refused; usage: ") + usage : "unknown command", 2);
        return 2;
    }
    // A bus that accepts the connection but never answers is given up on after --timeout.
    platform::vbus::setRequestTimeout(options.timeoutMs);
    if (!options.recordFile.empty()) {
        std::string why;
        platform::setSessionRecordingFailureHandler(
            [](const std::string& message) { std::fprintf(stderr, "tarvel-bl: %s\n", message.c_str()); });
        if (!platform::startSessionRecording(options.recordFile, options.recordOverwrite, "tarvel-bl", why)) {
            std::fprintf(stderr, "tarvel-bl: %s\n", why.c_str());
            return 2;
        }
    }
    // With --json standard output carries the JSON alone: the bytes read go to standard error.
    if (options.json) {
        if (auto* read = dynamic_cast<blfwk::ReadMemory*>(command.get()))
            read->setDumpStream(stderr);
        if (auto* read = dynamic_cast<blfwk::FlashReadResource*>(command.get()))
            read->setDumpStream(stderr);
    }

    // Installed before the connection, so the connection keeps it.
    ConsoleLogger logger;
    blfwk::Logger* previous = blfwk::Log::getLogger();
    blfwk::Log::setLogger(&logger);
    logger.setFilterLevel(runFilterLevel(options));
    // The property list is the answer of "get-property 0": show it like any result.
    if (auto* getProperty = dynamic_cast<blfwk::GetProperty*>(command.get()))
        if (getProperty->property().value == 0)
            logger.setFilterLevel(resultFilterLevel(options));

    int exitCode = 1;
    try {
        blfwk::PeripheralConfig config;
        config.peripheralKind = blfwk::PeripheralConfig::PeripheralUsbHid;
        config.usbVendorId = options.vendorId;
        config.usbProductId = options.productId;
        config.packetTimeoutMs = options.timeoutMs;
        config.baudRate = 0;
        config.pingOnOpen = false;
        if (!options.port.empty())
            configureSerial(options, &config);
        std::unique_ptr<blfwk::Bootloader> connection;
        try {
            connection = std::make_unique<blfwk::Bootloader>(config);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            blfwk::Log::setLogger(previous);
            if (options.json)
                printJsonError(options.command.empty() ? std::string("ping") : options.command[0], e.what(), 3);
            return 3;
        }
        if (options.ping)
            reportFramingVersion(*connection, options);
        if (!command) {
            connection->flush();
            std::fflush(stdout);
            blfwk::Log::setLogger(previous);
            return 0;
        }
        connection->inject(*command);
        connection->flush();
        std::fflush(stdout);
        logger.setFilterLevel(resultFilterLevel(options));
        const std::vector<uint32_t>& values = *command->responseValues();
        exitCode = !values.empty() && values[0] == 0 ? 0 : 1;
        if (options.json && values.empty())
            // Nothing was exchanged (an input file that cannot be sent): say why, as JSON.
            printJsonError(options.command[0], logger.errors().empty() ? "no response" : logger.errors(), 1);
        else
            command->logResponses();
    } catch (const std::exception& e) {
        // A target answer the command cannot read (too few words, bits beyond the tables).
        std::fprintf(stderr, "Error: %s\n", e.what());
        if (options.json)
            printJsonError(options.command[0], e.what(), 1);
        exitCode = 1;
    }
    std::fflush(stdout);
    blfwk::Log::setLogger(previous);
    return exitCode;
}

} // namespace bl

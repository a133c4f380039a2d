// tarvel-devsim: serves one simulated Tarvel device on a virtual USB bus (a Unix socket or a
// loopback TCP port) until it is stopped with SIGINT or SIGTERM.

#include "replay_faults.h"
#include "replay_run.h"
#include "root_map.h"
#include "serial_face.h"
#include "simulator.h"

#include "platform/clock.h"
#include "textutil/format.h"

#include <json/value.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

const char kUsage[]
    = "Usage: tarvel-devsim --socket PATH [options]\n"
      "       tarvel-devsim --tcp HOST:PORT [options]\n"
      "Serves one simulated Tarvel GPS bike computer on the virtual USB bus at PATH (or on a\n"
      "loopback TCP port) until stopped (SIGINT or SIGTERM).\n"
      "\n"
      "  --socket PATH          the bus socket to listen on\n"
      "  --tcp HOST:PORT        listen on TCP instead: HOST 127.0.0.1, localhost or [::1];\n"
      "                         port 0 picks a free one. Prints the client's address on\n"
      "                         standard output as one line: TARVEL_VBUS=tcp:HOST:PORT/TOKEN\n"
      "  --token TEXT           the token every connection must give in its hello (printable,\n"
      "                         no spaces; default with --tcp: a random one)\n"
      "  --no-token             serve without a token (any local program may drive the device)\n"
      "  --root-map FROM=TO     report drive roots under FROM as under TO, the client's form\n"
      "                         (for Wine: /tmp/x/=Z:\\tmp\\x\\); may be repeated\n"
      "  --model N              device type, 4 to 16 (default 11)\n"
      "  --variant V            standard or japanese (default standard)\n"
      "  --version MAJOR.MINOR  firmware the device ships with (default 7.63)\n"
      "  --nrf-version TEXT     wireless firmware version it reports, four dotted numbers\n"
      "                         (1.10.31.39; default: the version the updater carries for the model)\n"
      "  --face F               application, bootloader or rom (default application)\n"
      "  --drive D              labelled (label TARVEL) or folder (unlabelled FAT drive with a\n"
      "                         Tarvel folder); default labelled\n"
      "  --drive-dir DIR        the host folder that holds the drive (default: a temporary one)\n"
      "  --no-user-data         start with an empty Tarvel folder\n"
      "  --nrf-end-text T       Succus!!, complete or file clo (default Succus!!)\n"
      "  --time-scale F         multiply every pause of the device by F (default 1)\n"
      "  --serial PATH          also serve the bootloader face on a serial line: a\n"
      "                         pseudo-terminal, its slave path printed and linked at PATH\n"
      "                         (--socket may then be left out: a private one is used)\n"
      "  --buspal               put a bus-bridge adapter (SPI, I2C or CAN) in front of it\n"
      "                         (needs --serial)\n"
      "  --serial-baud N        pace the serial line at N bit/s (default: unpaced)\n"
      "  --fault NAME[,K=V...]  start with a fault in place, as sim.fault sets one (repeatable;\n"
      "                         for example corrupt_write,offset=4096 or corrupt_write,always)\n"
      "  --replay FILE          serve the session recording FILE (tarvel-updater --record) as\n"
      "                         the device: recorded answers to matching requests, recorded\n"
      "                         events in their place, timing scaled by --time-scale; a request\n"
      "                         that does not match is reported and ends it with status 1\n"
      "  --replay-faults NAME[,K=V...]  lay a fault over the replay's recorded answers, as --fault\n"
      "                         gives one (repeatable): silence, drop_report, repeat_report,\n"
      "                         corrupt_crc, status or drive_stuck\n"
      "  --record FILE          also write what the clients did to FILE as a session recording\n"
      "                         (the format --replay serves); an existing FILE is kept unless\n"
      "                         --record-overwrite is given\n"
      "  --record-overwrite     let --record replace an existing file\n"
      "  --help                 this text\n"
      "\n"
      "Control ops for tests and demos are described in apps/devsim/README.md.\n";

bool parseInt(const char* text, int& value)
{
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end)
        return false;
    value = int(v);
    return true;
}

// What the command line asks for.
struct Options {
    devsim::DeviceConfig config;
    std::string socketPath;
    std::string tcp; // HOST:PORT when serving on TCP
    std::string token;
    bool tokenGiven = false;
    bool noToken = false;
    devsim::RootMap rootMap;
    devsim::SerialFaceConfig serial;
    std::vector<devsim::Fault> faults; // in place from the start
    std::string replayFile; // --replay: a session recording served in place of the simulated device
    std::vector<devsim::Fault> replayFaults; // --replay-faults: laid over the recorded answers
    std::string recordFile; // --record: where the clients' traffic is written
    bool recordOverwrite = false;
};

bool setRecord(const std::string& value, Options& options)
{
    options.recordFile = value;
    return true;
}

bool setReplay(const std::string& value, Options& options)
{
    options.replayFile = value;
    return true;
}

bool setSocket(const std::string& value, Options& options)
{
    options.socketPath = value;
    return true;
}

bool setTcp(const std::string& value, Options& options)
{
    platform::vbus::BusAddress address;
    std::string error;
    if (!platform::vbus::parseTcpEndpoint(value, true, address, error)) {
        std::fprintf(stderr, "tarvel-devsim: --tcp %s: %s\n", value.c_str(), error.c_str());
        return false;
    }
    options.tcp = value;
    return true;
}

bool setToken(const std::string& value, Options& options)
{
    if (!platform::vbus::validBusToken(value))
        return false;
    options.token = value;
    options.tokenGiven = true;
    return true;
}

bool addRootMap(const std::string& value, Options& options)
{
    devsim::RootMapping mapping;
    std::string error;
    if (!devsim::parseRootMapping(value, mapping, error)) {
        std::fprintf(stderr, "tarvel-devsim: --root-map %s: %s\n", value.c_str(), error.c_str());
        return false;
    }
    options.rootMap.push_back(mapping);
    return true;
}

bool setSerial(const std::string& value, Options& options)
{
    options.serial.linkPath = value;
    return true;
}

bool setSerialBaud(const std::string& value, Options& options)
{
    return parseInt(value.c_str(), options.serial.baudRate) && options.serial.baudRate >= 300;
}

bool setEndText(const std::string& value, Options& options)
{
    if (value != "Succus!!" && value != "complete" && value != "file clo")
        return false;
    options.config.nordicEndText = value;
    return true;
}

bool addFault(const std::string& value, Options& options)
{
    devsim::Fault fault;
    std::string error;
    if (!devsim::faultFromText(value, fault, error)) {
        std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
        return false;
    }
    options.faults.push_back(fault);
    return true;
}

bool addReplayFault(const std::string& value, Options& options)
{
    devsim::Fault fault;
    std::string error;
    if (!devsim::faultFromText(value, fault, error)) {
        std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
        return false;
    }
    if (!devsim::replayCanShow(fault.kind)) {
        std::fprintf(stderr, "tarvel-devsim: the fault %s needs the simulated device's own workings and cannot be laid over a replay\n",
            devsim::faultName(fault.kind));
        return false;
    }
    options.replayFaults.push_back(fault);
    return true;
}

bool setTimeScale(const std::string& value, Options&)
{
    char* end = nullptr;
    const double scale = std::strtod(value.c_str(), &end);
    if (value.empty() || *end || !std::isfinite(scale) || scale < 0)
        return false;
    platform::setTimeScale(scale);
    return true;
}

// An option that takes a value: the device description key it sets, or a setter of its own.
struct ValueOption {
    const char* name;
    const char* deviceKey;
    bool (*set)(const std::string& value, Options& options);
};

const ValueOption kValueOptions[] = {
    { "--socket", nullptr, setSocket },
    { "--tcp", nullptr, setTcp },
    { "--token", nullptr, setToken },
    { "--root-map", nullptr, addRootMap },
    { "--model", "model", nullptr },
    { "--variant", "variant", nullptr },
    { "--version", "version", nullptr },
    { "--nrf-version", "nrf", nullptr },
    { "--face", "face", nullptr },
    { "--drive", "drive", nullptr },
    { "--drive-dir", "drive-dir", nullptr },
    { "--time-scale", nullptr, setTimeScale },
    { "--nrf-end-text", nullptr, setEndText },
    { "--serial", nullptr, setSerial },
    { "--serial-baud", nullptr, setSerialBaud },
    { "--fault", nullptr, addFault },
    { "--replay", nullptr, setReplay },
    { "--replay-faults", nullptr, addReplayFault },
    { "--record", nullptr, setRecord },
};

const ValueOption* findValueOption(const std::string& name)
{
    for (const ValueOption& row : kValueOptions)
        if (name == row.name)
            return &row;
    return nullptr;
}

// Reads the command line into options ("--name value" or "--name=value"). -1 to go on,
// otherwise the exit status: 0 after the help text, 2 for a refused option.
int parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        const size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
        }
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--no-user-data") {
            options.config.seedUserData = false;
            continue;
        }
        if (option == "--no-token") {
            options.noToken = true;
            continue;
        }
        if (option == "--record-overwrite") {
            options.recordOverwrite = true;
            continue;
        }
        if (option == "--buspal") {
            options.serial.busPal = true;
            continue;
        }
        const ValueOption* row = findValueOption(option);
        if (!row) {
            std::fprintf(stderr, "tarvel-devsim: unknown option %s\n%s", option.c_str(), kUsage);
            return 2;
        }
        if (value.empty()) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarvel-devsim: %s needs a value\n", option.c_str());
                return 2;
            }
            value = argv[++i];
        }
        const bool good = row->deviceKey ? devsim::setDeviceKey(row->deviceKey, value, options.config)
                                         : row->set(value, options);
        if (!good) {
            std::fprintf(stderr, "tarvel-devsim: bad value '%s' for %s\n", value.c_str(), option.c_str());
            return 2;
        }
    }
    return -1;
}

// A bus socket in a private folder, for a simulator asked only for its serial line.
bool usePrivateSocket(Options& options, std::string& privateDir)
{
    char dir[] = "/tmp/tarvel-devsim-XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("tarvel-devsim: mkdtemp");
        return false;
    }
    privateDir = dir;
    options.socketPath = privateDir + "/bus.sock";
    return true;
}

void catchStopSignals()
{
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// What the device shows, in one line.
std::string shownText(const Json::Value& state)
{
    if (!state["present"].asBool())
        return "off the bus";
    if (state["face"].asString() == "application")
        return textutil::format("application face, identity %d, firmware %d.%02d, wireless %s",
            state["application"]["raw_id"].asInt(), state["application"]["major"].asInt(),
            state["application"]["minor"].asInt(), state["nrf_version"].asString().c_str());
    return textutil::format("%s face, pid 0x%02x", state["face"].asString().c_str(), state["pid"].asUInt());
}

// Until a stop signal: tells whoever watches what the device shows now, each time that changes.
void reportWhatIsShown(devsim::Device& device)
{
    std::string shown;
    while (!g_stop) {
        const std::string line = shownText(device.state());
        if (shown != line) {
            shown = line;
            std::fprintf(stderr, "tarvel-devsim: now %s\n", line.c_str());
        }
        ::usleep(100000);
    }
}

// Where the bus is served: the socket path, or the TCP address with its token.
platform::vbus::BusAddress busAddress(const Options& options)
{
    platform::vbus::BusAddress address;
    if (!options.tcp.empty()) {
        std::string error;
        platform::vbus::parseTcpEndpoint(options.tcp, true, address, error);
        // A TCP port is open to every local program: without a token of its own it gets a random one.
        if (!options.noToken)
            address.token = options.tokenGiven ? options.token : devsim::randomBusToken();
    } else {
        address.path = options.socketPath;
    }
    return address;
}

// Serves the device until a stop signal; the exit status.
int serve(const Options& options)
{
    const devsim::DeviceConfig& config = options.config;
    devsim::SessionRecorder recorder; // outlives the simulator, whose threads write to it
    devsim::Simulator simulator(config);
    simulator.setRootMap(options.rootMap);
    std::string error;
    if (!options.recordFile.empty()) {
        // The program is built for POSIX systems only; its clients may be on another.
        if (!recorder.open(options.recordFile, options.recordOverwrite, { "tarvel-devsim", "linux" }, error)) {
            std::fprintf(stderr, "tarvel-devsim: --record %s: %s\n", options.recordFile.c_str(), error.c_str());
            return 1;
        }
        recorder.setRootMap(options.rootMap);
        simulator.setRecorder(&recorder);
    }
    if (!simulator.start(busAddress(options), &error)) {
        std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
        return 1;
    }
    for (const devsim::Fault& fault : options.faults)
        simulator.device().injectFault(fault);
    const std::string bus = simulator.socketPath();
    std::fprintf(stderr, "tarvel-devsim: model %d %s %d.%02d, %s face, drive %s, bus %s\n", config.model,
        config.japanese ? "japanese" : "standard", config.major, config.minor, devsim::faceName(config.face),
        simulator.device().driveRoot().c_str(), platform::vbus::describeBusText(bus).c_str());
    // The one line a script reads to reach a TCP bus (its port and token are known only now).
    if (!options.tcp.empty()) {
        std::printf("TARVEL_VBUS=%s\n", bus.c_str());
        std::fflush(stdout);
    }
    std::unique_ptr<devsim::SerialFace> serialFace;
    if (!options.serial.linkPath.empty()) {
        serialFace = std::make_unique<devsim::SerialFace>(simulator.device(), options.serial);
        if (!serialFace->start(&error)) {
            std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
            simulator.stop();
            return 1;
        }
        std::fprintf(stderr, "tarvel-devsim: serial line %s (%s), linked at %s\n",
            serialFace->slavePath().c_str(), options.serial.busPal ? "bus bridge" : "UART",
            options.serial.linkPath.c_str());
    }
    reportWhatIsShown(simulator.device());
    serialFace.reset();
    simulator.stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int status = parseOptions(argc, argv, options); status >= 0)
        return status;
    std::string privateDir; // holds the bus socket when only --serial was asked for
    if (options.socketPath.empty() && options.tcp.empty() && !options.serial.linkPath.empty()
        && !usePrivateSocket(options, privateDir))
        return 1;
    if (!options.socketPath.empty() && !options.tcp.empty()) {
        std::fputs("tarvel-devsim: --socket and --tcp: choose one\n", stderr);
        return 2;
    }
    if (options.tokenGiven && options.noToken) {
        std::fputs("tarvel-devsim: --token and --no-token: choose one\n", stderr);
        return 2;
    }
    // A socket path has no place for a token: a client could never give it.
    if ((options.tokenGiven || options.noToken) && options.tcp.empty()) {
        std::fputs("tarvel-devsim: --token and --no-token go with --tcp\n", stderr);
        return 2;
    }
    if (options.serial.busPal && options.serial.linkPath.empty()) {
        std::fputs("tarvel-devsim: --buspal stands in front of the serial line: it needs --serial PATH\n", stderr);
        return 2;
    }
    if (options.socketPath.empty() && options.tcp.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!options.replayFaults.empty() && options.replayFile.empty()) {
        std::fputs("tarvel-devsim: --replay-faults bends a replay: it needs --replay FILE\n", stderr);
        return 2;
    }
    if (!options.recordFile.empty() && !options.replayFile.empty()) {
        std::fputs("tarvel-devsim: --record and --replay: choose one\n", stderr);
        return 2;
    }
    catchStopSignals();
    if (!options.replayFile.empty())
        return devsim::runReplay(options.replayFile, busAddress(options), platform::timeScale(), options.replayFaults,
            [] { return g_stop != 0; });
    const int status = serve(options);
    if (!privateDir.empty())
        ::rmdir(privateDir.c_str());
    if (status == 0)
        std::fprintf(stderr, "tarvel-devsim: stopped\n");
    return status;
}

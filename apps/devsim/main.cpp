// tarvel-devsim: serves one simulated Tarvel device on a virtual USB bus socket until it is
// stopped with SIGINT or SIGTERM.

#include "serial_face.h"
#include "simulator.h"

#include "platform/clock.h"

#include <json/value.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

const char kUsage[]
    = "Usage: tarvel-devsim --socket PATH [options]\n"
      "Serves one simulated Tarvel GPS bike computer on the virtual USB bus at PATH until\n"
      "stopped (SIGINT or SIGTERM).\n"
      "\n"
      "  --socket PATH          the bus socket to listen on (required)\n"
      "  --model N              device type, 4 to 16 (default 11)\n"
      "  --variant V            standard or japanese (default standard)\n"
      "  --version MAJOR.MINOR  firmware the device ships with (default 7.63)\n"
      "  --nrf-version TEXT     wireless firmware version it reports, dotted (default: the\n"
      "                         version the updater carries for the model)\n"
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
      "  --serial-baud N        pace the serial line at N bit/s (default: unpaced)\n"
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

} // namespace

int main(int argc, char** argv)
{
    devsim::DeviceConfig config;
    std::string socketPath;
    devsim::SerialFaceConfig serial;
    std::string privateDir; // holds the bus socket when only --serial was asked for
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
        }
        auto needValue = [&]() -> bool {
            if (!value.empty())
                return true;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarvel-devsim: %s needs a value\n", option.c_str());
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&]() {
            std::fprintf(stderr, "tarvel-devsim: bad value '%s' for %s\n", value.c_str(), option.c_str());
            return 2;
        };
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--no-user-data") {
            config.seedUserData = false;
            continue;
        }
        if (option == "--buspal") {
            serial.busPal = true;
            continue;
        }
        if (option != "--socket" && option != "--model" && option != "--variant" && option != "--version"
            && option != "--nrf-version" && option != "--face" && option != "--drive"
            && option != "--drive-dir" && option != "--time-scale" && option != "--nrf-end-text"
            && option != "--serial" && option != "--serial-baud") {
            std::fprintf(stderr, "tarvel-devsim: unknown option %s\n%s", option.c_str(), kUsage);
            return 2;
        }
        if (!needValue())
            return 2;
        if (option == "--socket") {
            socketPath = value;
        } else if (option == "--model") {
            if (!parseInt(value.c_str(), config.model) || config.model < 4 || config.model > 16)
                return bad();
        } else if (option == "--variant") {
            if (value != "standard" && value != "japanese")
                return bad();
            config.japanese = value == "japanese";
        } else if (option == "--version") {
            if (!devsim::parseVersion(value, config.major, config.minor))
                return bad();
        } else if (option == "--nrf-version") {
            if (value.find('.') == std::string::npos || value.size() > 24)
                return bad();
            config.nrfVersion = value;
        } else if (option == "--face") {
            if (!devsim::faceFromName(value, config.face))
                return bad();
        } else if (option == "--drive") {
            if (value != "labelled" && value != "folder")
                return bad();
            config.drive = value == "folder" ? devsim::DriveMode::Folder : devsim::DriveMode::Labelled;
        } else if (option == "--drive-dir") {
            config.driveDir = value;
        } else if (option == "--nrf-end-text") {
            if (value != "Succus!!" && value != "complete" && value != "file clo")
                return bad();
            config.nordicEndText = value;
        } else if (option == "--serial") {
            serial.linkPath = value;
        } else if (option == "--serial-baud") {
            if (!parseInt(value.c_str(), serial.baudRate) || serial.baudRate < 300)
                return bad();
        } else if (option == "--time-scale") {
            char* end = nullptr;
            double scale = std::strtod(value.c_str(), &end);
            if (value.empty() || *end || !std::isfinite(scale) || scale < 0)
                return bad();
            platform::setTimeScale(scale);
        }
    }
    if (socketPath.empty() && !serial.linkPath.empty()) {
        char dir[] = "/tmp/tarvel-devsim-XXXXXX";
        if (!::mkdtemp(dir)) {
            std::perror("tarvel-devsim: mkdtemp");
            return 1;
        }
        privateDir = dir;
        socketPath = privateDir + "/bus.sock";
    }
    if (socketPath.empty() || (serial.busPal && serial.linkPath.empty())) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    devsim::Simulator simulator(config);
    std::string error;
    if (!simulator.start(socketPath, &error)) {
        std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "tarvel-devsim: model %d %s %d.%02d, %s face, drive %s, bus %s\n", config.model,
        config.japanese ? "japanese" : "standard", config.major, config.minor, devsim::faceName(config.face),
        simulator.device().driveRoot().c_str(), socketPath.c_str());
    std::unique_ptr<devsim::SerialFace> serialFace;
    if (!serial.linkPath.empty()) {
        serialFace = std::make_unique<devsim::SerialFace>(simulator.device(), serial);
        if (!serialFace->start(&error)) {
            std::fprintf(stderr, "tarvel-devsim: %s\n", error.c_str());
            simulator.stop();
            return 1;
        }
        std::fprintf(stderr, "tarvel-devsim: serial line %s (%s), linked at %s\n",
            serialFace->slavePath().c_str(), serial.busPal ? "bus bridge" : "UART", serial.linkPath.c_str());
    }
    // Tell whoever watches what the device shows now, each time that changes.
    std::string shown;
    while (!g_stop) {
        const Json::Value state = simulator.device().state();
        char line[160];
        if (!state["present"].asBool())
            std::snprintf(line, sizeof line, "off the bus");
        else if (state["face"].asString() == "application")
            std::snprintf(line, sizeof line, "application face, identity %d, firmware %d.%02d, wireless %s",
                state["application"]["raw_id"].asInt(), state["application"]["major"].asInt(),
                state["application"]["minor"].asInt(), state["nrf_version"].asString().c_str());
        else
            std::snprintf(line, sizeof line, "%s face, pid 0x%02x", state["face"].asString().c_str(),
                state["pid"].asUInt());
        if (shown != line) {
            shown = line;
            std::fprintf(stderr, "tarvel-devsim: now %s\n", line);
        }
        ::usleep(100000);
    }
    serialFace.reset();
    simulator.stop();
    if (!privateDir.empty())
        ::rmdir(privateDir.c_str());
    std::fprintf(stderr, "tarvel-devsim: stopped\n");
    return 0;
}

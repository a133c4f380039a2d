#pragma once
// The command line of tarvel-bl: options first, then the command and its arguments exactly
// as the command factory takes them.

#include "blfwk/bootloader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bl {

struct Options {
    uint16_t vendorId = 0x15A2; // the ROM bootloader, the one identity that is always the same
    uint16_t productId = 0x0073;
    int timeoutMs = 5000;
    bool json = false;
    int verbosity = 0; // one per -v
    bool help = false;
    std::vector<std::string> command; // name, then arguments
    // A serial line in place of USB: the port, its speed and the bus bridge in front of it.
    std::string port; // empty: USB
    int baudRate = 115200;
    bool busPal = false;
    blfwk::BusPalSettings busPalSettings;
    bool ping = false; // report the framing protocol version
    std::string recordFile; // --record: the USB-HID traffic written as a session recording
    bool recordOverwrite = false;
};

// --port NAME[,BAUD] and --buspal spi|i2c|can[,SETTINGS]; false with a message in *error.
bool parsePortOption(const std::string& value, Options* options, std::string* error);
bool parseBusPalOption(const std::string& value, Options* options, std::string* error);

// Fills options from argv (without the program name). false with a message in *error when
// the line cannot be used.
bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// Filter levels: while the command runs, and while its outcome is shown.
int runFilterLevel(const Options& options);
int resultFilterLevel(const Options& options);

// The help text, listing every command with its arguments.
std::string helpText();

// Runs the whole program; returns the exit code (0 status 0, 1 other status, 2 refused
// arguments, 3 no connection).
int runTool(const std::vector<std::string>& args);

} // namespace bl

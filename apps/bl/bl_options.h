#pragma once
// The command line of tarvel-bl: options first, then the command and its arguments exactly
// as the command factory takes them.

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
};

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

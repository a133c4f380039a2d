#include "bl_options.h"

#include "blfwk/command.h"
#include "blfwk/logger.h"
#include "blfwk/protocol_tables.h"

#include <cstdlib>

namespace bl {

namespace {

bool parseNumber(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0' && *value <= max;
}

bool parseIdentity(const std::string& text, Options* options)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    unsigned long vid = 0, pid = 0;
    if (!parseNumber(text.substr(0, colon), 0xFFFF, &vid)
        || !parseNumber(text.substr(colon + 1), 0xFFFF, &pid))
        return false;
    options->vendorId = uint16_t(vid);
    options->productId = uint16_t(pid);
    return true;
}

} // namespace

bool parseOptions(const std::vector<std::string>& args, Options* options, std::string* error)
{
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.empty() || a[0] != '-')
            break;
        if (a == "--help" || a == "-h") {
            options->help = true;
        } else if (a == "--json") {
            options->json = true;
        } else if (a.size() >= 2 && a[1] == 'v' && a.find_first_not_of('v', 1) == std::string::npos) {
            options->verbosity += int(a.size() - 1);
        } else if (a == "--ping") {
            options->ping = true;
        } else if (a == "--record-overwrite") {
            options->recordOverwrite = true;
        } else if (a == "--record" || a.rfind("--record=", 0) == 0) {
            if (a == "--record" && i + 1 >= args.size()) {
                *error = "--record needs a file";
                return false;
            }
            options->recordFile = a == "--record" ? args[++i] : a.substr(9);
            if (options->recordFile.empty()) {
                *error = "--record needs a file";
                return false;
            }
        } else if (a == "--port" || a == "--buspal") {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            if (!(a == "--port" ? parsePortOption : parseBusPalOption)(args[++i], options, error))
                return false;
        } else if (a == "--usb" || a == "--timeout") {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (a == "--usb" && !parseIdentity(value, options)) {
                *error = "--usb takes VID:PID, for example 0x2b29:0x0b";
                return false;
            }
            unsigned long ms = 0;
            if (a == "--timeout") {
                // 0 would give every packet no time at all: no transfer could ever complete.
                if (!parseNumber(value, 0x7FFFFFFF, &ms) || ms == 0) {
                    *error = "--timeout takes milliseconds, 1 or more";
                    return false;
                }
                options->timeoutMs = int(ms);
            }
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    options->command.assign(args.begin() + long(i), args.end());
    if ((options->busPal || options->ping) && options->port.empty() && !options->help) {
        *error = options->busPal ? "--buspal needs --port" : "--ping needs --port";
        return false;
    }
    if (options->command.empty() && !options->help && !options->ping) {
        *error = "no command given";
        return false;
    }
    return true;
}

int runFilterLevel(const Options& options)
{
    if (options.json)
        return blfwk::Logger::Json;
    const int level = blfwk::Logger::Warning + options.verbosity;
    return level > blfwk::Logger::Trace ? int(blfwk::Logger::Trace) : level;
}

int resultFilterLevel(const Options& options)
{
    if (options.json)
        return blfwk::Logger::Json;
    const int level = runFilterLevel(options);
    return level < blfwk::Logger::Info ? int(blfwk::Logger::Info) : level;
}

std::string helpText()
{
    std::string text
        = "usage: tarvel-bl [--usb VID:PID] [--timeout MS] [--record FILE] [--json] [-v]... [--] COMMAND [ARG]...\n"
          "       tarvel-bl --port NAME[,BAUD] [--buspal BUS[,SETTINGS]] [--ping] [OPTION]... [COMMAND...]\n"
          "\n"
          "  --usb VID:PID   bootloader identity (default 0x15a2:0x0073)\n"
          "  --port NAME[,BAUD]\n"
          "                  a serial line instead of USB; NAME without a leading / is under\n"
          "                  /dev/ (ttyUSB0); BAUD defaults to 115200\n"
          "  --buspal spi[,KHZ[,POLARITY[,PHASE[,DIRECTION]]]]  (default spi,100,1,1,0)\n"
          "  --buspal i2c[,ADDRESS[,KHZ]]                       (default i2c,0x10,100)\n"
          "  --buspal can[,SPEED[,TXID[,RXID]]]                 (default can,4,0x321,0x123)\n"
          "                  reach the bootloader through a bus-bridge adapter on the port;\n"
          "                  an empty field keeps its default (spi,,0)\n"
          "  --ping          report the target's framing protocol version (a command may follow)\n"
          "  --timeout MS    time limit of each packet and bus request, in milliseconds, 1 or more\n"
          "  --record FILE   write the USB-HID traffic to FILE as a session recording (an existing\n"
          "                  FILE only with --record-overwrite)\n"
          "                  (default 5000)\n"
          "  --json          print only the command's result as JSON\n"
          "  -v              more detail; repeat up to -vvvv for byte traces\n"
          "\n"
          "Numbers are decimal, 0x-prefixed hexadecimal or 0-prefixed octal. Data for\n"
          "write-memory may be given inline as hexadecimal digits between {{ and }}.\n"
          "\n"
          "commands:\n";
    for (const blfwk::command_entry_t& row : blfwk::commandTable) {
        text += "  ";
        text += blfwk::Command::usage(row.name);
        text += "\n";
    }
    text += "\nExit status: 0 success, 1 the target answered with a failure (or not at all),\n"
            "2 the command or its arguments were refused, 3 no connection.\n";
    return text;
}

} // namespace bl

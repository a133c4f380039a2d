// The serial half of tarvel-bl's command line: the port with its speed, and the bus bridge
// with its settings (defaults as the framework's BusPalSettings holds them).
#include "bl_options.h"

#include <cstdlib>
#include <sstream>

namespace bl {

namespace {

std::vector<std::string> splitCommas(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        parts.push_back(part);
    if (!text.empty() && text.back() == ',')
        parts.emplace_back();
    return parts;
}

bool number(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0' && *value <= max;
}

// Fills the settings after the bridge's mode name; false with the failing part in *bad.
bool fillSettings(const std::vector<std::string>& parts, blfwk::BusPalSettings* s, std::string* bad)
{
    struct Field {
        int32_t* value32;
        uint8_t* value8;
        unsigned long min;
        unsigned long max;
    };
    std::vector<Field> fields;
    if (parts[0] == "spi") {
        s->function = blfwk::BusPalSettings::Spi;
        fields = { { &s->spiSpeedKhz, nullptr, 1, 100000 }, { &s->spiPolarity, nullptr, 0, 1 },
            { &s->spiPhase, nullptr, 0, 1 }, { &s->spiDirection, nullptr, 0, 1 } };
    } else if (parts[0] == "i2c") {
        s->function = blfwk::BusPalSettings::I2c;
        fields = { { nullptr, &s->i2cAddress, 0, 0x7F }, { &s->i2cSpeedKhz, nullptr, 1, 100000 } };
    } else if (parts[0] == "can") {
        s->function = blfwk::BusPalSettings::Can;
        fields = { { &s->canSpeed, nullptr, 0, 4 }, { &s->canTxid, nullptr, 0, 0x7FF },
            { &s->canRxid, nullptr, 0, 0x7FF } };
    } else {
        *bad = parts[0];
        return false;
    }
    if (parts.size() - 1 > fields.size()) {
        *bad = parts[fields.size() + 1];
        return false;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty())
            continue; // keeps the default
        unsigned long v = 0;
        if (!number(parts[i], fields[i - 1].max, &v) || v < fields[i - 1].min) {
            *bad = parts[i];
            return false;
        }
        if (fields[i - 1].value32)
            *fields[i - 1].value32 = int32_t(v);
        else
            *fields[i - 1].value8 = uint8_t(v);
    }
    return true;
}

} // namespace

bool parsePortOption(const std::string& value, Options* options, std::string* error)
{
    const size_t comma = value.find(',');
    const std::string name = value.substr(0, comma);
    if (name.empty()) {
        *error = "--port takes NAME[,BAUD], for example ttyUSB0,115200";
        return false;
    }
    options->port = name;
    if (comma != std::string::npos) {
        unsigned long baud = 0;
        if (!number(value.substr(comma + 1), 4000000, &baud) || baud < 300) {
            *error = "--port: bad baud rate '" + value.substr(comma + 1) + "' (300 to 4000000)";
            return false;
        }
        options->baudRate = int(baud);
    }
    return true;
}

bool parseBusPalOption(const std::string& value, Options* options, std::string* error)
{
    blfwk::BusPalSettings settings;
    std::string bad;
    const std::vector<std::string> parts = splitCommas(value);
    if (parts.empty() || !fillSettings(parts, &settings, &bad)) {
        *error = "--buspal: bad value '" + bad
            + "'; it takes spi[,KHZ[,POLARITY[,PHASE[,DIRECTION]]]], i2c[,ADDRESS[,KHZ]] or "
              "can[,SPEED[,TXID[,RXID]]]";
        return false;
    }
    options->busPal = true;
    options->busPalSettings = settings;
    return true;
}

} // namespace bl

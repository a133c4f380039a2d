#include "simulator.h"

#include <cstdlib>
#include <random>

namespace devsim {

Simulator::Simulator(DeviceConfig config)
    : m_config(std::move(config))
{ }

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(const std::string& socketPath, std::string* error)
{
    platform::vbus::BusAddress address;
    address.path = socketPath;
    if (socketPath.empty()) {
        if (error)
            *error = "socket path is empty or too long";
        return false;
    }
    return start(address, error);
}

bool Simulator::start(const platform::vbus::BusAddress& address, std::string* error)
{
    stop();
    std::string message;
    m_device = std::make_unique<Device>(m_config);
    if (!m_device->init(message)) {
        if (error)
            *error = message;
        m_device.reset();
        return false;
    }
    m_server = std::make_unique<BusServer>(*m_device);
    m_server->setRootMap(m_rootMap);
    m_server->setRecorder(m_recorder);
    if (!m_server->start(address, message)) {
        if (error)
            *error = message;
        m_server.reset();
        m_device.reset();
        return false;
    }
    m_path = platform::vbus::busAddressText(m_server->address());
    m_running = true;
    return true;
}

void Simulator::stop()
{
    if (!m_running)
        return;
    m_device->shutdown(); // wakes every request that waits on the device
    m_server->stop();
    m_server.reset();
    m_device.reset();
    m_running = false;
}

std::string randomBusToken()
{
    std::random_device source;
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (int word = 0; word < 4; ++word) {
        const uint32_t bits = source();
        for (int shift = 28; shift >= 0; shift -= 4)
            token.push_back(digits[(bits >> shift) & 0xF]);
    }
    return token;
}

bool parseVersion(const std::string& text, int& major, int& minor)
{
    size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= text.size())
        return false;
    char* end = nullptr;
    long a = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + dot)
        return false;
    long b = std::strtol(text.c_str() + dot + 1, &end, 10);
    if (*end != 0 || a < 0 || a > 127 || b < 0 || b > 127)
        return false;
    major = int(a);
    minor = int(b);
    return true;
}

namespace {

bool setModel(const std::string& value, DeviceConfig& config)
{
    char* stop = nullptr;
    const long model = std::strtol(value.c_str(), &stop, 10);
    config.model = int(model);
    return *stop == 0 && model >= 4 && model <= 16;
}

bool setVariant(const std::string& value, DeviceConfig& config)
{
    config.japanese = value == "japanese";
    return value == "standard" || value == "japanese";
}

bool setVersion(const std::string& value, DeviceConfig& config)
{
    return parseVersion(value, config.major, config.minor);
}

// Four dotted numbers, as the device's wireless chip reports its version ("1.10.31.39"): the
// updater reads nothing else as a version.
bool wirelessVersionText(const std::string& value)
{
    if (value.empty() || value.size() > 24)
        return false;
    int dots = 0;
    bool digitSeen = false;
    for (char c : value) {
        if (c == '.') {
            if (!digitSeen)
                return false;
            ++dots;
            digitSeen = false;
        } else if (c >= '0' && c <= '9') {
            digitSeen = true;
        } else {
            return false;
        }
    }
    return dots == 3 && digitSeen;
}

bool setNrfVersion(const std::string& value, DeviceConfig& config)
{
    config.nrfVersion = value;
    return wirelessVersionText(value);
}

bool setFace(const std::string& value, DeviceConfig& config)
{
    return faceFromName(value, config.face);
}

bool setDrive(const std::string& value, DeviceConfig& config)
{
    config.drive = value == "folder" ? DriveMode::Folder : DriveMode::Labelled;
    return value == "labelled" || value == "folder";
}

bool setDriveDir(const std::string& value, DeviceConfig& config)
{
    config.driveDir = value;
    return true;
}

bool setUserData(const std::string& value, DeviceConfig& config)
{
    config.seedUserData = value == "yes";
    return value == "yes" || value == "no";
}

struct DeviceKey {
    const char* key;
    bool (*set)(const std::string& value, DeviceConfig& config);
};

const DeviceKey kDeviceKeys[] = {
    { "model", setModel },
    { "variant", setVariant },
    { "version", setVersion },
    { "nrf", setNrfVersion },
    { "face", setFace },
    { "drive", setDrive },
    { "drive-dir", setDriveDir },
    { "user-data", setUserData },
};

const DeviceKey* findDeviceKey(const std::string& key)
{
    for (const DeviceKey& row : kDeviceKeys)
        if (key == row.key)
            return &row;
    return nullptr;
}

} // namespace

bool setDeviceKey(const std::string& key, const std::string& value, DeviceConfig& config)
{
    const DeviceKey* row = findDeviceKey(key);
    return row && row->set(value, config);
}

bool parseDeviceDescription(const std::string& text, DeviceConfig& config, std::string& error)
{
    DeviceConfig result = config;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        std::string pair = text.substr(at, end - at);
        at = end + 1;
        if (pair.empty())
            continue;
        size_t eq = pair.find('=');
        std::string key = pair.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
        const DeviceKey* row = findDeviceKey(key);
        if (!value.empty() && !row) {
            error = "unknown key '" + key + "'";
            return false;
        }
        if (value.empty() || !row->set(value, result)) {
            error = "bad value for '" + key + "'";
            return false;
        }
    }
    config = result;
    return true;
}

} // namespace devsim

#include "simulator.h"

#include <cstdlib>

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
    if (!m_server->start(socketPath, message)) {
        if (error)
            *error = message;
        m_server.reset();
        m_device.reset();
        return false;
    }
    m_path = socketPath;
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
        bool good = !value.empty();
        if (!good) {
        } else if (key == "model") {
            char* stop = nullptr;
            long model = std::strtol(value.c_str(), &stop, 10);
            good = *stop == 0 && model >= 4 && model <= 16;
            result.model = int(model);
        } else if (key == "variant") {
            good = value == "standard" || value == "japanese";
            result.japanese = value == "japanese";
        } else if (key == "version") {
            good = parseVersion(value, result.major, result.minor);
        } else if (key == "nrf") {
            good = value.find('.') != std::string::npos && value.size() <= 24;
            result.nrfVersion = value;
        } else if (key == "face") {
            good = faceFromName(value, result.face);
        } else if (key == "drive") {
            good = value == "labelled" || value == "folder";
            result.drive = value == "folder" ? DriveMode::Folder : DriveMode::Labelled;
        } else if (key == "drive-dir") {
            result.driveDir = value;
        } else if (key == "user-data") {
            good = value == "yes" || value == "no";
            result.seedUserData = value == "yes";
        } else {
            error = "unknown key '" + key + "'";
            return false;
        }
        if (!good) {
            error = "bad value for '" + key + "'";
            return false;
        }
    }
    config = result;
    return true;
}

} // namespace devsim

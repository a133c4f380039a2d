#include "simulator.h"

#include <cstdlib>

namespace devsim {

Simulator::Simulator(DeviceConfig config) : m_config(std::move(config)) {}

Simulator::~Simulator() { stop(); }

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

} // namespace devsim

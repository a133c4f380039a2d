#pragma once
// The device simulator as a library: one simulated device served on one bus socket, to be
// started and stopped from a test, from the updater's --simulate or from tarvel-devsim.
// Nothing in it is process-wide, so several may run one after the other or side by side.

#include "bus_server.h"
#include "device.h"

#include <memory>
#include <string>

namespace devsim {

class Simulator {
public:
    explicit Simulator(DeviceConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool start(const std::string& socketPath, std::string* error = nullptr);
    void stop();
    bool running() const { return m_running; }

    const std::string& socketPath() const { return m_path; }
    Device& device() { return *m_device; }

private:
    DeviceConfig m_config;
    std::unique_ptr<Device> m_device;
    std::unique_ptr<BusServer> m_server;
    std::string m_path;
    bool m_running = false;
};

// Reads "MAJOR.MINOR" (each 0 to 127, as the device reports them in one signed byte).
bool parseVersion(const std::string& text, int& major, int& minor);

// Reads a device description of comma-separated key=value pairs into config: model (4 to 16),
// variant (standard, japanese), version (MAJOR.MINOR), nrf (dotted text), face (application,
// bootloader, rom), drive (labelled, folder), drive-dir, user-data (yes, no). Keys not given
// keep config's values; an empty text is valid. False with error on anything else.
bool parseDeviceDescription(const std::string& text, DeviceConfig& config, std::string& error);

// Sets one key of a device description from its value text, as parseDeviceDescription does.
// False for an unknown key or a value the key does not take (config may then hold part of it).
bool setDeviceKey(const std::string& key, const std::string& value, DeviceConfig& config);

} // namespace devsim

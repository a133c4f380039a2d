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

    // Serves the device on a Unix socket path, or at address (a loopback TCP port, 0 for one
    // the system picks, with the address's token required of every connection).
    bool start(const std::string& socketPath, std::string* error = nullptr);
    bool start(const platform::vbus::BusAddress& address, std::string* error = nullptr);
    void stop();
    bool running() const { return m_running; }
    // Set before start: the drive roots as the client names them.
    void setRootMap(RootMap map) { m_rootMap = std::move(map); }
    // Set before start: the clients' traffic is also written to recorder (which outlives
    // the simulator).
    void setRecorder(SessionRecorder* recorder) { m_recorder = recorder; }

    // What a client's TARVEL_VBUS takes: the socket path, or tcp:HOST:PORT/TOKEN with the port
    // picked.
    const std::string& socketPath() const { return m_path; }
    Device& device() { return *m_device; }

private:
    DeviceConfig m_config;
    std::unique_ptr<Device> m_device;
    std::unique_ptr<BusServer> m_server;
    RootMap m_rootMap;
    SessionRecorder* m_recorder = nullptr;
    std::string m_path;
    bool m_running = false;
};

// A fresh token for a TCP bus: 32 hexadecimal digits from the system's random source.
std::string randomBusToken();

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

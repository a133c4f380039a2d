#include "simulated_device.h"

#include "platform/vbus/wire.h"
#include "platform/virtual_bus.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

SimulatedBus defaultSimulatedBus()
{
    return platform::vbus::unixSocketsAvailable() ? SimulatedBus::UnixSocket : SimulatedBus::Tcp;
}

bool startSimulatedDevice(
    devsim::DeviceConfig config, SimulatedDevice& device, std::string& error, SimulatedBus bus)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/tarvel-updater-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        error = "cannot make a private folder for the simulated device under " + pattern;
        return false;
    }
    device.folder = name.data();
    std::error_code ec;
    fs::create_directories(device.folder + "/data", ec);
    fs::create_directories(device.folder + "/state", ec);
    // The staging folder and the place of a held backup: this run's own.
    ::setenv("XDG_DATA_HOME", (device.folder + "/data").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (device.folder + "/state").c_str(), 1);
    if (config.driveDir.empty())
        config.driveDir = device.folder + "/drive";

    device.simulator = std::make_unique<devsim::Simulator>(config);
    platform::vbus::BusAddress address;
    if (bus == SimulatedBus::Tcp) {
        address.kind = platform::vbus::BusAddress::Kind::Tcp;
        address.host = "127.0.0.1";
        address.token = devsim::randomBusToken();
    } else {
        address.path = device.folder + "/bus.sock";
    }
    if (!device.simulator->start(address, &error)) {
        error = "the simulated device did not start: " + error;
        stopSimulatedDevice(device);
        return false;
    }
    platform::selectVirtualBus(device.simulator->socketPath());
    return true;
}

void stopSimulatedDevice(SimulatedDevice& device)
{
    if (device.simulator) {
        device.simulator->stop();
        device.simulator.reset();
    }
    if (!device.folder.empty()) {
        std::error_code ec;
        fs::remove_all(device.folder, ec);
        device.folder.clear();
    }
}

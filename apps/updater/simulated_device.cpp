#include "simulated_device.h"

#include "platform/local_folders.h"
#include "platform/vbus/wire.h"
#include "platform/virtual_bus.h"

#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;

SimulatedBus defaultSimulatedBus()
{
    return platform::vbus::unixSocketsAvailable() ? SimulatedBus::UnixSocket : SimulatedBus::Tcp;
}

bool startSimulatedDevice(
    devsim::DeviceConfig config, SimulatedDevice& device, std::string& error, SimulatedBus bus)
{
    // A new folder of a random name, the user's alone: create_directory says whether this call
    // made it.
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && device.folder.empty(); ++attempt) {
        const fs::path candidate = base / ("tarvel-updater-" + std::to_string(random()));
        if (fs::create_directory(candidate, ec)) {
            fs::permissions(candidate, fs::perms::owner_all, ec);
            device.folder = candidate.string();
        }
    }
    if (device.folder.empty()) {
        error = "cannot make a private folder for the simulated device under " + base.string();
        return false;
    }
    fs::create_directories(device.folder + "/data", ec);
    fs::create_directories(device.folder + "/state", ec);
    // The staging folder and the place of a held backup: this run's own.
    platform::setDataHome(device.folder + "/data");
    platform::setStateHome(device.folder + "/state");
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

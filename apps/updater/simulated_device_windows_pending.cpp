// TEMPORARY (Windows): --simulate until the bus's TCP loopback form lands; the simulated device
// needs a bus that a Windows program can reach, so the option is refused with its reason.

#include "simulated_device.h"

bool startSimulatedDevice(devsim::DeviceConfig, SimulatedDevice& device, std::string& error)
{
    device = SimulatedDevice();
    error = "the simulated device is not available in this Windows build yet";
    return false;
}

void stopSimulatedDevice(SimulatedDevice& device)
{
    device.simulator.reset();
}

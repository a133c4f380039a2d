#pragma once
// --simulate: the project's simulated device served in this process on a private bus, in a
// private temporary folder that also holds the device's drive (unless the description
// names one) and this run's local folders, so that a simulated run never touches the rider
// data or a held backup of a real device.

#include "simulator.h"

#include <memory>
#include <string>

struct SimulatedDevice {
    std::string folder; // the private temporary folder
    std::unique_ptr<devsim::Simulator> simulator;
};

// How the private bus is served: a Unix socket in the folder, or a loopback TCP port of the
// system's choosing with a random token, so that no other local program can drive the run.
enum class SimulatedBus { UnixSocket, Tcp };
// The one place that chooses: the Unix socket where the platform has them, else TCP.
SimulatedBus defaultSimulatedBus();

// Makes the folder, points the local folders into it, starts the simulator on its bus
// (folder/bus.sock, or TCP) and selects that bus for the whole process. False with error on any
// failure (nothing left behind).
bool startSimulatedDevice(devsim::DeviceConfig config, SimulatedDevice& device, std::string& error,
    SimulatedBus bus = defaultSimulatedBus());

// Stops the simulator and removes the folder.
void stopSimulatedDevice(SimulatedDevice& device);

#pragma once
// --simulate: the project's simulated device served in this process on a private bus socket,
// in a private temporary folder that also holds the device's drive (unless the description
// names one) and this run's local folders, so that a simulated run never touches the rider
// data or a held backup of a real device.

#include "simulator.h"

#include <memory>
#include <string>

struct SimulatedDevice {
    std::string folder; // the private temporary folder
    std::unique_ptr<devsim::Simulator> simulator;
};

// Makes the folder, points the local folders into it, starts the simulator on folder/bus.sock
// and selects that bus for the whole process. False with error on any failure (nothing left
// behind).
bool startSimulatedDevice(devsim::DeviceConfig config, SimulatedDevice& device, std::string& error);

// Stops the simulator and removes the folder.
void stopSimulatedDevice(SimulatedDevice& device);

#pragma once
// Selection of the virtual USB bus for the whole process. The bus is used when the
// environment variable TARVEL_VBUS names its socket, or when the program selects one
// explicitly (the updater's --simulate runs its simulator on a private socket).

#include <string>

namespace platform {

// Uses the bus at socketPath for every platform service from now on. Call it before the
// first device is opened; an empty path goes back to TARVEL_VBUS or the platform's backends.
void selectVirtualBus(const std::string& socketPath);

// The socket of the bus in use: the selected one, else TARVEL_VBUS, else empty (no bus).
std::string virtualBusPath();

} // namespace platform

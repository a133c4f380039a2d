#pragma once
// Selection of the virtual USB bus for the whole process. The bus is used when the
// environment variable TARVEL_VBUS names it (a socket path, or tcp:HOST:PORT[/TOKEN] on the
// loopback interface), or when the program selects one explicitly (the updater's --simulate
// runs its simulator on a private bus).

#include <functional>
#include <string>

namespace platform {

// Uses the bus at address for every platform service from now on. Call it before the
// first device is opened; an empty address goes back to TARVEL_VBUS or the platform's backends.
void selectVirtualBus(const std::string& address);

// The address of the bus in use: the selected one, else TARVEL_VBUS, else empty (no bus).
std::string virtualBusPath();

// Told when the bus in use cannot be used: its address is refused, it cannot be reached, it
// refused the connection (a wrong token), or it broke the bus's contract (a malformed or
// unasked-for line, a field of the wrong type). Called on the thread that found it, with one
// sentence naming the bus (never its token); it may be called again for later faults. An empty
// handler removes it. Without a handler the fault is only what the failed call returns.
using VirtualBusFaultHandler = std::function<void(const std::string& message)>;
void setVirtualBusFaultHandler(VirtualBusFaultHandler handler);

} // namespace platform

#pragma once
// Serves a test's simulator on a loopback TCP port the system picks, with a fresh token: the
// bus form every platform has (Wine and Windows before 1803 have no Unix-domain sockets), and
// one that leaves no socket file behind. Header only: the tests that use it link the simulator.

#include "simulator.h"

#include <string>

namespace testsupport {

inline bool serveOnLoopback(devsim::Simulator& simulator, std::string* error)
{
    platform::vbus::BusAddress address;
    address.kind = platform::vbus::BusAddress::Kind::Tcp;
    address.host = "127.0.0.1";
    address.token = devsim::randomBusToken();
    return simulator.start(address, error);
}

} // namespace testsupport

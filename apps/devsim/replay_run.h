#pragma once
// tarvel-devsim --replay: serves a session recording as the device on the bus until the
// recording has been replayed and the host has gone (0), a request did not match (1), or a
// stop signal (0).

#include "platform/vbus/bus_address.h"

#include <string>

namespace devsim {

int runReplay(const std::string& recordingPath, const platform::vbus::BusAddress& address, double timeScale,
    bool (*stopRequested)());

} // namespace devsim

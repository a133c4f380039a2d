#pragma once
// tarvel-devsim --replay: serves a session recording as the device on the bus until the
// recording has been replayed and the host has gone (0), a request did not match (1), or a
// stop signal (0).

#include "faults.h"

#include "platform/vbus/bus_address.h"

#include <string>
#include <vector>

namespace devsim {

// faults: laid over the recorded answers (--replay-faults).
int runReplay(const std::string& recordingPath, const platform::vbus::BusAddress& address, double timeScale,
    const std::vector<Fault>& faults, bool (*stopRequested)());

} // namespace devsim

// TEMPORARY (Windows): the simulator's listener until the bus's TCP loopback form lands. The
// Unix-domain listener of bus_server.cpp has no Windows counterpart yet, so a simulator started
// in a Windows program refuses to start with a clear reason.

#include "bus_server.h"

namespace devsim {

bool BusServer::start(const std::string& path, std::string& error)
{
    error = "cannot serve the bus at " + path + ": this Windows build has no bus listener yet";
    return false;
}

void BusServer::stop() { }

} // namespace devsim

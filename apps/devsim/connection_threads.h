#pragma once
// What the bus server and the replay server do alike with their client connections when they
// stop: take the list out under its lock, shut every socket so that its reader wakes, then
// join every connection's thread.

#include <list>
#include <memory>
#include <mutex>

namespace devsim {

template <typename Connection>
void shutDownConnections(std::mutex& mutex, std::list<std::unique_ptr<Connection>>& live)
{
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex);
        connections.swap(live);
    }
    for (auto& c : connections)
        c->socket.shutdown();
    for (auto& c : connections)
        if (c->thread.joinable())
            c->thread.join();
}

} // namespace devsim

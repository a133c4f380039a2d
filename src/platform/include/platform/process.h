#pragma once
// What a console program needs of its process: interruptions (Ctrl-C, a request to end) taken
// on a thread of its own, whether a stream is a terminal, and an immediate end.

#include <cstdio>
#include <functional>
#include <string>

namespace platform {

// Call first in main, before any thread starts: interruptions are then delivered to
// watchInterrupts() alone (POSIX: SIGINT and SIGTERM blocked in every thread; a broken pipe
// ignored). Nothing on Windows, where the console's control handler runs on a thread of its own.
void prepareInterrupts();

// Calls handler once, on a thread of its own, when the user interrupts (Ctrl-C: 2) or the
// system asks the process to end (15). The handler is expected to end the process.
void watchInterrupts(std::function<void(int signal)> handler);

bool isTerminal(FILE* stream);

// Sets an environment variable of this process (and of the programs it starts).
void setEnvironment(const std::string& name, const std::string& value);
void unsetEnvironment(const std::string& name);

// Ends the process at once with status, running no destructors and no exit handlers.
[[noreturn]] void endProcessNow(int status);
// Blocks the calling thread for the rest of the process's life.
[[noreturn]] void waitForever();

} // namespace platform

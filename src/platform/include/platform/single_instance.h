#pragma once
// One updater at a time: a lock named for the program, held for the life of the process (the
// kernel drops it when the process ends, however it ends).

#include <string>

namespace platform {

// Takes the lock called name. False when another holder has it (another process, or an
// earlier call in this process that has not released it) or it cannot be had at all.
bool acquireSingleInstance(const std::string& name);
// Gives the lock taken by acquireSingleInstance back; nothing when none is held.
void releaseSingleInstance();

// Where the lock lives: ${XDG_RUNTIME_DIR:-/tmp}/<name>.lock.
std::string singleInstanceLockPath(const std::string& name);

} // namespace platform

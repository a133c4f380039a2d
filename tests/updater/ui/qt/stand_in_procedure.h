#pragma once
// A stand-in for the shell's window procedure, for tests of the window on its own: it records
// every call in order and runs what a test puts into its hooks.

#include "state/window_port.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace standin {

// "command 0", "device 7", "message 32869 0", "timer 6027", "dialog-init",
// "dialog 1005", "dialog-close", "created", "shown", "destroy"
std::vector<std::string> calls();
void clear();

extern std::function<void(int)> onCommandHook;
extern std::function<void(int)> onDeviceChangeHook;
extern std::function<void(int, MessageParam)> onMessageHook;
extern std::function<void(int)> onRecoveryCommandHook;
extern std::function<void()> onRecoveryInitHook;
extern bool warning;
extern int focusGains;

} // namespace standin

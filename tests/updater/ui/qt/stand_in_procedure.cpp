#include "stand_in_procedure.h"

#include "shell/run_options.h"
#include "shell/window_procedure.h"

#include <cstdio>

namespace standin {

namespace {
std::mutex g_mutex;
std::vector<std::string> g_calls;

void record(const std::string& call)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(call);
}
} // namespace

std::function<void(int)> onCommandHook;
std::function<void(int)> onDeviceChangeHook;
std::function<void(int, MessageParam)> onMessageHook;
std::function<void(int)> onRecoveryCommandHook;
std::function<void()> onRecoveryInitHook;
bool warning = false;
int focusGains = 0;

std::vector<std::string> calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

void clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
}

} // namespace standin

using namespace standin;

bool startUpdater() { return true; }
void onWindowCreated() { record("created"); }
void onWindowShown() { record("shown"); }
void onDeviceChange(int event)
{
    record("device " + std::to_string(event));
    if (onDeviceChangeHook)
        onDeviceChangeHook(event);
}
void onCommand(int commandId)
{
    record("command " + std::to_string(commandId));
    if (onCommandHook)
        onCommandHook(commandId);
}
void onWindowMessage(int message, MessageParam wParam)
{
    record("message " + std::to_string(message) + " " + std::to_string(wParam));
    if (onMessageHook)
        onMessageHook(message, wParam);
}
void onTimer(int timerId) { record("timer " + std::to_string(timerId)); }
void onFocusGained()
{
    // Activation comes and goes with the window system; tests that care count it themselves.
    std::lock_guard<std::mutex> lock(g_mutex);
    ++focusGains;
}
void onDestroy() { record("destroy"); }
void onCloseAsked() { record("close-asked"); }
void onRecoveryDialogInit()
{
    record("dialog-init");
    if (onRecoveryInitHook)
        onRecoveryInitHook();
}
void onRecoveryDialogCommand(int controlId)
{
    record("dialog " + std::to_string(controlId));
    if (onRecoveryCommandHook)
        onRecoveryCommandHook(controlId);
}
void onRecoveryDialogClose() { record("dialog-close"); }
bool warningShown() { return warning; }

namespace {
RunOptions g_options;
}
void setRunOptions(const RunOptions& options) { g_options = options; }
const RunOptions& runOptions() { return g_options; }
MessageBoxAnswer autoAnswer(const char*, const char*, MessageBoxKind kind)
{
    return kind == MessageBoxKind::YesNo ? MessageBoxAnswer::Yes : MessageBoxAnswer::Ok;
}

// The shell's shared window rules, as the window sees them with no device work anywhere: every
// entry the port enabled can be chosen (the stale-input rule comes with the handler queue).
bool startsDeviceWork(int) { return false; }
bool deviceWorkUnderWay() { return false; }
bool menuEntryChoosable(int) { return true; }

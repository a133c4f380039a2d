// The console program's process on Windows: Ctrl-C and the console's close or logoff are taken
// by the control handler, which the system runs on a thread of its own.

#include "platform/process.h"

#include <windows.h>

#include <cstdlib>
#include <io.h>
#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;
std::function<void(int)> g_handler;

BOOL WINAPI onControl(DWORD event)
{
    std::function<void(int)> handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = std::move(g_handler);
        g_handler = nullptr;
    }
    if (!handler)
        return TRUE; // one interruption is handled; the process is ending
    handler(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 2 : 15);
    return TRUE;
}
} // namespace

void prepareInterrupts() { }

void watchInterrupts(std::function<void(int signal)> handler)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_handler = std::move(handler);
    }
    SetConsoleCtrlHandler(onControl, TRUE);
}

bool isTerminal(FILE* stream)
{
    return stream && _isatty(_fileno(stream)) != 0;
}

void setEnvironment(const std::string& name, const std::string& value)
{
    _putenv_s(name.c_str(), value.c_str());
}

void unsetEnvironment(const std::string& name)
{
    _putenv_s(name.c_str(), ""); // an empty value removes the variable
}

void endProcessNow(int status)
{
    std::_Exit(status);
}

void waitForever()
{
    for (;;)
        Sleep(INFINITE);
}

} // namespace platform

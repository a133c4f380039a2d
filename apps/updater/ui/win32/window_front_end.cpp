#include "window_front_end.h"

#include "resource_ids.h"
#include "win32_window_port.h"

#include "shell/run_options.h"
#include "shell/window_procedure.h"
#include "state/shared_state.h"

#include "platform/device_events.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

const wchar_t kCaption[] = L"Tarvel GPS Updater Message";
const wchar_t kAlreadyRunning[] = L"You already have updater running.";

// Device work that must not be cut short by returning through the program's destructors.
bool workMustFinish()
{
    return deviceWorkUnderWay() || isSet(scanInProgress);
}

// The time of a step of start-up, for the first-paint benchmark (nanoseconds since 1970, as
// the benchmark's own clock counts them).
void reportStep(const char* step)
{
    if (!std::getenv("TARVEL_REPORT_FIRST_PAINT"))
        return;
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::fprintf(stderr, "tarvel-updater: %s at %lld\n", step, static_cast<long long>(now.count()));
    std::fflush(stderr);
}

} // namespace

bool windowDisplayAvailable() { return true; }

int runWindowFrontEnd(int, char**)
{
    reportStep("window front end");
    // Started from the desktop the program has a console of its own, which only gets in the
    // way of the window; one it shares with a command prompt stays, and so does standard error
    // sent to a file or a pipe (the status and answer lines go there).
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1 && GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR)
        FreeConsole();

    if (!startUpdater()) {
        if (runOptions().autoAnswer)
            std::fprintf(stderr, "[Tarvel GPS Updater Message] You already have updater running.\n");
        else
            MessageBoxW(nullptr, kAlreadyRunning, kCaption, MB_OK);
        // The rider looks for the running updater: its window comes to the front, or the box or
        // dialog it has open, which is where its answer is awaited.
        wchar_t className[100] = L"";
        LoadStringW(GetModuleHandleW(nullptr), IDC_FWUPDATER3, className, 100);
        if (HWND first = FindWindowW(className, nullptr)) {
            const HWND shown = GetLastActivePopup(first);
            if (IsIconic(first))
                ShowWindow(first, SW_RESTORE);
            SetForegroundWindow(shown ? shown : first);
        }
        return 0;
    }

    // The port and its window live until the process ends; workers may hold the port.
    auto* port = new Win32WindowPort(GetModuleHandleW(nullptr));
    if (!port->created())
        return 0;
    setMainWindow(port);
    port->dispatch([] { onWindowCreated(); });
    ShowWindow(port->window(), SW_SHOWNORMAL);
    UpdateWindow(port->window());
    platform::deviceEventService().start(
        [port](const platform::DeviceEvent& event) { port->postDeviceChange(deviceChangeMessage(event.kind)); });

    port->run([port] {
        reportStep("first paint");
        port->dispatch([] { onWindowShown(); });
    });

    reportStep("loop ended");
    platform::deviceEventService().stop();
    reportStep("device events stopped");
    setMainWindow(nullptr);
    port->close();
    reportStep("window closed");
    std::fflush(stdout);
    std::fflush(stderr);
    if (workMustFinish()) {
        // Workers are still at the device; they are parked at their next window call and end
        // with the process. The device and the rider's data are left as a crash would leave
        // them, which the next run takes up.
        std::fprintf(stderr, "tarvel-updater: the window closed while device work was under way; the next run "
                             "takes it up.\n");
        std::_Exit(0);
    }
    return 0;
}

#include "status_callbacks.h"

#include "app_callbacks.h"
#include "shared_state.h"
#include "window_port.h"

#include "platform/clock.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr size_t kLogLineLimit = 299;
} // namespace

void setStatus(int isComplete, const char* message, const char* detail)
{
    if (message)
        statusText.set(message);
    if (detail)
        statusDetail.set(detail);

    WindowPort* window = mainWindow();
    if (isSet(factoryResetActive) || isSet(languagePackActive)) {
        if (window) {
            window->showControl(WindowControl::UpdateButton, false);
            window->showControl(WindowControl::ProgressBar, true);
        }
    } else if (isComplete) {
        appendLog("\n-- isComplete --\n");
        if (!isSet(reverseUpgrade)) {
            if (window)
                window->showControl(WindowControl::UpdateButton, true);
            char line[64];
            std::snprintf(line, sizeof line, " updateButton SW_SHOW A ADF:%i \r\n", int(ADF.load()));
            appendLog(line);
        }
        if (window) {
            window->showControl(WindowControl::ProgressBar, false);
            window->setButtonText("OK");
        }
    }
    if (window)
        window->repaint();
}

void appendLog(const char* text)
{
    WindowPort* window = mainWindow();
    if (!window || !text)
        return;
    const size_t length = strnlen(text, kLogLineLimit);
    window->debugOutput(text, length);
    window->appendToLog(text, length);
}

void sleepSeconds(int seconds) { platform::pauseSeconds(seconds); }

void installAppCallbacks()
{
    setStatusCallback(setStatus);
    setLogCallback(appendLog);
    setSleepCallback(sleepSeconds);
}

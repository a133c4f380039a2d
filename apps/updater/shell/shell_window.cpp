#include "shell_window.h"

#include "shell.h"

#include "state/app_callbacks.h"
#include "state/shared_state.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {
std::mutex g_menuMutex;
std::map<int, bool> g_menu; // entries not listed are enabled
} // namespace

void showButton(bool visible)
{
    if (WindowPort* window = mainWindow())
        window->showControl(WindowControl::UpdateButton, visible);
}

void showProgress(bool visible)
{
    if (WindowPort* window = mainWindow())
        window->showControl(WindowControl::ProgressBar, visible);
}

void setButtonLabel(const char* text)
{
    if (WindowPort* window = mainWindow())
        window->setButtonText(text);
}

void repaintWindow()
{
    if (WindowPort* window = mainWindow())
        window->repaint();
}

void debugLine(const char* text)
{
    if (WindowPort* window = mainWindow())
        window->debugOutput(text, std::strlen(text));
}

void logAndDebug(const char* text)
{
    logLine(text);
    debugLine(text);
}

MessageBoxAnswer ask(const char* text, const char* caption, MessageBoxKind kind, MessageBoxIcon icon)
{
    if (WindowPort* window = mainWindow())
        return window->messageBox(text, caption, kind, icon);
    switch (kind) {
    case MessageBoxKind::Ok:
        return MessageBoxAnswer::Ok;
    case MessageBoxKind::OkCancel:
        return MessageBoxAnswer::Cancel;
    case MessageBoxKind::YesNo:
        return MessageBoxAnswer::No;
    }
    return MessageBoxAnswer::Cancel;
}

void tell(const char* text, const char* caption)
{
    ask(text, caption, MessageBoxKind::Ok, MessageBoxIcon::None);
}

void sendToWindow(int message, MessageParam wParam)
{
    if (WindowPort* window = mainWindow())
        window->sendMessage(message, wParam);
}

void enableMenu(int commandId, bool enabled)
{
    {
        std::lock_guard<std::mutex> lock(g_menuMutex);
        g_menu[commandId] = enabled;
    }
    if (WindowPort* window = mainWindow())
        window->enableMenuItem(commandId, enabled);
}

void resetMenuState()
{
    std::lock_guard<std::mutex> lock(g_menuMutex);
    g_menu.clear();
}

bool menuItemEnabled(int commandId)
{
    std::lock_guard<std::mutex> lock(g_menuMutex);
    auto it = g_menu.find(commandId);
    return it == g_menu.end() || it->second;
}

void setStatusLines(const char* text, const char* detail)
{
    if (text)
        statusText.set(text);
    if (detail)
        statusDetail.set(detail);
    repaintWindow();
}

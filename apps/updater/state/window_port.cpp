#include "window_port.h"

#include <atomic>

namespace {
std::atomic<WindowPort*> g_window { nullptr };
} // namespace

WindowPort* mainWindow()
{
    return g_window.load();
}
void setMainWindow(WindowPort* window)
{
    g_window.store(window);
}

#pragma once
// The shell's calls on its main window, each a no-op while no window exists. They go through
// the Window port only.

#include "state/window_port.h"

void showButton(bool visible);
void showProgress(bool visible);
void setButtonLabel(const char* text);
// Invalidates and updates the window: the status lines and the warning are painted afresh.
void repaintWindow();
// The developer's line sink only, not the log window.
void debugLine(const char* text);
// Logs a line and writes it to the developer's line sink as well.
void logAndDebug(const char* text);
// A message box; without a window the safe answer (Cancel, No) is taken.
MessageBoxAnswer ask(const char* text, const char* caption, MessageBoxKind kind, MessageBoxIcon icon);
void tell(const char* text, const char* caption);
void sendToWindow(int message, MessageParam wParam = 0);
void enableMenu(int commandId, bool enabled);
// Every menu entry enabled again, as a freshly created menu has them.
void resetMenuState();
void setStatusLines(const char* text, const char* detail);

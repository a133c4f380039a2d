#pragma once
// The updater's window: what tarvel-updater runs unless it was asked to run headless.

// Start-up in window mode and the window's message loop; returns the exit status (0).
// A second instance shows "You already have updater running." and returns 0.
int runWindowFrontEnd(int argc, char** argv);

// Whether the window can be shown: always on Windows, where the desktop is there.
bool windowDisplayAvailable();

#pragma once
// The updater's window: what tarvel-updater runs unless it was asked to run headless.

// Start-up in window mode and the window's message loop; returns the exit status (0).
// A second instance shows "You already have updater running." and returns 0.
int runWindowFrontEnd(int argc, char** argv);

// Whether a display can be opened for the window (an X server, or a platform named in
// QT_QPA_PLATFORM). False means the caller runs headless. The X connection it opened stays
// open until the window's own is made (runWindowFrontEnd), or until the process ends.
bool windowDisplayAvailable();

#pragma once
// The window front end's entry, provided by ui/qt when the build has it (the CMake target
// tarvel_ui_qt, which also defines TARVEL_HAS_WINDOW_FRONT_END for main). Runs the window on
// the shell until the program ends and returns its exit status. The run options and the
// simulated device are in place before it is called.

int runWindowFrontEnd(int argc, char** argv);

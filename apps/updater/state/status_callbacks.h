#pragma once
// The application's side of the report slots: the two status lines, the log and the pauses.

// Sets the status lines (nullptr keeps a line, "" blanks it) and shows the end of an operation.
void setStatus(int isComplete, const char* message, const char* detail);
// Appends at most the first 299 bytes of text to the log window and the debugger output.
// Dropped while no main window exists.
void appendLog(const char* text);
// Blocks the calling thread for seconds x 1000 ms (through the time service).
void sleepSeconds(int seconds);

// Stores the three routines in the report slots, the status first (which shows the first text).
void installAppCallbacks();

#pragma once
// The flash progress counter: the output of the bootloader framework's logger. It counts every
// message the logger lets through and, at three fixed counts, puts a percentage into the
// second status line. It is the only progress shown while an image is written.

// Counts one logger message (the text is ignored). Allocation-free.
void flashProgressOutput(const char* text);

// Installs flashProgressOutput as the output of the framework's file logger.
void installFlashProgressCounter();

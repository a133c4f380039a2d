#pragma once
// A programming of the device's application that did not finish (the write cut short, the
// device gone, the image refused) can leave flash whose version record already reads as the
// new firmware. Such a device is not up to date, whatever it reports, until a programming
// completes. The mark is kept in flashIncomplete and in a file beside the held backup, so a
// later run knows it too.

// Sets or clears the mark in shared state and on disk; false when the file could not be
// written or removed (the shared mark is set either way).
bool rememberUnfinishedFlash(bool unfinished);

// Start-up: takes the mark an earlier run left on disk into flashIncomplete.
void loadUnfinishedFlash();

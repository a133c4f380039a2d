#pragma once
// The shell's own operations beyond the window procedure: the scan, the orchestration's
// starters and handlers, the menu commands and the menu refresh. They run on the window
// thread unless they say otherwise; the tests and the front ends reach them through
// window_procedure.h, this header is for the shell's files and its tests.

#include "state/window_port.h"

#include <chrono>

// Device presence (device_scan.cpp).
void deviceScan();

// The menu entries and the two main controls in step with the shared flags (menu_state.cpp).
void updateMenuState();
// Whether a menu entry can be chosen now; commands of disabled entries are not acted on.
bool menuItemEnabled(int commandId);

// The orchestration (update_flow.cpp, update_workers.cpp).
void startUpdateWorker();
void startUpdateNordic();
void requestUpdate(const char* logText);
void onGpsDeviceInfoRead();
void onDeviceInfoReadMessage();
void onUpdateButton();
void autoUpdateContinuation();
// The worker threads' bodies, run on detached threads by the starters above and the scan.
void startUpdateWorkerThread();
void startOnBootloaderModeThread(); // started with bootloaderThreadActive claimed; releases it
void nordicThread();
// The language packs of a device that came back from its wireless update after its worker
// stopped waiting for it.
void pendingLanguagePacksThread();
// How long the wireless worker waits for the device to be back after its update (60 s; tests).
void setDeviceReturnLimit(std::chrono::milliseconds limit);
void eraseKeysThread();
// Whether a worker is exchanging requests with the running device now (its wireless update,
// its language packs, the jump to its bootloader): the scan must not open a second handle to it
// meanwhile.
bool workerTalksToDevice();
// The scan's read of the running device, the other side of the same rule: begins only while no
// worker talks (false: leave the device alone), and a worker about to talk waits for a read
// already under way to end first, so the two never share the device's replies.
bool beginScanRead();
void endScanRead();
// Starts body on a detached thread (workers.cpp). The workers are never joined; the count of
// those still running lets a front end (or a test) wait for them before the process ends.
void startWorker(void (*body)());
int runningWorkers();

// Recovery (recovery.cpp).
void onCreateRecoveryDialog();
void onCloseRecoveryDialog();
void onStartEmergencyProgram(MessageParam deviceType);
bool recoveryDialogExists();

// Menu commands (menu_commands.cpp).
void factoryResetCommand();
void factoryResetReturn();
void runLanguagePackUpdate();
void eraseKeysCommand();
void forceUpdateCommand();
void showLogCommand();
void aboutCommand();

// The texts the menu and the start-up share.
extern const char* const kNoDeviceText; // "Please connect your\nTarvel GPS Device"

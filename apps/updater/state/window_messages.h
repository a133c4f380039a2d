#pragma once
// The numbers the window and the shell share: custom window messages, the timer, menu command
// ids and the control ids of the recovery dialog.

// Custom window messages, sent with WindowPort::sendMessage.
constexpr int WM_CREATE_RECOVERY_MODE_DLG = 6024;
constexpr int WM_CLOSE_RECOVERY_MODE_DLG = 6025;
constexpr int WM_START_EMERGENCY_PROGRAM = 6026; // wParam: device type
constexpr int WM_ON_DEVICE_INFO_READ = 32869;
// The device came back while its bootloader worker was still finishing: the update goes on.
constexpr int kMessageContinueUpdate = 32870;
// A worker's read of the device, carried out on the window thread, which owns the shared device
// record; wParam points to the bool that receives readDevice's result.
constexpr int kMessageReadDevice = 32871;
// Destroys the main window (the program ends); what a worker sends when it cannot go on.
constexpr int kMessageDestroy = 0x0002;

// The one-shot update alert, 1000 ms after the window's creation.
constexpr int UPDATE_ALERT_TIMER = 6027;
constexpr int kUpdateAlertDelayMs = 1000;

// Device-change events, as the handler receives them.
constexpr int DBT_DEVNODES_CHANGED = 0x0007;
constexpr int DBT_DEVICEARRIVAL = 0x8000;
constexpr int DBT_DEVICEREMOVECOMPLETE = 0x8004;

// Commands of the main window: the button, menu entries and accelerators.
constexpr int kCommandUpdateButton = 0;
constexpr int kCommandAbout = 104;
constexpr int kCommandExit = 105;
constexpr int kCommandFactoryReset = 32771;
constexpr int kCommandShowLog = 32772;
constexpr int kCommandForceUpdate = 32778;
constexpr int kCommandEraseKeys = 32779;
constexpr int kCommandLanguagePacks = 32780;
constexpr int kCommandLoadJapanFirmware = 32781;   // always disabled
constexpr int kCommandLoadStandardFirmware = 32782; // always disabled

// The recovery dialog: OK and Cancel, a model's box is 1000 + its type, a language's box
// 1000 + its variant.
constexpr int kRecoveryOk = 1;
constexpr int kRecoveryCancel = 2;
constexpr int kRecoveryFirstModelBox = 1004;
constexpr int kRecoveryLastModelBox = 1016;
constexpr int kRecoveryJapaneseBox = 1060;
constexpr int kRecoveryEnglishBox = 1099;

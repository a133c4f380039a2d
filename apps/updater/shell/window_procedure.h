#pragma once
// The shell's face towards a front end (the Qt window, the headless console, tests): what the
// main window's procedure does for each thing that reaches it. Every function here runs on the
// window thread; a front end calls them one at a time, in the order the events happened, and
// never calls one from inside another that is still running (events that arrive meanwhile wait).

#include "platform/device_events.h"
#include "state/window_port.h"

#include <chrono>

// Start-up, before the window exists: takes the single-instance lock and installs the report
// slots. False when another instance holds the lock: the caller then shows
// "You already have updater running." (caption "Tarvel GPS Updater Message") and exits 0.
bool startUpdater();

// The window exists and is the shell's main window (setMainWindow done): the creation steps
// (menu entries disabled, the update alert's timer started).
void onWindowCreated();
// The first scans of start-up, and the held backup of an earlier run, once the window shows.
void onWindowShown();

// A device-change event: DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE.
void onDeviceChange(int event);
// A command from the button (0), the menu or an accelerator.
void onCommand(int commandId);
// A custom window message (window_messages.h), including kMessageDestroy.
void onWindowMessage(int message, MessageParam wParam);
void onTimer(int timerId);
// The main window gained the keyboard focus.
void onFocusGained();
// The main window is being destroyed: releases the single-instance lock and quits the loop.
void onDestroy();
// The rider asked to close the window (its close box, or Exit): while a worker is at the device
// the question below comes first, and only Yes closes; otherwise as onDestroy.
void onCloseAsked();
inline constexpr const char* kCloseDuringDeviceWork
    = "The Tarvel GPS is being updated. Closing the updater now leaves the update unfinished "
      "until the updater runs again.\n\nClose the updater anyway?";

// The recovery dialog: its initialisation, a command (a box clicked, after the box toggled
// itself; OK; Cancel) and its close box. The shell runs the initialisation itself right after
// WindowPort::createRecoveryDialog returns; a window that also runs it while creating the
// dialog does no harm (it runs once per dialog). A command may close the dialog (OK, Cancel):
// the window must let destroyRecoveryDialog come while the dialog's own command is handled.
void onRecoveryDialogInit();
void onRecoveryDialogCommand(int controlId);
void onRecoveryDialogClose();

// Whether the red "Do not unplug GPS" warning is to be painted now.
bool warningShown();

// What every window does the same way, decided here so that each front end only draws.
//
// The menu's device commands (factory reset, force update, erase keys, language packs) start
// device work of their own; while an update, a factory reset or a language pack update runs, a
// second one would start a second worker beside it. onCommand refuses them then, and a window
// shows them greyed: an entry can be chosen when the shell enabled it and it starts no device
// work while device work is under way.
bool startsDeviceWork(int commandId);
bool deviceWorkUnderWay();
bool menuEntryChoosable(int commandId);

// The device-change message (DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE)
// that a platform device event is delivered as.
int deviceChangeMessage(platform::DeviceEventKind kind);

// A handler that held the window thread for a while without the window's input being read
// leaves behind the clicks and keys of an impatient rider, aimed at a screen that has changed
// since (the hidden button's place now holds the done screen's OK). The window drops the input
// that waited while such a handler ran instead of delivering it late; held is how long the
// handler ran, inputRead whether the window read its input meanwhile (a message box's loop).
bool dropInputQueuedDuring(std::chrono::milliseconds held, bool inputRead);
constexpr std::chrono::milliseconds kStaleInputAfter { 300 };

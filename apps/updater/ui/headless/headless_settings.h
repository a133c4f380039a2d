#pragma once
// How the console front end was asked to run: what it prints, where the log goes, and the
// one menu command it carries out before it ends.

#include <string>

// The menu commands a console run can be asked for (--command=NAME).
enum class HeadlessCommand { None, FactoryReset, EraseKeys, LanguagePacks, ForceUpdate, About, ShowLog };

struct HeadlessSettings {
    bool json = false; // one JSON object per line per event
    bool verbose = false; // the log on standard error
    std::string logFile; // the log into this file (empty: none)
    HeadlessCommand command = HeadlessCommand::None;
};

// The option value of a command ("factory-reset", ...) and back; false for an unknown name.
bool headlessCommandFromName(const std::string& name, HeadlessCommand& command);
const char* headlessCommandName(HeadlessCommand command);
// The menu command id a console command stands for (window_messages.h).
int headlessCommandId(HeadlessCommand command);
// "factory-reset|erase-keys|..." for usage texts.
std::string headlessCommandNames();

#include "headless_settings.h"

#include "state/window_messages.h"

namespace {

struct CommandName {
    HeadlessCommand command;
    const char* name;
    int id;
};

constexpr CommandName kCommands[] = {
    { HeadlessCommand::FactoryReset, "factory-reset", kCommandFactoryReset },
    { HeadlessCommand::EraseKeys, "erase-keys", kCommandEraseKeys },
    { HeadlessCommand::LanguagePacks, "language-packs", kCommandLanguagePacks },
    { HeadlessCommand::ForceUpdate, "force-update", kCommandForceUpdate },
    { HeadlessCommand::About, "about", kCommandAbout },
    { HeadlessCommand::ShowLog, "show-log", kCommandShowLog },
};

} // namespace

bool headlessCommandFromName(const std::string& name, HeadlessCommand& command)
{
    for (const CommandName& entry : kCommands) {
        if (name == entry.name) {
            command = entry.command;
            return true;
        }
    }
    return false;
}

const char* headlessCommandName(HeadlessCommand command)
{
    for (const CommandName& entry : kCommands) {
        if (entry.command == command)
            return entry.name;
    }
    return "";
}

int headlessCommandId(HeadlessCommand command)
{
    for (const CommandName& entry : kCommands) {
        if (entry.command == command)
            return entry.id;
    }
    return -1;
}

std::string headlessCommandNames()
{
    std::string names;
    for (const CommandName& entry : kCommands) {
        if (!names.empty())
            names += '|';
        names += entry.name;
    }
    return names;
}

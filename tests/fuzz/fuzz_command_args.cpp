// Command::create's argument parsing over any argument vector (arguments split at NUL bytes).
#include "blfwk/command.h"
#include "blfwk/protocol_tables.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> argv(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            argv.emplace_back();
        else
            argv.back().push_back(char(data[i]));
    }
    // The first byte picks the command, so every command's parser is reached at once.
    if (!argv[0].empty()) {
        const size_t pick = uint8_t(argv[0][0]) % blfwk::commandTable.size();
        argv[0] = blfwk::commandTable[pick].name;
    }
    auto command = blfwk::Command::create(argv);
    if (command) {
        (void)command->name();
        (void)command->argCount();
    }
    return 0;
}

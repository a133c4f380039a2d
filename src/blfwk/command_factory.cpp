#include "blfwk/command.h"

#include "blfwk/memory_commands.h"
#include "blfwk/property_commands.h"

namespace blfwk {

namespace {

template <class T> std::unique_ptr<Command> make(const string_vector_t& argv)
{
    return std::make_unique<T>(argv);
}

struct Factory {
    const char* name;
    std::unique_ptr<Command> (*build)(const string_vector_t&);
    const char* usage;
};

// In the order the factory tries them.
const Factory kFactories[] = {
    { "reset", make<Reset>, "reset" },
    { "get-property", make<GetProperty>, "get-property <property> [<memory id>]" },
    { "set-property", make<SetProperty>, "set-property <property tag> <value>" },
    { "flash-erase-region", make<FlashEraseRegion>, "flash-erase-region <start> <byte count>" },
    { "flash-erase-all", make<FlashEraseAll>, "flash-erase-all [<memory id>]" },
    { "flash-erase-all-unsecure", make<FlashEraseAllUnsecure>, "flash-erase-all-unsecure" },
    { "read-memory", make<ReadMemory>, "read-memory <start> <byte count> [<output file>]" },
    { "write-memory", make<WriteMemory>, "write-memory <start> <file | {{hex data}}> [<byte count>]" },
    { "fill-memory", make<FillMemory>, "fill-memory <start> <byte count> <pattern> [word | short | byte]" },
    { "receive-sb-file", make<ReceiveSbFile>, "receive-sb-file <file>" },
    { "execute", make<Execute>, "execute <entry address> <argument> <stack pointer>" },
    { "call", make<Call>, "call <address> <argument>" },
    { "flash-security-disable", make<FlashSecurityDisable>, "flash-security-disable <16 hex digit key>" },
    { "flash-program-once", make<FlashProgramOnce>,
        "flash-program-once <index> <4 | 8> <8 or 16 hex digits>" },
    { "flash-read-once", make<FlashReadOnce>, "flash-read-once <index> <4 | 8>" },
    { "flash-read-resource", make<FlashReadResource>,
        "flash-read-resource <start> <byte count> <option> [<output file>]" },
    { "configure-quadspi", make<ConfigureQuadSpi>, "configure-quadspi <memory id> <configuration address>" },
};

} // namespace

std::unique_ptr<Command> Command::create(const string_vector_t& argv)
{
    const std::string& commandName = argv.at(0);
    for (const Factory& factory : kFactories) {
        if (commandName != factory.name)
            continue;
        std::unique_ptr<Command> command = factory.build(argv);
        if (!command->parseArgs())
            return nullptr;
        return command;
    }
    return nullptr;
}

const char* Command::usage(const std::string& commandName)
{
    for (const Factory& factory : kFactories)
        if (commandName == factory.name)
            return factory.usage;
    return nullptr;
}

} // namespace blfwk

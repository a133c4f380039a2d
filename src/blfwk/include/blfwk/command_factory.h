#pragma once
// Commands by name: the command a command line's first word names, built from its argument
// vector, and one line of usage per command for help texts.

#include "blfwk/command.h"

#include <memory>
#include <string>

namespace blfwk {

// Builds the command that element 0 names and runs its parseArgs. nullptr for an unknown
// name or refused arguments; an empty vector throws std::out_of_range.
std::unique_ptr<Command> createCommand(const string_vector_t& argv);

// The usage line of a command ("reset", "read-memory <start> <byte count> [<output file>]"),
// or nullptr for an unknown name.
const char* commandUsage(const std::string& commandName);

} // namespace blfwk

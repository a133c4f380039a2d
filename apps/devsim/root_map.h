#pragma once
// Drive roots in the client's form. A simulator that serves a client on another platform (the
// Windows updater under Wine) reports its drive's folder as that client names it: with the
// mapping /tmp/x/=Z:\tmp\x\ the root /tmp/x/drive/ is listed as Z:\tmp\x\drive\, and a volume
// request for Z:\tmp\x\drive\ names /tmp/x/drive/ again.

#include <string>
#include <vector>

namespace devsim {

struct RootMapping {
    std::string host;   // the simulator's form, ending in its separator ('/' or '\')
    std::string client; // the client's form, ending in its separator
};
using RootMap = std::vector<RootMapping>;

// Reads "FROM=TO" (split at the first '='). Both sides must be non-empty and end in '/' or
// '\'. False with error otherwise.
bool parseRootMapping(const std::string& text, RootMapping& mapping, std::string& error);

// The root as the client names it: the first mapping whose host side begins it, with the rest's
// separators turned into the client's; unchanged when none does.
std::string rootToClient(const RootMap& map, const std::string& root);
// The way back, for a root the client names; unchanged when no mapping's client side begins it.
std::string rootFromClient(const RootMap& map, const std::string& root);

} // namespace devsim

#include "root_map.h"

namespace devsim {
namespace {

bool endsInSeparator(const std::string& text)
{
    return !text.empty() && (text.back() == '/' || text.back() == '\\');
}

// from + the rest of root after prefix, the rest's separators made to's.
std::string rebased(const std::string& root, const std::string& prefix, const std::string& to)
{
    const char separator = to.back();
    const char other = prefix.back();
    std::string rest = root.substr(prefix.size());
    for (char& c : rest)
        if (c == other)
            c = separator;
    return to + rest;
}

} // namespace

bool parseRootMapping(const std::string& text, RootMapping& mapping, std::string& error)
{
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        error = "a root mapping is FROM=TO";
        return false;
    }
    RootMapping parsed { text.substr(0, eq), text.substr(eq + 1) };
    if (!endsInSeparator(parsed.host) || !endsInSeparator(parsed.client)) {
        error = "both sides of a root mapping are folders ending in '/' or '\\'";
        return false;
    }
    mapping = parsed;
    return true;
}

std::string rootToClient(const RootMap& map, const std::string& root)
{
    for (const RootMapping& m : map)
        if (root.rfind(m.host, 0) == 0)
            return rebased(root, m.host, m.client);
    return root;
}

std::string rootFromClient(const RootMap& map, const std::string& root)
{
    for (const RootMapping& m : map)
        if (root.rfind(m.client, 0) == 0)
            return rebased(root, m.client, m.host);
    return root;
}

} // namespace devsim

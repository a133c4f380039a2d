#include "textutil/format.h"

#include <cstdio>

namespace textutil {

std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string result = formatv(fmt, args);
    va_end(args);
    return result;
}

std::string formatv(const char* fmt, va_list args)
{
    // Most texts fit the stack buffer and are formatted once.
    char buffer[256];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(buffer, sizeof buffer, fmt, copy);
    va_end(copy);
    if (length < 0)
        return {};
    if (size_t(length) < sizeof buffer)
        return std::string(buffer);
    std::string result(size_t(length), '\0');
    va_copy(copy, args);
    std::vsnprintf(result.data(), result.size() + 1, fmt, copy);
    va_end(copy);
    result.resize(std::char_traits<char>::length(result.c_str()));
    return result;
}

} // namespace textutil

#include "blfwk/command_args.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace blfwk {

bool numberFits32Bits(const std::string& text)
{
    const char* digits = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*digits)))
        ++digits;
    if (*digits == '+' || *digits == '-')
        ++digits;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(digits, &end, 0);
    if (end == digits)
        return true; // no number at all: nothing that could be cut
    return errno != ERANGE && value <= 0xFFFFFFFFull;
}

bool parseUnsigned(const std::string& text, uint32_t* result)
{
    if (text.empty() || text[0] == '-' || !numberFits32Bits(text))
        return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    *result = uint32_t(value);
    return end && *end == '\0';
}

uint32_t parseLenient(const std::string& text)
{
    return uint32_t(std::strtoul(text.c_str(), nullptr, 0));
}

bool parseLenient(const std::string& text, uint32_t* result)
{
    *result = parseLenient(text);
    return numberFits32Bits(text);
}

} // namespace blfwk

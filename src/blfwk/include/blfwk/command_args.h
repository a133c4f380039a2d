#pragma once
// The number rules of command arguments: how a command line's texts become 32-bit values.

#include <cstdint>
#include <string>

namespace blfwk {

// Strict number rule: not empty, no leading '-', base from the prefix (0x hexadecimal, 0
// octal, else decimal), the whole text used up. A number followed by other characters stores
// the number and fails; an empty or negative text, or one beyond 32 bits, leaves result
// untouched.
bool parseUnsigned(const std::string& text, uint32_t* result);
// Lenient number rule: the same conversion, trailing characters ignored, unreadable text 0.
uint32_t parseLenient(const std::string& text);
// The same, refusing (false) a number whose digits do not fit 32 bits: a command argument
// cut to 32 bits would name another address, count or property than the user wrote.
bool parseLenient(const std::string& text, uint32_t* result);
// True unless text starts with a number (after blanks and a sign) that needs more than 32 bits.
bool numberFits32Bits(const std::string& text);

} // namespace blfwk

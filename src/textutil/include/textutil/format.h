#pragma once
// printf-style formatting into a std::string of whatever length the result needs. The text
// ends at the first NUL, as a C string would (a "%c" of 0 ends it there).

#include <cstdarg>
#include <string>

namespace textutil {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same over an argument list, which it leaves untouched (it formats a copy).
std::string formatv(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));

} // namespace textutil

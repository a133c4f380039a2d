#pragma once
// The system's texts are 8-bit; the W calls take them widened one character per byte, and
// what the system hands back (volume roots, file names) is narrowed the same way, which is
// lossless for ASCII and refused otherwise.

#include <string>

namespace platform::windows_backend {

std::wstring widen(const std::string& text);
// False (and out empty) when text holds a character above 0x7F.
bool narrow(const std::wstring& text, std::string& out);

} // namespace platform::windows_backend

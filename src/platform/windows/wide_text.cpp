#include "windows/wide_text.h"

namespace platform::windows_backend {

std::wstring widen(const std::string& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(wchar_t(c));
    return out;
}

bool narrow(const std::wstring& text, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (static_cast<unsigned long>(c) > 0x7Fu) {
            out.clear();
            return false;
        }
        out.push_back(char(c));
    }
    return true;
}

} // namespace platform::windows_backend

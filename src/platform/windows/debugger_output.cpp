#include "debugger_output.h"

#include <windows.h>

#include <string>

namespace platform::detail {
// OutputDebugStringW, so that a debugger or a debug-output viewer sees the lines while a
// window program has no console; texts are widened one character per byte.
void debuggerOutput(const char* text)
{
    std::wstring wide;
    for (const char* p = text; *p; ++p)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    OutputDebugStringW(wide.c_str());
}
} // namespace platform::detail

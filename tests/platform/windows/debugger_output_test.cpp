// The debugger channel read back as a debugger sees it: this program starts itself as a child
// under DEBUG_ONLY_THIS_PROCESS, the child writes lines through platform::debugOutput, and the
// parent's debug-event loop collects the OUTPUT_DEBUG_STRING events until the child exits.
#include "platform/debug_output.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const kLines[] = { "first line of the run\r\n", "drive root E:\\\n" };

int child()
{
    for (const char* line : kLines)
        platform::debugOutput(line);
    return 0;
}

std::string readDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    std::string text;
    size_t unit = info.fUnicode ? 2 : 1;
    std::vector<unsigned char> bytes(size_t(info.nDebugStringLength) * unit);
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, bytes.data(), bytes.size(), &got))
        return "(unreadable)";
    for (size_t i = 0; i + unit <= got; i += unit) {
        unsigned value = bytes[i] | (unit == 2 ? bytes[i + 1] << 8 : 0);
        if (value == 0)
            break;
        text.push_back(static_cast<char>(value));
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "child")
        return child();

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" child";
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child {};
    if (!CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
            nullptr, &startup, &child)) {
        std::printf("FAIL: the child could not be started (error %lu)\n", GetLastError());
        return 1;
    }
    std::string seen;
    bool exited = false;
    while (!exited) {
        DEBUG_EVENT event {};
        if (!WaitForDebugEvent(&event, 30000)) {
            std::printf("FAIL: no debug event within 30 s\n");
            TerminateProcess(child.hProcess, 1);
            return 1;
        }
        DWORD verdict = DBG_CONTINUE;
        if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT)
            seen += readDebugString(child.hProcess, event.u.DebugString);
        else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT
            && event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
            verdict = DBG_EXCEPTION_NOT_HANDLED;
        else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            exited = true;
        else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile)
            CloseHandle(event.u.LoadDll.hFile);
        else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile)
            CloseHandle(event.u.CreateProcessInfo.hFile);
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, verdict);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    std::string expected = std::string(kLines[0]) + kLines[1];
    if (seen != expected) {
        std::printf("FAIL: the debugger saw \"%s\", not \"%s\"\n", seen.c_str(), expected.c_str());
        std::printf("0 passed, 1 failed\n");
        return 1;
    }
    std::printf("1 passed, 0 failed\n");
    return 0;
}

// Drives the updater's window from outside, as a person would, with the Win32 calls a test
// program has: it finds the window by its class, reads its controls' texts and visibility,
// clicks the button, chooses menu entries and works the recovery dialog. Run under the same
// Wine as the updater. Prints each step; exits 0 when every check held, 1 at the first that
// did not.
//
//   window_driver none SHOTDIR     no device: the connect prompt, then Exit from the menu
//   window_driver update SHOTDIR   the offered update to the done screen, and the exit
//   window_driver rom SHOTDIR      a ROM-face device: the recovery dialog's choice list, then OK
//
// Shots of the window are written to SHOTDIR as 24-bit BMPs (the test turns them into PNGs).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

HWND g_main = nullptr;
std::string g_shots;
std::wstring g_updater; // the updater's own path, for a second instance

[[noreturn]] void fail(const char* what)
{
    std::printf("FAIL: %s\n", what);
    std::fflush(stdout);
    std::exit(1);
}

void check(bool ok, const char* what)
{
    if (!ok)
        fail(what);
    std::printf("ok: %s\n", what);
    std::fflush(stdout);
}

bool waitFor(const std::function<bool()>& pred, int seconds, int pollMs = 50)
{
    const DWORD until = GetTickCount() + DWORD(seconds) * 1000;
    while (GetTickCount() < until) {
        if (pred())
            return true;
        Sleep(DWORD(pollMs));
    }
    return pred();
}

std::wstring text(HWND window)
{
    wchar_t buffer[512] = L"";
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

// The whole text of an edit control in the updater's process. GetWindowTextW does not do for
// it: across processes it returns the text the window was created or last set with (a button's
// label), never the edit's buffer that EM_REPLACESEL fills; WM_GETTEXT asks the control itself.
std::wstring editText(HWND edit)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        return L"";
    std::wstring buffer(size_t(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(edit, WM_GETTEXT, WPARAM(buffer.size()), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, 5000, &copied))
        return L"";
    buffer.resize(size_t(copied));
    return buffer;
}

bool logHas(const wchar_t* line);

HWND child(const wchar_t* className) { return FindWindowExW(g_main, nullptr, className, nullptr); }
HWND button() { return child(L"Button"); }
HWND progress() { return child(L"msctls_progress32"); }
HWND logEdit() { return child(L"Edit"); }
bool shown(HWND window) { return window && IsWindowVisible(window); }
bool logHas(const wchar_t* line) { return editText(logEdit()).find(line) != std::wstring::npos; }


// A menu choice reaches the window as a posted WM_COMMAND, as the menu itself posts it.
void command(int id) { PostMessageW(g_main, WM_COMMAND, WPARAM(id), 0); }

// The screen's pixels under the window (and the dialog, when one is given) as a BMP.
void shot(const char* name, HWND dialog = nullptr, DWORD settleMs = 700)
{
    if (g_shots.empty())
        return;
    Sleep(settleMs); // the marquee moving, a fresh paint
    RECT area;
    GetWindowRect(g_main, &area);
    if (dialog) {
        RECT other;
        GetWindowRect(dialog, &other);
        UnionRect(&area, &area, &other);
    }
    const int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info {};
    info.bmiHeader = { sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0 };
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = DWORD((width * 3 + 3) & ~3);
    const DWORD size = rowBytes * DWORD(height);
    BITMAPFILEHEADER file { 0x4D42, DWORD(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0, 0,
                            DWORD(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) };
    const std::string path = g_shots + "\\" + name + ".bmp";
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
        std::fwrite(&file, sizeof file, 1, out);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
        std::fwrite(bits, 1, size, out);
        std::fclose(out);
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    std::printf("shot: %s\n", name);
}

void findMainWindow()
{
    check(waitFor([] { return (g_main = FindWindowW(L"FWUPDATER3", nullptr)) != nullptr && IsWindowVisible(g_main); }, 90),
          "the main window of class FWUPDATER3 shows");
    check(text(g_main) == L"Tarvel GPS Firmware Programmer", "its caption is the product title");
    RECT outer;
    GetWindowRect(g_main, &outer);
    check(outer.left == 200 && outer.top == 200, "it stands at (200, 200)");
    check(logEdit() && !shown(logEdit()), "the log window is there and hidden");
}

bool doneScreen() { return shown(button()) && text(button()) == L"OK" && !shown(progress()); }

// The button shows "OK" between the update's phases too, for a moment: the done screen is the
// one that stays. --auto presses OK 1.2 s after it shows, and only when it still shows then;
// the driver watches until the program ends, keeping a shot of each OK screen it sees (the
// last one is the done screen).
void waitDoneAndExit()
{
    check(waitFor([] { return doneScreen(); }, 400), "the button says OK with no progress bar");
    bool sawDone = false;
    check(waitFor([&] {
        if (doneScreen()) {
            sawDone = true;
            shot("5-done", nullptr, 100);
        }
        return !IsWindow(g_main);
    }, 400),
          "--auto's press of OK ends the program");
    check(sawDone, "the done screen showed before the end");
}

int update()
{
    findMainWindow();
    // The offered update: --auto presses it 1.2 s after it shows, so it is read and clicked at once.
    check(waitFor([] { return shown(button()) && text(button()).rfind(L"Update to ", 0) == 0; }, 120, 10),
          "the update is offered on the button");
    check(!shown(progress()), "no progress bar while the update is offered");
    shot("2-update-offered", nullptr, 150);
    check(shown(button()), "the offered update is still there to be clicked");
    SendMessageW(button(), BM_CLICK, 0, 0);
    check(waitFor([] { return shown(progress()) && !shown(button()); }, 30),
          "the update runs: progress bar shown, button hidden");
    shot("3-programming");

    command(32772);
    check(waitFor([] { return shown(logEdit()); }, 10), "Show log shows the log window");
    command(32772);
    check(waitFor([] { return !shown(logEdit()); }, 10), "Show log again hides it");

    // Chosen anyway (an accelerator, a menu opened before): refused, the update goes on (the
    // test reads the refusals from the updater's log lines).
    command(32778);
    command(32782);
    check(waitFor([] { return logHas(L"Command 32778 refused: device work is under way")
                                && logHas(L"Command 32782 ignored: its menu entry is disabled"); }, 30),
          "the log window holds the refusals as the rider would read them");
    std::printf("log: %zu characters read with WM_GETTEXT, %zu with GetWindowTextW\n", editText(logEdit()).size(),
                text(logEdit()).size());
    // The close box while the device is programmed: asked first (--auto answers No), and the
    // update goes on.
    PostMessageW(g_main, WM_CLOSE, 0, 0);
    check(waitFor([] { return logHas(L"Close declined: device work goes on"); }, 30),
          "the close box during programming is asked about, and No keeps the update going");
    check(IsWindow(g_main) && IsWindowVisible(g_main), "the window stays");
    check(shown(progress()), "the update goes on");
    waitDoneAndExit();
    return 0;
}

// A second updater started while the first waits in a message box: it says so in a box of its
// own, brings the first one's box to the front and ends with 0; the first goes on untouched.
void secondInstance(HWND firstBox)
{
    if (g_updater.empty())
        fail("no updater path was given for the second instance");
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process {};
    std::wstring commandLine = L"\"" + g_updater + L"\"";
    check(CreateProcessW(g_updater.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &process),
          "a second updater starts");
    HWND box = nullptr;
    check(waitFor([&] {
        box = FindWindowW(L"#32770", L"Tarvel GPS Updater Message");
        return box && IsWindowVisible(box);
    }, 60),
          "the second one shows its own box");
    check(text(GetDlgItem(box, 0xFFFF)) == L"You already have updater running." && GetDlgItem(box, IDOK),
          "it says the updater is already running, with OK");
    shot("1-second-instance", box);
    SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    check(WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0, "OK ends the second one");
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    check(status == 0, "with exit status 0");
    check(IsWindow(firstBox) && IsWindowVisible(firstBox) && IsWindow(g_main), "the first one's box still waits");
    check(waitFor([&] { return GetForegroundWindow() == firstBox; }, 10), "and is in front");
}

// No device at all: the connect prompt, the picture, no button; Exit from the menu ends it.
int none()
{
    findMainWindow();
    check(!shown(button()) && !shown(progress()), "no button and no progress bar without a device");
    // The update alert comes once, soon after start-up, with or without a device.
    HWND alert = nullptr;
    check(waitFor([&] { return (alert = FindWindowW(L"#32770", L"Update Alert")) && IsWindowVisible(alert); }, 30),
          "the Update Alert box opens");
    check(text(GetDlgItem(alert, 0xFFFF)).rfind(L"Before starting the update process on your Tarvel GPS", 0) == 0,
          "it recommends a backup");
    check(GetDlgItem(alert, IDYES) && GetDlgItem(alert, IDNO) && !GetDlgItem(alert, IDOK), "it asks Yes or No");
    secondInstance(alert);
    SendMessageW(GetDlgItem(alert, IDNO), BM_CLICK, 0, 0);
    check(waitFor([&] { return !IsWindow(alert); }, 10), "No closes it");
    shot("1-no-device");
    command(105);
    check(waitFor([] { return !IsWindowVisible(g_main); }, 30), "Exit hides the window");
    check(waitFor([] { return !IsWindow(g_main); }, 30), "Exit ends the program");
    return 0;
}

bool ticked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

std::vector<int> tickedBoxes(HWND dialog)
{
    std::vector<int> ids;
    for (int id = 1004; id <= 1099; ++id)
        if (GetDlgItem(dialog, id) && ticked(dialog, id))
            ids.push_back(id);
    return ids;
}

void click(HWND dialog, int id)
{
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
    Sleep(100);
}

int rom()
{
    findMainWindow();
    HWND dialog = nullptr;
    check(waitFor([&] { return (dialog = FindWindowW(L"#32770", L"Emergency Recovery Mode")) && IsWindowVisible(dialog); }, 90),
          "the Emergency Recovery Mode dialog opens");
    check(text(GetDlgItem(dialog, 1013)) == L"G3 PeakPro" && text(GetDlgItem(dialog, 1004)) == L"G1 Boosted Peak"
              && text(GetDlgItem(dialog, 1060)) == L"Japanese" && text(GetDlgItem(dialog, 1)) == L"OK"
              && text(GetDlgItem(dialog, 2)) == L"Cancel",
          "the dialog's choices carry their texts");
    int models = 0;
    for (int id = 1004; id <= 1016; ++id)
        models += GetDlgItem(dialog, id) != nullptr;
    check(models == 13, "thirteen model boxes");
    check(tickedBoxes(dialog) == std::vector<int> { 1099 }, "English is ticked at the start, nothing else");
    click(dialog, 1);
    check(IsWindow(dialog), "OK with no model ticked does nothing");
    click(dialog, 1013);
    click(dialog, 1016);
    check(tickedBoxes(dialog) == (std::vector<int> { 1016, 1099 }), "ticking a second model unticks the first");
    click(dialog, 1060);
    check(tickedBoxes(dialog) == (std::vector<int> { 1016, 1060 }), "Japanese unticks English");
    click(dialog, 1060);
    check(tickedBoxes(dialog) == (std::vector<int> { 1016, 1099 }), "unticking Japanese ticks English again");
    click(dialog, 1099);
    check(ticked(dialog, 1099), "English cannot be unticked by itself");
    click(dialog, 1013);
    check(tickedBoxes(dialog) == (std::vector<int> { 1013, 1099 }), "G3 PeakPro ticked for the device");
    shot("4-recovery", dialog);
    // OK programs on the window thread: posted, so that this program does not wait for it.
    PostMessageW(GetDlgItem(dialog, 1), BM_CLICK, 0, 0);
    check(waitFor([&] { return !IsWindow(dialog); }, 30), "OK closes the dialog");
    check(waitFor([] { return shown(progress()); }, 30), "the recovery programming shows the progress bar");
    waitDoneAndExit();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_driver none|update|rom [SHOTDIR]\n");
        return 2;
    }
    if (argc > 2)
        g_shots = argv[2];
    if (argc > 3) {
        const std::string path = argv[3];
        g_updater.assign(path.begin(), path.end());
    }
    const std::string scenario = argv[1];
    if (scenario == "update")
        return update();
    if (scenario == "rom")
        return rom();
    if (scenario == "none")
        return none();
    std::fprintf(stderr, "window_driver: unknown scenario %s\n", argv[1]);
    return 2;
}

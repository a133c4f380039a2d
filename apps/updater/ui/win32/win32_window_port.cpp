#include "win32_window_port.h"

#include "resource_ids.h"

#include "shell/run_options.h"
#include "shell/window_procedure.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

#include "platform/clock.h"
#include "platform/device_events.h"

#include <commctrl.h>
#include <dbt.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The port's own messages, beside the shell's custom ones (which keep their numbers).
constexpr UINT kWmCall = WM_APP + 1;         // lParam: const std::function<void()>*, run now
constexpr UINT kWmSend = WM_APP + 2;         // lParam: SentMessage*, run in its turn
constexpr UINT kWmDrain = WM_APP + 3;        // run the handlers waiting for their turn
constexpr UINT kWmDeviceChange = WM_APP + 4; // wParam: DBT_... from the device-event service
constexpr UINT kWmAnswerRecovery = WM_APP + 5;
constexpr UINT kWmFirstPaint = WM_APP + 6;

constexpr UINT_PTR kAutoPressTimer = 0x7A01;
constexpr int kAutoPressDelayMs = 1200;

const wchar_t kCaption[] = L"Tarvel GPS Firmware Programmer";

// A worker's custom message: the worker waits until done is set.
struct SentMessage {
    int message;
    MessageParam wParam;
    bool done = false;
};

// The system's texts are 8-bit; the window widens them one character per byte.
std::wstring widen(const char* text)
{
    std::wstring wide;
    if (!text)
        return wide;
    for (const char* p = text; *p; ++p)
        wide.push_back(wchar_t(static_cast<unsigned char>(*p)));
    return wide;
}

// Log texts carry their own line ends ("\r\n", "\n", "\n\r"); the edit control breaks lines
// only on "\r\n".
std::wstring logText(const char* text, size_t length)
{
    std::wstring wide;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            continue;
        if (c == '\n')
            wide += L"\r\n";
        else
            wide.push_back(wchar_t(c));
    }
    return wide;
}

UINT boxStyle(MessageBoxKind kind, MessageBoxIcon icon)
{
    UINT style = kind == MessageBoxKind::YesNo ? MB_YESNO : kind == MessageBoxKind::OkCancel ? MB_OKCANCEL : MB_OK;
    switch (icon) {
    case MessageBoxIcon::Information:
        style |= MB_ICONINFORMATION;
        break;
    case MessageBoxIcon::Question:
        style |= MB_ICONQUESTION;
        break;
    case MessageBoxIcon::Warning:
        style |= MB_ICONWARNING;
        break;
    case MessageBoxIcon::Error:
        style |= MB_ICONERROR;
        break;
    case MessageBoxIcon::None:
        break;
    }
    return style;
}

const char* answerName(MessageBoxAnswer answer)
{
    return answer == MessageBoxAnswer::Ok ? "OK"
        : answer == MessageBoxAnswer::Yes ? "Yes"
        : answer == MessageBoxAnswer::No  ? "No"
                                          : "Cancel";
}

} // namespace

Win32WindowPort::Win32WindowPort(HINSTANCE instance)
    : m_instance(instance)
    , m_threadId(GetCurrentThreadId())
    , m_queue(HandlerQueue::Hooks {
          [this] { PostMessageW(m_window, kWmDrain, 0, 0); },
          [this] { return m_boxesShown; },
          [this] {
              if (!m_window)
                  return;
              MSG stale;
              while (PeekMessageW(&stale, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) { }
              while (PeekMessageW(&stale, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) { }
          } })
{
    INITCOMMONCONTROLSEX controls { sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES };
    InitCommonControlsEx(&controls);

    wchar_t className[100] = L"";
    LoadStringW(instance, IDC_FWUPDATER3, className, 100);
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_FWUPDATER3));
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_FWUPDATER3);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass); // its result is not acted on: creation fails instead

    m_background = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    LOGFONTW font {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    font.lfHeight = 31;
    m_warningFont = CreateFontIndirectW(&font);
    m_accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_FWUPDATER3));

    // Outer size: the right and bottom of (0, 0)-(300, 500) adjusted for the style, no menu bar.
    const DWORD style = WS_CAPTION | WS_SYSMENU;
    RECT outer { 0, 0, 300, 500 };
    AdjustWindowRect(&outer, style, FALSE);
    CreateWindowExW(0, className, kCaption, style, 200, 200, outer.right, outer.bottom, nullptr, nullptr, instance,
                    this);
}

Win32WindowPort::~Win32WindowPort()
{
    close();
    if (m_window)
        DestroyWindow(m_window);
    if (m_background)
        DeleteObject(m_background);
    if (m_warningFont)
        DeleteObject(m_warningFont);
}

LRESULT CALLBACK Win32WindowPort::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* port = static_cast<Win32WindowPort*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(port));
        port->m_window = window;
    }
    auto* port = reinterpret_cast<Win32WindowPort*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!port)
        return DefWindowProcW(window, message, wParam, lParam);
    return port->handle(message, wParam, lParam);
}

void Win32WindowPort::createControls()
{
    const HFONT guiFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    m_progress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 52, 300, 194, 30,
                                 m_window, reinterpret_cast<HMENU>(0), m_instance, nullptr);
    SendMessageW(m_progress, PBM_SETMARQUEE, 1, 0);
    m_button = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 52, 340,
                               194, 30, m_window, reinterpret_cast<HMENU>(0), m_instance, nullptr);
    SendMessageW(m_button, WM_SETFONT, reinterpret_cast<WPARAM>(guiFont), TRUE);
    ShowWindow(m_progress, SW_HIDE);
    ShowWindow(m_button, SW_HIDE);

    // Registered on the main window as Windows expects; the events themselves come from the
    // device-event service, which serves real devices and the virtual bus alike
    // (WM_DEVICECHANGE below).
    DEV_BROADCAST_DEVICEINTERFACE_W filter {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    m_deviceNotification = RegisterDeviceNotificationW(m_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);

    m_log = CreateWindowExW(0, L"EDIT", nullptr,
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL
                                | ES_WANTRETURN,
                            20, 60, 250, 230, m_window, reinterpret_cast<HMENU>(1), m_instance, nullptr);
    SendMessageW(m_log, WM_SETFONT, reinterpret_cast<WPARAM>(guiFont), TRUE);
    SendMessageW(m_log, EM_SETLIMITTEXT, 0, 0);
    ShowWindow(m_log, SW_HIDE);
}

LRESULT Win32WindowPort::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        createControls();
        return 0;
    case WM_PAINT:
        paint();
        if (!m_painted) {
            m_painted = true;
            PostMessageW(m_window, kWmFirstPaint, 0, 0);
        }
        return 0;
    case kWmFirstPaint:
        if (m_firstPaint) {
            auto firstPaint = std::move(m_firstPaint);
            m_firstPaint = nullptr;
            firstPaint();
        }
        return 0;
    case kWmCall:
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return 0;
    case kWmSend: {
        auto* sent = reinterpret_cast<SentMessage*>(lParam);
        m_queue.dispatch([this, sent] {
            onWindowMessage(sent->message, sent->wParam);
            std::lock_guard<std::mutex> lock(m_mutex);
            sent->done = true;
            m_done.notify_all();
        });
        return 0;
    }
    case kWmDrain:
        m_queue.drainArrived();
        return 0;
    case kWmDeviceChange: {
        const int event = int(wParam);
        m_queue.dispatch([event] { onDeviceChange(event); });
        return 0;
    }
    case WM_DEVICECHANGE:
        // See createControls: the same events arrive through kWmDeviceChange.
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const HWND from = reinterpret_cast<HWND>(lParam);
        if (from && from != m_button)
            return 0; // the log window's notifications
        if (from == m_button && HIWORD(wParam) != BN_CLICKED)
            return 0;
        m_queue.dispatch([id] { onCommand(id); });
        return 0;
    }
    case WM_INITMENUPOPUP:
        refreshMenu();
        return 0;
    case WM_TIMER:
        if (wParam == kAutoPressTimer) {
            KillTimer(m_window, kAutoPressTimer);
            m_autoPressPending = false;
            if (IsWindowVisible(m_button) && !m_closed)
                SendMessageW(m_button, BM_CLICK, 0, 0);
            return 0;
        }
        m_queue.dispatch([id = int(wParam)] { onTimer(id); });
        return 0;
    case kWmAnswerRecovery:
        answerRecoveryInAdvance();
        return 0;
    case WM_SETFOCUS:
        m_queue.dispatch([] { onFocusGained(); });
        return 0;
    case WM_CLOSE:
        // The close box: the shell decides (device work under way is asked about first).
        m_queue.dispatch([] { onCloseAsked(); });
        return 0;
    case WM_DESTROY:
        if (m_deviceNotification)
            UnregisterDeviceNotification(m_deviceNotification);
        m_deviceNotification = nullptr;
        return 0;
    default:
        break;
    }
    return DefWindowProcW(m_window, message, wParam, lParam);
}

void Win32WindowPort::paint()
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_window, &ps);
    if (m_background) {
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ previous = SelectObject(memory, m_background);
        SetBkColor(dc, RGB(0, 0, 0));
        BitBlt(dc, 0, 0, 320, 480, memory, 0, 0, SRCCOPY);
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchBlt(dc, 0, -80, 300, 550, memory, 0, 0, 1080, 1922, SRCCOPY);
        SelectObject(memory, previous);
        DeleteDC(memory);
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    const std::wstring text = widen(statusText.get().c_str()).substr(0, 249);
    const std::wstring detail = widen(statusDetail.get().c_str()).substr(0, 249);
    RECT textRect { 10, 20, 280, 100 };
    DrawTextW(dc, text.c_str(), -1, &textRect, DT_WORDBREAK | DT_BOTTOM | DT_CENTER);
    RECT detailRect { 10, 380, 280, 500 };
    DrawTextW(dc, detail.c_str(), -1, &detailRect, DT_WORDBREAK | DT_CENTER);
    if (warningShown()) {
        HGDIOBJ previous = SelectObject(dc, m_warningFont);
        SetTextColor(dc, RGB(255, 0, 0));
        RECT warningRect { 10, 50, 280, 220 };
        DrawTextW(dc, L"Do not unplug GPS", -1, &warningRect, DT_WORDBREAK | DT_CENTER);
        SelectObject(dc, previous);
    }
    EndPaint(m_window, &ps);
}

bool Win32WindowPort::onWindowThread() const { return GetCurrentThreadId() == m_threadId; }

void Win32WindowPort::callOnWindow(const std::function<void()>& fn)
{
    if (onWindowThread()) {
        if (!m_closed && m_window)
            fn();
        return;
    }
    bool ran = false;
    const std::function<void()> call = [&] {
        fn();
        ran = true;
    };
    // Returns once the window thread ran it, or at once when the window is gone.
    if (!m_closed && m_window)
        SendMessageW(m_window, kWmCall, 0, reinterpret_cast<LPARAM>(&call));
    if (!ran) {
        // The window is gone: this worker waits here until the process ends; it must not go on
        // with device work that nobody sees, nor touch a window that no longer exists.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait(lock, [] { return false; });
    }
}

void Win32WindowPort::postDeviceChange(int event)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_closed && m_window)
        PostMessageW(m_window, kWmDeviceChange, WPARAM(event), 0);
}

int Win32WindowPort::run(std::function<void()> firstPaint)
{
    m_firstPaint = std::move(firstPaint);
    MSG msg;
    msg.wParam = 0;
    while (!m_quitting && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (m_accelerators && TranslateAcceleratorW(m_window, m_accelerators, &msg))
            continue;
        if (m_dialog && IsDialogMessageW(m_dialog, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return int(msg.wParam);
}

void Win32WindowPort::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_queue.close();
    if (m_window)
        ShowWindow(m_window, SW_HIDE);
    if (m_dialog)
        ShowWindow(m_dialog, SW_HIDE);
}

void Win32WindowPort::showControl(WindowControl control, bool visible)
{
    callOnWindow([this, control, visible] {
        const HWND target = control == WindowControl::UpdateButton ? m_button
            : control == WindowControl::ProgressBar                ? m_progress
                                                                   : m_log;
        ShowWindow(target, visible ? SW_SHOW : SW_HIDE);
        if (visible && control == WindowControl::UpdateButton)
            pressButtonInAdvance();
    });
}

void Win32WindowPort::pressButtonInAdvance()
{
    // --auto presses the button that shows (the offered update, then the done screen's OK)
    // after a moment in which it can be seen.
    if (!runOptions().autoAnswer || m_autoPressPending)
        return;
    m_autoPressPending = true;
    SetTimer(m_window, kAutoPressTimer, kAutoPressDelayMs, nullptr);
}

void Win32WindowPort::setButtonText(const char* text)
{
    const std::wstring label = widen(text);
    callOnWindow([this, &label] { SetWindowTextW(m_button, label.c_str()); });
}

void Win32WindowPort::repaint()
{
    traceStatus();
    callOnWindow([this] {
        refreshMenu(); // device work may have begun or ended since
        InvalidateRect(m_window, nullptr, FALSE);
        UpdateWindow(m_window);
    });
}

void Win32WindowPort::traceStatus()
{
    // The developer's line sink gets each new pair of status lines, as the window shows them.
    std::string line = "status: " + statusText.get() + " | " + statusDetail.get();
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    std::lock_guard<std::mutex> lock(m_mutex);
    if (line == m_lastStatus)
        return;
    m_lastStatus = line;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void Win32WindowPort::appendToLog(const char* text, size_t length)
{
    const std::wstring wide = logText(text, length);
    callOnWindow([this, &wide] {
        const LRESULT end = SendMessageW(m_log, WM_GETTEXTLENGTH, 0, 0);
        SendMessageW(m_log, EM_SETSEL, WPARAM(end), LPARAM(end));
        SendMessageW(m_log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
    });
}

void Win32WindowPort::debugOutput(const char* text, size_t length)
{
    const std::string line(text, length);
    OutputDebugStringA(line.c_str());
    std::fwrite(text, 1, length, stderr);
}

MessageBoxAnswer Win32WindowPort::messageBox(const char* text, const char* caption, MessageBoxKind kind,
                                             MessageBoxIcon icon)
{
    if (runOptions().autoAnswer) {
        const MessageBoxAnswer answer = autoAnswer(text, caption, kind);
        std::fprintf(stderr, "[%s] %s -> %s\n", caption ? caption : "", text ? text : "", answerName(answer));
        std::fflush(stderr);
        return answer;
    }
    MessageBoxAnswer answer = kind == MessageBoxKind::YesNo ? MessageBoxAnswer::No
        : kind == MessageBoxKind::Ok                        ? MessageBoxAnswer::Ok
                                                            : MessageBoxAnswer::Cancel;
    const std::wstring body = widen(text);
    const std::wstring title = widen(caption);
    callOnWindow([&] {
        ++m_boxesShown;
        switch (MessageBoxW(m_window, body.c_str(), title.c_str(), boxStyle(kind, icon))) {
        case IDOK:
            answer = MessageBoxAnswer::Ok;
            break;
        case IDYES:
            answer = MessageBoxAnswer::Yes;
            break;
        case IDNO:
            answer = MessageBoxAnswer::No;
            break;
        case IDCANCEL:
            answer = MessageBoxAnswer::Cancel;
            break;
        default:
            break; // a box that could not show takes its safe answer
        }
    });
    return answer;
}

void Win32WindowPort::enableMenuItem(int commandId, bool enabled)
{
    callOnWindow([this, commandId, enabled] {
        m_menuEnabled[commandId] = enabled;
        refreshMenu();
    });
}

void Win32WindowPort::refreshMenu()
{
    HMENU menu = GetMenu(m_window);
    if (!menu)
        return;
    // The shell's state, less the device commands while device work runs and the two entries
    // that are never choosable.
    for (int id : { kCommandFactoryReset, kCommandForceUpdate, kCommandEraseKeys, kCommandLanguagePacks,
             kCommandLoadJapanFirmware, kCommandLoadStandardFirmware })
        EnableMenuItem(menu, UINT(id), MF_BYCOMMAND | (menuEntryChoosable(id) ? MF_ENABLED : MF_DISABLED | MF_GRAYED));
}

void Win32WindowPort::sendMessage(int message, MessageParam wParam)
{
    if (onWindowThread()) {
        // SendMessage on the window's own thread: a direct call of the handler.
        if (m_closed)
            return;
        m_queue.runInline([message, wParam] { onWindowMessage(message, wParam); });
        return;
    }
    SentMessage sent { message, wParam };
    if (!m_closed && m_window)
        SendMessageW(m_window, kWmSend, 0, reinterpret_cast<LPARAM>(&sent));
    // Queued behind a running handler, or the window is gone: wait for its turn (for good in
    // the second case, as callOnWindow does).
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return sent.done; });
}

void Win32WindowPort::quit()
{
    callOnWindow([this] {
        ShowWindow(m_window, SW_HIDE);
        if (m_dialog)
            ShowWindow(m_dialog, SW_HIDE);
        m_quitting = true;
        PostQuitMessage(0);
    });
}

void Win32WindowPort::startTimer(int timerId, int milliseconds)
{
    // Timers run on the process's time scale, as every other wait does.
    const UINT scaled = UINT(milliseconds * platform::timeScale());
    callOnWindow([this, timerId, scaled] { SetTimer(m_window, UINT_PTR(timerId), scaled < 1 ? 1 : scaled, nullptr); });
}

void Win32WindowPort::killTimer(int timerId)
{
    callOnWindow([this, timerId] { KillTimer(m_window, UINT_PTR(timerId)); });
}

void Win32WindowPort::openWebPage(const char* url)
{
    const std::wstring page = widen(url);
    callOnWindow([&page] { ShellExecuteW(nullptr, L"open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL); });
}

void Win32WindowPort::exitProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    platform::deviceEventService().stop();
    // Workers may still run (the erase-keys command is never waited for): no static
    // destructors may run under them.
    std::_Exit(status);
}

INT_PTR CALLBACK Win32WindowPort::dialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    auto* port = reinterpret_cast<Win32WindowPort*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return port ? port->handleDialog(dialog, message, wParam, lParam) : FALSE;
}

INT_PTR Win32WindowPort::handleDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        m_dialog = dialog;
        // Initialisation is part of the dialog's creation, inside the handler that creates it.
        m_queue.runInline([] { onRecoveryDialogInit(); });
        return TRUE;
    case WM_CLOSE:
        m_queue.dispatch([] { onRecoveryDialogClose(); });
        return TRUE; // handled: the default would send a Cancel command as well
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
            const int id = LOWORD(wParam);
            m_queue.dispatch([id] { onRecoveryDialogCommand(id); });
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void Win32WindowPort::createRecoveryDialog()
{
    callOnWindow([this] {
        if (m_dialog)
            return;
        HWND dialog = CreateDialogParamW(m_instance, MAKEINTRESOURCEW(IDD_RECOVERY), m_window, dialogProcedure,
                                         reinterpret_cast<LPARAM>(this));
        if (!dialog || m_dialog != dialog)
            return; // closed again by its own initialisation
        ShowWindow(dialog, SW_SHOW);
        SetFocus(dialog);
        if (runOptions().recoverType >= 4 && runOptions().recoverType <= 16)
            PostMessageW(m_window, kWmAnswerRecovery, 0, 0);
    });
}

void Win32WindowPort::answerRecoveryInAdvance()
{
    // Tick the model (and the language) and press OK for the user, as clicks in their turn.
    const RunOptions& options = runOptions();
    if (!m_dialog)
        return;
    const HWND dialog = m_dialog;
    const HWND model = GetDlgItem(dialog, 1000 + options.recoverType);
    if (model && SendMessageW(model, BM_GETCHECK, 0, 0) != BST_CHECKED)
        SendMessageW(model, BM_CLICK, 0, 0);
    if (options.recoverJapanese && m_dialog == dialog) {
        const HWND japanese = GetDlgItem(dialog, kRecoveryJapaneseBox);
        if (japanese && SendMessageW(japanese, BM_GETCHECK, 0, 0) != BST_CHECKED)
            SendMessageW(japanese, BM_CLICK, 0, 0);
    }
    if (m_dialog == dialog)
        SendMessageW(GetDlgItem(dialog, kRecoveryOk), BM_CLICK, 0, 0);
}

void Win32WindowPort::destroyRecoveryDialog()
{
    callOnWindow([this] {
        if (!m_dialog)
            return;
        HWND dialog = m_dialog;
        m_dialog = nullptr;
        DestroyWindow(dialog);
    });
}

void Win32WindowPort::focusRecoveryDialog()
{
    callOnWindow([this] {
        if (!m_dialog)
            return;
        ShowWindow(m_dialog, SW_SHOW);
        SetWindowPos(m_dialog, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SendMessageW(m_dialog, WM_SETFOCUS, 0, 0);
    });
}

bool Win32WindowPort::recoveryBoxTicked(int controlId)
{
    bool ticked = false;
    callOnWindow([&] { ticked = m_dialog && IsDlgButtonChecked(m_dialog, controlId) == BST_CHECKED; });
    return ticked;
}

void Win32WindowPort::setRecoveryBoxTicked(int controlId, bool ticked)
{
    callOnWindow([&] {
        if (m_dialog)
            CheckDlgButton(m_dialog, controlId, ticked ? BST_CHECKED : BST_UNCHECKED);
    });
}

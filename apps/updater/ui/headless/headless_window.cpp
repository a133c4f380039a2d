#include "headless_window.h"

#include "console_answers.h"

#include "platform/clock.h"
#include "shell/run_options.h"
#include "shell/window_procedure.h"
#include "state/shared_state.h"
#include "state/window_messages.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

const char kLatestSoftware[] = "Latest software is installed on device";
// How long an unattended run waits for the device to come back after a failure (scaled).
constexpr int kDeviceReturnWaitMs = 30000;
// How long an unattended run looks at a screen that offers only "OK" before it presses it (real
// time: the device's own restarts between two steps are not scaled).
constexpr int kIdleOkMs = 5000;

std::string lowered(const std::string& text)
{
    std::string result;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            result.push_back(char(std::tolower(static_cast<unsigned char>(c))));
    }
    return result;
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The first status lines by which the programming reports that it failed.
bool failureStatus(const std::string& line1)
{
    return startsWith(line1, "There was a problem updating your") || line1 == "Failed to erase flash"
        || line1 == "Program device failed" || line1 == "Failed to reset device";
}

// The status lines that stop an update before it began or leave the rider's data on this
// computer: their second line says why, or what to do, so the outcome carries both.
bool stoppedStatus(const std::string& line1)
{
    return startsWith(line1, "Error\n") || line1 == "Could not restore your data to the GPS.";
}

bool alwaysAvailable(int commandId)
{
    return commandId == kCommandAbout || commandId == kCommandShowLog;
}

} // namespace

HeadlessWindow::HeadlessWindow(const HeadlessSettings& settings, ConsoleOutput& console, WindowThread& loop,
    ConsoleInput* input, std::function<void(int)> endProcess)
    : ThreadedWindow(loop)
    , m_settings(settings)
    , m_console(console)
    , m_input(input)
    , m_endProcess(std::move(endProcess))
{
    if (!m_input)
        m_inputClosed = true;
}

HeadlessWindow::~HeadlessWindow()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_closing = true;
    }
    m_wakeCondition.notify_all();
    if (m_wakeThread.joinable())
        m_wakeThread.join();
}

// From the first call on, posts a check every period (real time) until the window closes, so
// that a wait for the device is decided even when nothing else happens.
void HeadlessWindow::checkEvery(std::chrono::milliseconds period)
{
    if (m_wakeThread.joinable())
        return;
    m_wakeThread = std::thread([this, period] {
        std::unique_lock<std::mutex> lock(m_wakeMutex);
        while (!m_wakeCondition.wait_for(lock, period, [this] { return m_closing; })) {
            lock.unlock();
            requestCheck();
            lock.lock();
        }
    });
}

const char* HeadlessWindow::buttonHint() const
{
    if (runOptions().autoAnswer || m_settings.command != HeadlessCommand::None)
        return "";
    return "(press Enter to press it)";
}

void HeadlessWindow::showControl(WindowControl control, bool visible)
{
    switch (control) {
    case WindowControl::UpdateButton: {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_buttonVisible = visible;
            text = m_buttonText;
        }
        if (!visible)
            m_pressedOffer = false;
        if (m_settings.json)
            m_console.button(visible, text, buttonHint());
        break;
    }
    case WindowControl::ProgressBar:
        m_console.progress(visible);
        break;
    case WindowControl::LogWindow:
        m_console.showLog(visible);
        if (visible && m_settings.command == HeadlessCommand::ShowLog)
            m_commandSucceeded = true;
        break;
    }
    requestCheck();
}

void HeadlessWindow::setButtonText(const char* text)
{
    bool visible;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buttonText = text ? text : "";
        visible = m_buttonVisible;
    }
    if (visible && m_settings.json)
        m_console.button(true, text ? text : "", buttonHint());
    requestCheck();
}

void HeadlessWindow::repaint()
{
    const std::string line1 = statusText.get();
    const std::string line2 = statusDetail.get();
    m_console.status(line1, line2);
    const bool warning = warningShown();
    bool warningAppeared = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        warningAppeared = warning && !m_warning;
        m_warning = warning;
        if (failureStatus(line1))
            m_failureStatus = line1;
        else if (stoppedStatus(line1) && m_failureStatus.empty())
            m_failureStatus = line2.empty() ? line1 : line1 + "\n" + line2;
    }
    if (warningAppeared)
        m_console.notice("!! Do not unplug GPS");
    requestCheck();
}

void HeadlessWindow::appendToLog(const char* text, size_t length)
{
    m_console.log(text, length);
}

// The same texts reach appendToLog; the console keeps one copy of each.
void HeadlessWindow::debugOutput(const char*, size_t) { }

MessageBoxAnswer HeadlessWindow::messageBox(
    const char* text, const char* caption, MessageBoxKind kind, MessageBoxIcon)
{
    const std::string body = text ? text : "";
    const std::string title = caption ? caption : "";
    MessageBoxAnswer answer = safeAnswer(kind);
    {
        std::lock_guard<std::mutex> questions(m_questionMutex);
        const bool typed = !runOptions().autoAnswer && m_input;
        // Open before it shows: a line typed the moment the question is read belongs to it.
        if (typed)
            m_input->openQuestion();
        m_console.question(title, body, kind);
        if (runOptions().autoAnswer) {
            answer = autoAnswer(text, caption, kind);
            m_console.answer(answer, AnswerSource::Auto);
        } else {
            for (;;) {
                std::string line;
                if (m_inputClosed || !m_input || !m_input->nextAnswer(line)) {
                    m_inputClosed = true;
                    answer = safeAnswer(kind);
                    m_console.answer(answer, AnswerSource::ClosedInput);
                    break;
                }
                if (parseAnswer(line, kind, answer)) {
                    m_console.answer(answer, AnswerSource::Person);
                    break;
                }
                std::string buttons;
                for (MessageBoxAnswer button : messageBoxButtons(kind))
                    buttons += std::string(buttons.empty() ? "" : " or ") + answerName(button);
                m_console.notice("Please answer " + buttons + " (or the button's number).");
            }
        }
        if (typed)
            m_input->closeQuestion();
    }
    // The recovery prompt stays open behind a question: ask it again, so that the next line
    // typed is read as its answer by whoever reads the screen.
    bool prompt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        prompt = m_promptOpen;
    }
    if (prompt)
        m_console.recoveryPrompt(recoveryPromptText());

    // What the answer means for the run.
    const bool no = answer == MessageBoxAnswer::No || answer == MessageBoxAnswer::Cancel;
    if (title == "Wireless Firmware Update Problem" || title == "Factory Reset Failed") {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failureStatus = body;
    }
    if (body == "Could Not Update Language Packs.")
        m_languagePacksFailed = true;
    switch (m_settings.command) {
    case HeadlessCommand::About:
        if (title == "About")
            m_commandSucceeded = true;
        break;
    case HeadlessCommand::FactoryReset:
        if (title == "FACTORY RESET" && no)
            m_commandRefused = true;
        if (title == "Factory Reset Failed")
            m_commandFailed = true;
        break;
    case HeadlessCommand::EraseKeys:
        if (title == "Erase Bluetooth Encryption Keys" && startsWith(body, "Do you want to erase") && no)
            m_commandRefused = true;
        break;
    case HeadlessCommand::LanguagePacks:
        if (body == "Successfully Updated Language Packs.")
            m_commandSucceeded = true;
        if (body == "Could Not Update Language Packs.")
            m_commandFailed = true;
        break;
    default:
        break;
    }
    requestCheck();
    return answer;
}

void HeadlessWindow::enableMenuItem(int commandId, bool enabled)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_menu[commandId] = enabled;
    }
    requestCheck();
}

void HeadlessWindow::openWebPage(const char* url)
{
    // No browser is started from a console: the person opens the page where they like.
    m_console.notice(std::string("Open this page in your browser: ") + (url ? url : ""));
}

void HeadlessWindow::exitProcess(int status)
{
    if (m_settings.command == HeadlessCommand::EraseKeys && status == 0)
        finish(0, "command-done",
            "The encryption keys were erased. Restart your GPS and reset the bluetooth "
            "connections on your phone.");
    else
        finish(status, status == 0 ? "ended" : "failure", "The updater ended.");
    m_endProcess(exitStatus());
}

void HeadlessWindow::createRecoveryDialog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dialogOpen = true;
        m_ticks.clear();
    }
    // The shell runs the dialog's initialisation once this returns; the prompt comes after it.
    loop().post([this] { askRecovery(); });
}

void HeadlessWindow::destroyRecoveryDialog()
{
    bool prompted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        prompted = m_promptOpen;
        m_dialogOpen = false;
        m_promptOpen = false;
    }
    if (prompted)
        m_console.notice("(the recovery prompt is closed)");
    requestCheck();
}

void HeadlessWindow::focusRecoveryDialog() { }

bool HeadlessWindow::recoveryBoxTicked(int controlId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_ticks.find(controlId);
    return it != m_ticks.end() && it->second;
}

void HeadlessWindow::setRecoveryBoxTicked(int controlId, bool ticked)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ticks[controlId] = ticked;
}

void HeadlessWindow::askRecovery()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_dialogOpen || m_promptOpen)
            return;
    }
    const RunOptions& options = runOptions();
    if (options.recoverType >= 0) {
        m_console.recoveryPrompt(recoveryPromptText());
        applyRecovery(std::to_string(options.recoverType) + (options.recoverJapanese ? ",japanese" : ""),
            AnswerSource::Given);
        return;
    }
    if (options.autoAnswer) {
        finish(1, "recovery-needs-model",
            "The device is in its recovery mode and its model must be chosen: run again with "
            "--recover=TYPE[,japanese].");
        return;
    }
    m_console.recoveryPrompt(recoveryPromptText());
    if (m_inputClosed) {
        applyRecovery("cancel", AnswerSource::ClosedInput);
        finish(1, "recovery-cancelled",
            "The device is in its recovery mode and nobody can choose its model (standard input is closed).");
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_promptOpen = true;
}

void HeadlessWindow::applyRecovery(const std::string& choiceText, AnswerSource source)
{
    RecoveryChoice choice;
    if (!parseRecoveryChoice(choiceText, choice)) {
        m_console.notice("Please type a device number 4 to 16 or its label, optionally followed by "
                         "\",japanese\", or \"cancel\".");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_promptOpen = false;
    }
    m_console.recoveryAnswer(choice.cancel
            ? "cancel"
            : std::to_string(choice.deviceType) + (choice.japanese ? ",japanese" : ",english"),
        source);
    if (choice.cancel) {
        onRecoveryDialogCommand(kRecoveryCancel);
        return;
    }
    // Click the boxes as a person would: each box toggles itself, then reports the click.
    auto click = [this](int controlId) {
        setRecoveryBoxTicked(controlId, !recoveryBoxTicked(controlId));
        onRecoveryDialogCommand(controlId);
    };
    const int modelBox = 1000 + choice.deviceType;
    if (!recoveryBoxTicked(modelBox))
        click(modelBox);
    if (choice.japanese != recoveryBoxTicked(kRecoveryJapaneseBox))
        click(kRecoveryJapaneseBox);
    onRecoveryDialogCommand(kRecoveryOk);
}

void HeadlessWindow::onInputLine(const std::string& line)
{
    bool prompt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        prompt = m_promptOpen;
    }
    if (prompt) {
        applyRecovery(line, AnswerSource::Person);
        return;
    }
    const std::string word = lowered(line);
    HeadlessCommand command = HeadlessCommand::None;
    if (word.empty() || word == "update" || word == "ok" || word == "press") {
        bool visible;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            visible = m_buttonVisible;
        }
        if (visible)
            pressButton();
        else
            m_console.notice("There is no button to press now.");
    } else if (word == "exit" || word == "quit") {
        onCommand(kCommandExit);
    } else if (word == "help") {
        m_console.notice("Type Enter (or \"update\") to press the button, one of " + headlessCommandNames()
            + ", or \"exit\".");
    } else if (headlessCommandFromName(word, command)) {
        const int id = headlessCommandId(command);
        bool enabled;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            enabled = alwaysAvailable(id) || m_menu[id];
        }
        if (enabled)
            onCommand(id);
        else
            m_console.notice("\"" + word + "\" is not available now.");
    } else {
        m_console.notice("Unknown input \"" + line + "\"; type \"help\" for what you can type.");
    }
}

void HeadlessWindow::onInputClosed()
{
    m_inputClosed = true;
    bool prompt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        prompt = m_promptOpen;
    }
    if (prompt) {
        applyRecovery("cancel", AnswerSource::ClosedInput);
        finish(1, "recovery-cancelled",
            "The device is in its recovery mode and nobody can choose its model (standard input is closed).");
        return;
    }
    requestCheck();
}

void HeadlessWindow::onStarted()
{
    m_started = true;
    requestCheck();
}

void HeadlessWindow::pressButton()
{
    onCommand(kCommandUpdateButton);
}

void HeadlessWindow::requestCheck()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_checkPosted || !m_started)
            return;
        m_checkPosted = true;
    }
    loop().post([this] { check(); });
}

bool HeadlessWindow::workUnderway() const
{
    return isSet(updateActive) || isSet(updateThreadActive) || isSet(factoryResetActive)
        || isSet(languagePackActive);
}

// The update stays open after a failed programming, for the device's return (in its
// bootloader, or plugged in again), and no worker runs meanwhile.
bool HeadlessWindow::waitingForTheDevice() const
{
    return isSet(updateActive) && !isSet(updateThreadActive) && !isSet(jbl) && !isSet(factoryResetActive)
        && !isSet(languagePackActive);
}

bool HeadlessWindow::doneScreen()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_buttonVisible && statusDetail.get() == kLatestSoftware && !workUnderway() && !isSet(backupHeld);
}

// After a failure shown in an unattended run: nobody will plug the device in again, so it gets
// a while to come back by itself, then the run ends on that failure (the next run finishes the
// update). True while it waits or once the run is ended.
bool HeadlessWindow::waitForTheDevice(const std::string& failure)
{
    const auto limit = std::chrono::milliseconds(int64_t(kDeviceReturnWaitMs * platform::timeScale()));
    // Workers end without an event: look again now and then.
    checkEvery(std::clamp(limit / 4, std::chrono::milliseconds(20), std::chrono::milliseconds(1000)));
    if (!waitingForTheDevice()) {
        m_waiting = false;
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!m_waiting) {
        m_waiting = true;
        m_waitingSince = now;
        m_console.notice("Waiting for the device to come back...");
    } else if (now - m_waitingSince >= limit) {
        m_console.notice("The device did not come back: the update is not finished. Run the updater again "
                         "with the device attached to finish it.");
        finish(1, "failure", failure);
    }
    return true;
}

// Decides what an unattended console does next, between events on the window thread: start the
// asked-for command once its menu entry can be chosen, press the offered update and the done
// screen's button, and end the run when it is over.
void HeadlessWindow::check()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_checkPosted = false;
    }
    if (finished())
        return;
    const RunOptions& options = runOptions();
    const HeadlessCommand command = m_settings.command;
    const bool unattended = options.autoAnswer || command != HeadlessCommand::None;
    std::string failure;
    bool buttonVisible;
    std::string buttonText;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failure = m_failureStatus;
        buttonVisible = m_buttonVisible;
        buttonText = m_buttonText;
    }

    // A person reads the button once the events have settled and no work is under way; the
    // JSON events tell every show and hide as it happens.
    if (!m_settings.json)
        m_console.button(buttonVisible && !workUnderway(), buttonText, buttonHint());

    if (!failure.empty() && unattended && !workUnderway()) {
        finish(1, "failure", failure);
        return;
    }
    if (!failure.empty() && unattended) {
        if (waitForTheDevice(failure))
            return;
    } else {
        m_waiting = false;
    }
    if (command != HeadlessCommand::None) {
        const std::string name = headlessCommandName(command);
        if (m_commandRefused) {
            finish(1, "command-refused", "The command " + name + " was not carried out.");
            return;
        }
        if (m_commandFailed) {
            finish(1, "command-failed", "The command " + name + " failed.");
            return;
        }
        const int id = headlessCommandId(command);
        if (!m_commandIssued) {
            bool enabled;
            bool deviceMenu; // the menu shows a device's entries (the factory reset's is always among them)
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                enabled = alwaysAvailable(id) || m_menu[id];
                deviceMenu = m_menu[kCommandFactoryReset];
            }
            if (enabled && !workUnderway()) {
                m_commandIssued = true;
                onCommand(id);
                requestCheck();
            } else if (!enabled && deviceMenu && !workUnderway()) {
                finish(
                    1, "command-unavailable", "The command " + name + " is not available for this device.");
            } else if (!enabled && !deviceMenu && !m_commandWaitTold) {
                m_commandWaitTold = true;
                m_console.notice("Waiting for a device to carry out " + name + "; connect the GPS (Ctrl-C ends).");
            }
            return;
        }
        switch (command) {
        case HeadlessCommand::FactoryReset:
            if (isSet(factoryResetActive))
                m_commandWorkSeen = true;
            if (m_commandWorkSeen && !workUnderway() && buttonVisible)
                m_commandSucceeded = true;
            break;
        case HeadlessCommand::ForceUpdate:
            if (isSet(updateActive))
                m_commandWorkSeen = true;
            if (m_commandWorkSeen && doneScreen())
                m_commandSucceeded = true;
            break;
        case HeadlessCommand::EraseKeys:
            if (isSet(exitOnButton) && buttonVisible) {
                pressButton(); // ends the process with 0
                return;
            }
            break;
        default:
            break;
        }
        if (m_commandSucceeded && !workUnderway()) {
            if (m_languagePacksFailed)
                finish(1, "failure", "Could Not Update Language Packs.");
            else
                finish(0, "command-done", "The command " + name + " completed.");
        }
        return;
    }

    if (options.autoAnswer) {
        if (doneScreen()) {
            pressButton(); // the done screen's OK ends the program
            return;
        }
        if (buttonVisible && !workUnderway() && startsWith(buttonText, "Update") && !m_pressedOffer) {
            m_pressedOffer = true;
            pressButton();
            return;
        }
        pressOkWhenNothingHappens(buttonVisible && !workUnderway() && !startsWith(buttonText, "Update"));
        return;
    }

    if (m_inputClosed && buttonVisible && !workUnderway()) {
        const bool done = doneScreen();
        finish(done ? 0 : 1, done ? "up-to-date" : "input-closed",
            done ? std::string(kLatestSoftware)
                 : std::string(
                     "Standard input is closed: nobody can press the button, so the run ends here."));
    }
}

// A device is shown with only an "OK" (no offer, not the done screen) and nothing happens: a
// person would press it, which ends the run with the device not up to date. Given a few seconds
// first, since the screen can be a moment between two steps.
void HeadlessWindow::pressOkWhenNothingHappens(bool okOnly)
{
    const bool deviceShown = statusText.get().find(" connected\n") != std::string::npos;
    if (!okOnly || !deviceShown) {
        m_idleOk = false;
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!m_idleOk) {
        m_idleOk = true;
        m_idleOkSince = now;
        checkEvery(std::chrono::milliseconds(500));
        return;
    }
    if (now - m_idleOkSince < std::chrono::milliseconds(kIdleOkMs))
        return;
    m_console.notice("Nothing more is offered for this device: pressing OK.");
    m_idleOk = false;
    pressButton();
}

bool HeadlessWindow::finish(int status, const std::string& result, const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return false;
        m_finished = true;
        m_exitStatus = status;
    }
    m_console.progress(false);
    m_console.outcome(status, result, message);
    loop().postQuit(status);
    return true;
}

bool HeadlessWindow::finished() const
{
    return m_finished;
}

int HeadlessWindow::exitStatus() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_exitStatus;
}

void HeadlessWindow::finishOnQuit()
{
    if (finished())
        return;
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failure = m_failureStatus;
    }
    if (m_commandSucceeded && !m_languagePacksFailed) {
        finish(0, "command-done",
            std::string("The command ") + headlessCommandName(m_settings.command) + " completed.");
    } else if (!failure.empty()) {
        finish(1, "failure", failure);
    } else if (m_languagePacksFailed) {
        finish(1, "failure", "Could Not Update Language Packs.");
    } else if (statusDetail.get() == kLatestSoftware && !workUnderway() && !isSet(backupHeld)) {
        finish(0, "up-to-date", kLatestSoftware);
    } else {
        finish(1, "not-done", "The run ended before the device was up to date.");
    }
}

std::string HeadlessWindow::interruptMessage()
{
    std::string message;
    if (isSet(jbl)) {
        message
            = "Interrupted in the middle of programming: the device will come back in its bootloader, and "
              "the next run of the updater will finish the update.";
    } else if (isSet(updateActive) || isSet(updateThreadActive)) {
        message
            = "Interrupted in the middle of the update: run the updater again with the device attached to "
              "finish it.";
    } else if (isSet(factoryResetActive) || isSet(languagePackActive)) {
        message = "Interrupted while the device was working: let it finish, then run the updater again.";
    } else {
        message = "Interrupted.";
    }
    if (isSet(backupHeld))
        message += " The rider's data is kept on this computer; the next run puts it back on the device.";
    return message;
}

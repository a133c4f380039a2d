#include "console_output.h"

#include "console_answers.h"

#include "platform/clock.h"

#include <json/value.h>
#include <json/writer.h>

#include <chrono>

namespace {

std::string withoutCarriageReturns(const char* text, size_t length)
{
    std::string result;
    result.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '\r')
            result.push_back(text[i]);
    }
    return result;
}

std::string joinedPieces(const std::string& line)
{
    std::string result;
    size_t at = 0;
    while (at <= line.size()) {
        size_t end = line.find('\n', at);
        if (end == std::string::npos)
            end = line.size();
        std::string piece = line.substr(at, end - at);
        while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\r'))
            piece.pop_back();
        size_t lead = piece.find_first_not_of(' ');
        piece = lead == std::string::npos ? "" : piece.substr(lead);
        if (!piece.empty()) {
            if (!result.empty())
                result += " / ";
            result += piece;
        }
        at = end + 1;
    }
    return result;
}

// Every event line carries the milliseconds since the program started, so a script can time
// each phase of a run.
std::string oneLine(const Json::Value& value)
{
    Json::Value line = value;
    line["t_ms"] = Json::Int64(platform::elapsedMs());
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, line);
}

const char* sourceName(AnswerSource source)
{
    switch (source) {
    case AnswerSource::Person:
        return "input";
    case AnswerSource::Auto:
        return "auto";
    case AnswerSource::ClosedInput:
        return "closed-input";
    case AnswerSource::Given:
        return "option";
    }
    return "input";
}

const char* sourceNote(AnswerSource source)
{
    switch (source) {
    case AnswerSource::Person:
        return "";
    case AnswerSource::Auto:
        return " (answered automatically)";
    case AnswerSource::ClosedInput:
        return " (standard input is closed: the safe answer is taken)";
    case AnswerSource::Given:
        return " (given on the command line)";
    }
    return "";
}

} // namespace

ConsoleOutput::ConsoleOutput(const ConsoleSinks& sinks)
    : m_sinks(sinks)
{
    if (m_sinks.json)
        m_sinks.spinner = false;
    if (m_sinks.spinner)
        m_spinner = std::thread([this] { spinnerLoop(); });
}

ConsoleOutput::~ConsoleOutput()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        clearSpinnerLocked();
    }
    m_spin.notify_all();
    if (m_spinner.joinable())
        m_spinner.join();
}

std::string ConsoleOutput::flatten(const std::string& line1, const std::string& line2)
{
    std::string first = joinedPieces(line1);
    std::string second = joinedPieces(line2);
    if (second.empty())
        return first;
    return first + " -- " + second;
}

void ConsoleOutput::writeEventLocked(const std::string& line)
{
    // The outcome is the last thing said; workers still running as the process ends say no more.
    if (m_ended)
        return;
    clearSpinnerLocked();
    // One write for the whole event, on a line of its own.
    std::string whole = m_outLineOpen ? "\n" : "";
    whole += line;
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), m_sinks.out);
    std::fflush(m_sinks.out);
    m_outLineOpen = false;
}

void ConsoleOutput::status(const std::string& line1, const std::string& line2)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_printedStatus && line1 == m_line1 && line2 == m_line2)
        return;
    const bool sameForAPerson = m_printedStatus && flatten(line1, line2) == flatten(m_line1, m_line2);
    m_printedStatus = true;
    m_line1 = line1;
    m_line2 = line2;
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "status";
        event["line1"] = line1;
        event["line2"] = line2;
        writeEventLocked(oneLine(event));
    } else if (!sameForAPerson) {
        writeEventLocked(flatten(line1, line2));
    }
}

void ConsoleOutput::button(bool visible, const std::string& text, const char* hint)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (visible == m_buttonVisible && (!visible || text == m_buttonText))
        return;
    m_buttonVisible = visible;
    m_buttonText = text;
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "button";
        event["visible"] = visible;
        event["text"] = text;
        writeEventLocked(oneLine(event));
    } else if (visible) {
        writeEventLocked("[ " + text + " ]" + (hint && *hint ? std::string("  ") + hint : ""));
    }
}

void ConsoleOutput::log(const char* text, size_t length)
{
    const std::string plain = withoutCarriageReturns(text, length);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logText += plain;
    if (m_sinks.logFile) {
        std::fputs(plain.c_str(), m_sinks.logFile);
        std::fflush(m_sinks.logFile);
    }
    if (m_ended)
        return;
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "log";
        event["text"] = std::string(text, length);
        writeEventLocked(oneLine(event));
        return;
    }
    if (m_logShown) {
        clearSpinnerLocked();
        std::fputs(plain.c_str(), m_sinks.out);
        std::fflush(m_sinks.out);
        if (!plain.empty())
            m_outLineOpen = plain.back() != '\n';
    } else if (m_sinks.verbose) {
        clearSpinnerLocked();
        std::fputs(plain.c_str(), m_sinks.err);
        std::fflush(m_sinks.err);
    }
}

void ConsoleOutput::showLog(bool shown)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (shown == m_logShown)
        return;
    m_logShown = shown;
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "log-window";
        event["visible"] = shown;
        if (shown)
            event["text"] = m_logText;
        writeEventLocked(oneLine(event));
        return;
    }
    writeEventLocked(shown ? "---- log ----" : "---- log hidden ----");
    if (shown) {
        std::fputs(m_logText.c_str(), m_sinks.out);
        if (!m_logText.empty() && m_logText.back() != '\n')
            std::fputc('\n', m_sinks.out);
        std::fflush(m_sinks.out);
    }
}

void ConsoleOutput::question(const std::string& caption, const std::string& text, MessageBoxKind kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<MessageBoxAnswer> buttons = messageBoxButtons(kind);
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "question";
        event["caption"] = caption;
        event["text"] = text;
        Json::Value names(Json::arrayValue);
        for (MessageBoxAnswer button : buttons)
            names.append(answerName(button));
        event["buttons"] = names;
        writeEventLocked(oneLine(event));
        return;
    }
    std::string line = caption.empty() ? text : "[" + caption + "] " + text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    std::string choices = "  ";
    for (size_t i = 0; i < buttons.size(); ++i)
        choices += std::to_string(i + 1) + ") " + answerName(buttons[i]) + "  ";
    writeEventLocked(line + "\n" + choices + "?");
}

void ConsoleOutput::answer(MessageBoxAnswer answer, AnswerSource source)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "answer";
        event["answer"] = answerName(answer);
        event["by"] = sourceName(source);
        writeEventLocked(oneLine(event));
        return;
    }
    writeEventLocked(std::string("  -> ") + answerName(answer) + sourceNote(source));
}

void ConsoleOutput::recoveryPrompt(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "question";
        event["caption"] = "Emergency Recovery Mode";
        event["text"] = text;
        Json::Value buttons(Json::arrayValue);
        buttons.append("OK");
        buttons.append("Cancel");
        event["buttons"] = buttons;
        writeEventLocked(oneLine(event));
        return;
    }
    writeEventLocked(text);
}

void ConsoleOutput::recoveryAnswer(const std::string& choice, AnswerSource source)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "answer";
        event["answer"] = choice;
        event["by"] = sourceName(source);
        writeEventLocked(oneLine(event));
        return;
    }
    writeEventLocked("  -> " + choice + sourceNote(source));
}

void ConsoleOutput::notice(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "notice";
        event["text"] = text;
        writeEventLocked(oneLine(event));
        return;
    }
    writeEventLocked(text);
}

void ConsoleOutput::outcome(int exitStatus, const std::string& result, const std::string& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sinks.json) {
        Json::Value event;
        event["event"] = "outcome";
        event["status"] = exitStatus;
        event["result"] = result;
        event["message"] = message;
        writeEventLocked(oneLine(event));
    } else {
        writeEventLocked(message);
    }
    m_ended = true;
}

void ConsoleOutput::progress(bool visible)
{
    if (!m_sinks.spinner)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spinning == visible)
            return;
        m_spinning = visible;
        if (!visible)
            clearSpinnerLocked();
    }
    m_spin.notify_all();
}

void ConsoleOutput::clearSpinnerLocked()
{
    if (!m_spinnerDrawn)
        return;
    std::fputs("\r\033[K", m_sinks.out);
    std::fflush(m_sinks.out);
    m_spinnerDrawn = false;
}

void ConsoleOutput::spinnerLoop()
{
    static const char kFrames[] = { '|', '/', '-', '\\' };
    size_t frame = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (!m_spinning || m_ended) {
            // Nothing to draw: sleep until the progress bar shows (no ticking while idle).
            m_spin.wait(lock, [this] { return m_stop || (m_spinning && !m_ended); });
            continue;
        }
        if (!m_outLineOpen) { // never drawn over the open line of the shown log
            std::fprintf(m_sinks.out, "\r%c working", kFrames[frame++ % sizeof kFrames]);
            std::fflush(m_sinks.out);
            m_spinnerDrawn = true;
        }
        m_spin.wait_for(lock, std::chrono::milliseconds(150), [this] { return m_stop || !m_spinning; });
    }
}

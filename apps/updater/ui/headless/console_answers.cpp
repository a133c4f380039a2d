#include "console_answers.h"

#include "state/device_models.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

std::string trimmed(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

std::string lowered(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A whole decimal number, nothing else.
bool wholeNumber(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 4)
        return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    value = std::atoi(text.c_str());
    return true;
}

} // namespace

std::vector<MessageBoxAnswer> messageBoxButtons(MessageBoxKind kind)
{
    switch (kind) {
    case MessageBoxKind::Ok:
        return { MessageBoxAnswer::Ok };
    case MessageBoxKind::OkCancel:
        return { MessageBoxAnswer::Ok, MessageBoxAnswer::Cancel };
    case MessageBoxKind::YesNo:
        return { MessageBoxAnswer::Yes, MessageBoxAnswer::No };
    }
    return { MessageBoxAnswer::Ok };
}

const char* answerName(MessageBoxAnswer answer)
{
    switch (answer) {
    case MessageBoxAnswer::Ok:
        return "OK";
    case MessageBoxAnswer::Cancel:
        return "Cancel";
    case MessageBoxAnswer::Yes:
        return "Yes";
    case MessageBoxAnswer::No:
        return "No";
    }
    return "OK";
}

bool parseAnswer(const std::string& line, MessageBoxKind kind, MessageBoxAnswer& answer)
{
    const std::string text = lowered(trimmed(line));
    const std::vector<MessageBoxAnswer> buttons = messageBoxButtons(kind);
    // Enter alone confirms a box that has nothing to choose; a choice is never taken by default.
    if (text.empty() && kind == MessageBoxKind::Ok) {
        answer = MessageBoxAnswer::Ok;
        return true;
    }
    int number = 0;
    if (wholeNumber(text, number)) {
        if (number < 1 || size_t(number) > buttons.size())
            return false;
        answer = buttons[size_t(number - 1)];
        return true;
    }
    for (MessageBoxAnswer button : buttons) {
        if (text == lowered(answerName(button))) {
            answer = button;
            return true;
        }
    }
    return false;
}

MessageBoxAnswer safeAnswer(MessageBoxKind kind)
{
    switch (kind) {
    case MessageBoxKind::Ok:
        return MessageBoxAnswer::Ok;
    case MessageBoxKind::OkCancel:
        return MessageBoxAnswer::Cancel;
    case MessageBoxKind::YesNo:
        return MessageBoxAnswer::No;
    }
    return MessageBoxAnswer::Cancel;
}

bool parseRecoveryChoice(const std::string& line, RecoveryChoice& choice)
{
    const std::string text = lowered(trimmed(line));
    if (text == "cancel") {
        choice = RecoveryChoice { true, -1, false };
        return true;
    }
    std::string model = text;
    std::string language = "english";
    if (size_t comma = text.find(','); comma != std::string::npos) {
        model = trimmed(text.substr(0, comma));
        language = trimmed(text.substr(comma + 1));
    }
    RecoveryChoice result;
    if (language == "japanese")
        result.japanese = true;
    else if (language != "english")
        return false;

    int type = 0;
    if (wholeNumber(model, type)) {
        if (!isFlashableType(type))
            return false;
        result.deviceType = type;
    } else {
        for (int t = kFirstFlashableType; t <= kMaxDeviceType; ++t) {
            if (model == lowered(recoveryLabel(t)))
                result.deviceType = t;
        }
        if (result.deviceType < 0)
            return false;
    }
    choice = result;
    return true;
}

std::string recoveryPromptText()
{
    std::string text = "Emergency Recovery Mode\nRecovery Mode Carefully Choose Your Device\n";
    for (int type = kFirstFlashableType; type <= kMaxDeviceType; ++type) {
        char line[64];
        std::snprintf(line, sizeof line, "  %2d  %s\n", type, recoveryLabel(type));
        text += line;
    }
    text += "Language: Japanese or English (English unless you say otherwise)\n"
            "Type the number or label of your device, optionally followed by \",japanese\" "
            "(for example \"13,japanese\"), or \"cancel\":";
    return text;
}

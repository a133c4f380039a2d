#pragma once
// Questions asked on the console and the answers typed to them: a message box's buttons
// chosen by number or by name, the recovery dialog's model and language, and the safe answer
// a question takes when nobody can answer it.

#include "state/window_port.h"

#include <string>
#include <vector>

// The buttons of a message box in their order on screen (1, 2, ...).
std::vector<MessageBoxAnswer> messageBoxButtons(MessageBoxKind kind);
// "OK", "Cancel", "Yes", "No".
const char* answerName(MessageBoxAnswer answer);

// Reads a typed answer: the button's number or its name, in any case, blanks around it
// ignored; an empty line confirms a box whose only button is OK. False when the line names no
// button of this box.
bool parseAnswer(const std::string& line, MessageBoxKind kind, MessageBoxAnswer& answer);

// The answer that changes nothing: Cancel or No, or OK where it is the only button.
MessageBoxAnswer safeAnswer(MessageBoxKind kind);

// The recovery dialog's answer on the console: a model (its device type 4..16, or its box's
// label) with an optional language ("japanese" or "english"), or cancel.
struct RecoveryChoice {
    bool cancel = false;
    int deviceType = -1;
    bool japanese = false;
};

// Reads "13", "13,japanese", "G3 PeakPro, English", "cancel". False when the line is none of
// these.
bool parseRecoveryChoice(const std::string& line, RecoveryChoice& choice);

// The prompt that stands for the dialog: its title, the thirteen labels with their types,
// the two languages and how to answer.
std::string recoveryPromptText();

#pragma once
// How this run of the updater was asked to behave, beyond what a person does in the window:
// questions answered in advance (--auto) and the recovery dialog's answer (--recover).
// Both front ends read it; main() sets it once before the window exists.

#include "state/window_port.h"

struct RunOptions {
    bool autoAnswer = false;      // --auto: every question takes the answer that carries the update on
    int recoverType = -1;         // --recover=TYPE[,japanese]: the model to tick (4..16), -1 none
    bool recoverJapanese = false; // --recover=TYPE,japanese
};

void setRunOptions(const RunOptions& options);
const RunOptions& runOptions();

// The answer --auto gives: OK to a notice, Yes or OK to a confirmation, No to an offer to open
// a web page (no browser opens in an unattended run).
MessageBoxAnswer autoAnswer(const char* text, const char* caption, MessageBoxKind kind);

#pragma once
// The Kanji language packs of a Japanese device: the model's fonts are staged on its drive
// and the device is told to program them, following its result reports.

// True when the device reported every font of the model as programmed.
bool updateLanguagePacks();

constexpr int kKanjiWaitLimit = 1500;

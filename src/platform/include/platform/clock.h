#pragma once
// The one time service. Every fixed pause of the system goes through pause(), which
// multiplies it by the process's time scale (TARVEL_TIME_SCALE, or --time-scale): demos and
// tests shorten the waits without touching the code that waits. Protocol time limits
// (HID read and write time-outs) are never scaled: a device that answers never waits for them.

#include <chrono>
#include <cstdint>

namespace platform {

using Milliseconds = std::chrono::milliseconds;

// Sleeps the calling thread for ms multiplied by the time scale.
void pause(Milliseconds ms);
inline void pauseSeconds(int seconds) { pause(Milliseconds(int64_t(seconds) * 1000)); }

// The time scale: 1.0 unless TARVEL_TIME_SCALE (read at first use) or setTimeScale() says
// otherwise. 0 makes every pause return at once.
double timeScale();
void setTimeScale(double scale);

// Monotonic time for measurements; never scaled.
std::chrono::steady_clock::time_point now();
// Milliseconds since the first call in this process, for elapsed-time texts.
int64_t elapsedMs();

// Tests install a hook that sees every pause instead of sleeping: the hook receives the
// unscaled request. nullptr restores real sleeping.
using PauseHook = void (*)(Milliseconds requested);
void setPauseHook(PauseHook hook);

} // namespace platform

#include "platform/clock.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace platform {
namespace {

std::atomic<double> g_scale{-1.0}; // below 0: not read from the environment yet
std::atomic<PauseHook> g_hook{nullptr};

double scaleFromEnvironment()
{
    const char* text = std::getenv("TARVEL_TIME_SCALE");
    if (!text || !*text)
        return 1.0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || !std::isfinite(value) || value < 0.0)
        return 1.0;
    return value;
}

} // namespace

double timeScale()
{
    double scale = g_scale.load();
    if (scale < 0.0) {
        scale = scaleFromEnvironment();
        g_scale.store(scale);
    }
    return scale;
}

// Not a number or an endless scale would make every pause wait for ever: the default instead.
void setTimeScale(double scale) { g_scale.store(!std::isfinite(scale) ? 1.0 : scale < 0.0 ? 0.0 : scale); }

void setPauseHook(PauseHook hook) { g_hook.store(hook); }

void pause(Milliseconds ms)
{
    if (PauseHook hook = g_hook.load()) {
        hook(ms);
        return;
    }
    const double scaled = double(ms.count()) * timeScale();
    if (scaled <= 0.0)
        return;
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(scaled));
}

std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }

int64_t elapsedMs()
{
    static const auto start = now();
    return std::chrono::duration_cast<Milliseconds>(now() - start).count();
}

} // namespace platform

// Cost of the flash progress counter, which runs for every framework log message while an
// image is written (about 1.3 million times per image).

#include "state/app_callbacks.h"
#include "state/flash_progress.h"
#include "state/shared_state.h"

#include "blfwk/logger.h"

#include <benchmark/benchmark.h>

namespace {

int g_statusCalls = 0;
void countStatus(int, const char*, const char*) { ++g_statusCalls; }

// One output call of the counter, as the logger makes it.
void BM_ProgressCounterOutput(benchmark::State& state)
{
    appCallbacks.status.store(countStatus);
    for (auto _ : state) {
        flashProgressOutput("5a");
    }
    state.counters["messages_counted"] = double(flashLogCount.load());
    appCallbacks.status.store(nullptr);
}
BENCHMARK(BM_ProgressCounterOutput);

// One logged byte-trace piece ("%02x" at trace level) through the file logger into the counter:
// what each of the 73 pieces of a 36-byte report costs the updater.
void BM_TracePieceThroughFileLogger(benchmark::State& state)
{
    installFlashProgressCounter();
    blfwk::FileLogger logger("bootloader.log");
    logger.setFilterLevel(7);
    blfwk::Log::setLogger(&logger);
    unsigned byte = 0;
    for (auto _ : state) {
        blfwk::Log::trace("%02x", byte++ & 0xff);
    }
    // A whole 36-byte report is 73 such calls.
    state.counters["time_per_report"] =
        benchmark::Counter(double(state.iterations()) / 73.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    blfwk::Log::setLogger(nullptr);
    blfwk::FileLogger::setOutputFunction(nullptr);
}
BENCHMARK(BM_TracePieceThroughFileLogger);

} // namespace

BENCHMARK_MAIN();

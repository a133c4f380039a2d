// One full programming of the largest image (type 11, 570480 bytes) as the updater runs it:
// erase, write at logger level 7 with the progress counter counting, read-back, reset, over
// the virtual bus against the simulated bootloader, at time scale 0 (no driver wait, no fixed
// pauses); and the read-back of that image alone.

#include "flash/programming.h"

#include "platform/clock.h"
#include "platform/virtual_bus.h"
#include "state/app_callbacks.h"
#include "state/flash_progress.h"
#include "state/shared_state.h"
#include "simulator.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

namespace {

double processCpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_FullProgrammingLargestImage(benchmark::State& state, bool verify)
{
    platform::setTimeScale(0.0);
    verifyAfterWrite = verify ? 1 : 0;
    installFlashProgressCounter();
    DeviceInfo record;
    record.deviceType = 11;
    record.modelName = "Summit GPS";
    appCallbacks.currentDevice.store(&record);
    double cpu = 0;
    int failures = 0;
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        devsim::DeviceConfig config;
        config.model = 11;
        config.face = devsim::Face::FlashBootloader;
        devsim::Simulator sim(config);
        const std::string path = "/tmp/tarvel-bench-" + std::to_string(getpid()) + "-" + std::to_string(n++) + ".sock";
        if (!sim.start(path)) {
            state.SkipWithError("simulator did not start");
            break;
        }
        platform::selectVirtualBus(path);
        const int32_t logCallsBefore = flashLogCount.load();
        state.ResumeTiming();

        const double cpuBefore = processCpuSeconds();
        if (!onBootloaderMode(11, 0x2B29))
            ++failures;
        cpu += processCpuSeconds() - cpuBefore;

        state.PauseTiming();
        state.counters["log_calls"] = double(flashLogCount.load() - logCallsBefore);
        sim.stop();
        platform::selectVirtualBus("");
        state.ResumeTiming();
    }
    state.counters["process_cpu_s"] = cpu / double(state.iterations());
    state.counters["failures"] = failures;
    appCallbacks.currentDevice.store(nullptr);
    verifyAfterWrite = 1;
}
BENCHMARK_CAPTURE(BM_FullProgrammingLargestImage, verified, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_FullProgrammingLargestImage, no_verify, false)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// The read-back that programFlash makes before the reset, timed alone: the largest image,
// written once (unverified) before the timing starts, read back and compared.
void BM_ReadBackLargestImage(benchmark::State& state)
{
    platform::setTimeScale(0.0);
    installFlashProgressCounter();
    DeviceInfo record;
    record.deviceType = 11;
    record.modelName = "Summit GPS";
    appCallbacks.currentDevice.store(&record);
    devsim::DeviceConfig config;
    config.model = 11;
    config.face = devsim::Face::FlashBootloader;
    devsim::Simulator sim(config);
    const std::string path = "/tmp/tarvel-bench-read-" + std::to_string(getpid()) + ".sock";
    if (!sim.start(path)) {
        state.SkipWithError("simulator did not start");
        return;
    }
    platform::selectVirtualBus(path);
    verifyAfterWrite = 0;
    const bool written = eraseFlash() && programFlash();
    verifyAfterWrite = 1;
    if (!written) {
        state.SkipWithError("the image was not written");
    } else {
        int mismatches = 0;
        double cpu = 0;
        for (auto _ : state) {
            const double cpuBefore = processCpuSeconds();
            if (checkWrittenImage() != WriteCheck::Same)
                ++mismatches;
            cpu += processCpuSeconds() - cpuBefore;
        }
        state.counters["bytes"] = 570480;
        state.counters["bytes_per_s"]
            = benchmark::Counter(570480.0 * double(state.iterations()), benchmark::Counter::kIsRate);
        state.counters["process_cpu_s"] = cpu / double(state.iterations());
        state.counters["not_same"] = mismatches;
    }
    sim.stop();
    platform::selectVirtualBus("");
    appCallbacks.currentDevice.store(nullptr);
}
BENCHMARK(BM_ReadBackLargestImage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

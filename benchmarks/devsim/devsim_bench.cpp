// Bus throughput with the simulator: application round trips per second, and the time to
// move a 570480-byte image into flash in 32-byte data packets, both through the virtual-bus
// HID backend that the updater itself uses.

#include "image.h"
#include "simulator.h"

#include "platform/clock.h"
#include "platform/vbus/backends.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <unistd.h>

namespace {

std::string socketPath(const char* name)
{
    return "/tmp/devsim-bench-" + std::to_string(::getpid()) + name;
}

void BM_ApplicationRoundTrip(benchmark::State& state)
{
    platform::setTimeScale(0.0);
    devsim::Simulator sim(devsim::DeviceConfig {});
    std::string error;
    if (!sim.start(socketPath("-app.sock"), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    platform::vbus::HidBackend hid(sim.socketPath());
    platform::HidDevice* device = hid.open(0x2B29, 0x55);
    uint8_t report[65];
    std::memset(report, 0xFF, sizeof(report));
    const uint8_t frame[] = { 0x00, 0x01, 0x06, 0xC6, 0x60, 0x04 };
    std::memcpy(report, frame, sizeof(frame));
    uint8_t reply[64];
    for (auto _ : state) {
        hid.write(device, report, sizeof(report), -1);
        int n = hid.read(device, reply, sizeof(reply), 1000);
        if (n != 64 || reply[1] != 0x06) {
            state.SkipWithError("no echo");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["round_trips_per_s"]
        = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    hid.close(device);
}
BENCHMARK(BM_ApplicationRoundTrip)->UseRealTime();

// One packet in a 36-byte report; reads the response report.
bool sendCommand(platform::vbus::HidBackend& hid, platform::HidDevice* device, uint8_t tag,
    std::initializer_list<uint32_t> params, uint8_t flags, uint32_t& status)
{
    uint8_t report[36] = {};
    report[0] = 1;
    report[2] = uint8_t(4 + 4 * params.size());
    report[4] = tag;
    report[5] = flags;
    report[7] = uint8_t(params.size());
    size_t i = 0;
    for (uint32_t p : params) {
        std::memcpy(report + 8 + 4 * i, &p, 4); // little-endian host
        ++i;
    }
    if (hid.write(device, report, sizeof(report), 5000) < 0)
        return false;
    uint8_t answer[36];
    if (hid.read(device, answer, sizeof(answer), 5000) < 12)
        return false;
    std::memcpy(&status, answer + 8, 4);
    return true;
}

void BM_WriteImage570480(benchmark::State& state)
{
    platform::setTimeScale(0.0);
    devsim::DeviceConfig config;
    config.face = devsim::Face::FlashBootloader;
    devsim::Simulator sim(config);
    std::string error;
    if (!sim.start(socketPath("-bl.sock"), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const uint32_t size = 570480;
    std::vector<uint8_t> image = devsim::buildApplicationImage(11, 0, 14, 51, size);
    platform::vbus::HidBackend hid(sim.socketPath());
    platform::HidDevice* device = hid.open(0x2B29, 11);
    uint32_t status = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sendCommand(hid, device, 0x02, { 0xA000, 0x8C000 }, 0, status);
        state.ResumeTiming();
        if (!sendCommand(hid, device, 0x04, { 0xA000, size }, 1, status) || status != 0) {
            state.SkipWithError("write-memory refused");
            break;
        }
        uint8_t report[36] = {};
        report[0] = 2;
        for (uint32_t at = 0; at < size; at += 32) {
            uint32_t n = size - at < 32 ? size - at : 32;
            report[2] = uint8_t(n);
            std::memcpy(report + 4, image.data() + at, n);
            hid.write(device, report, 4 + n, 5000);
        }
        uint8_t answer[36];
        if (hid.read(device, answer, sizeof(answer), 5000) < 12 || answer[8] != 0) {
            state.SkipWithError("final response missing or failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    state.counters["packets"] = double((size + 31) / 32);
    hid.close(device);
}
BENCHMARK(BM_WriteImage570480)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

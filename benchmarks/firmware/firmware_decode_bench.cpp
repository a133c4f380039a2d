// Time to decode the largest embedded image and to turn it into the write command's data text.
#include "flash/firmware_catalog.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

// The largest decoded image of the catalogue: the standard Summit GPS image.
FirmwareImage largestImage()
{
    FirmwareImage image;
    if (!selectFirmwareImage(11, 0, &image))
        std::abort();
    return image;
}

void BM_DecodeLargestImage(benchmark::State& state)
{
    const FirmwareImage image = largestImage();
    int length = 0;
    for (auto _ : state) {
        length = decodeFirmwareImage(image);
        benchmark::DoNotOptimize(imageBuffer);
    }
    if (length != 570480)
        state.SkipWithError("decode failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * length);
    state.counters["decoded_bytes"] = length;
}
BENCHMARK(BM_DecodeLargestImage)->Unit(benchmark::kMillisecond);

void BM_BuildDataTextOfLargestImage(benchmark::State& state)
{
    const int length = decodeFirmwareImage(largestImage());
    bool ok = false;
    for (auto _ : state) {
        ok = buildDataText(length);
        benchmark::DoNotOptimize(hexTextBuffer);
    }
    if (!ok)
        state.SkipWithError("data text failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * length);
}
BENCHMARK(BM_BuildDataTextOfLargestImage)->Unit(benchmark::kMillisecond);

void BM_DecodeAndBuildDataText(benchmark::State& state)
{
    const FirmwareImage image = largestImage();
    for (auto _ : state) {
        const int length = decodeFirmwareImage(image);
        if (!buildDataText(length))
            state.SkipWithError("decode or data text failed");
        benchmark::DoNotOptimize(hexTextBuffer);
    }
}
BENCHMARK(BM_DecodeAndBuildDataText)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

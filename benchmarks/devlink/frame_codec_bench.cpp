// Cost of framing one command into its output report and of decoding one typical reply.
#include "devlink/frame_codec.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

void BM_EncodeCommandWithArgsIntoReport(benchmark::State& state)
{
    uint8_t body[kCommandWithArgsBodyLength];
    uint8_t frame[kOutputReportSize - 1];
    uint8_t report[kOutputReportSize];
    uint32_t length = 100000;
    for (auto _ : state) {
        commandWithArgsBody(0x0E, 0x1234, length++, body);
        const size_t n = encodeFrame(body, sizeof body, frame, sizeof frame);
        packReport(frame, n, report);
        benchmark::DoNotOptimize(report);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeCommandWithArgsIntoReport);

void BM_DecodeDeviceInfoReply(benchmark::State& state)
{
    // A device-information echo: code, seven payload bytes, CRC, in a 64-byte input report.
    const uint8_t reply[] = { 0x06, 0x0C, 0x00, 0x05, 0x00, 0x02, 0x1D, 0x00 };
    uint8_t frame[64];
    const size_t n = encodeFrame(reply, sizeof reply, frame, sizeof frame);
    uint8_t report[kInputReportSize];
    std::memset(report, 0x00, sizeof report);
    std::memcpy(report, frame, n);
    uint8_t decoded[kReplyBufferSize];
    for (auto _ : state) {
        const DecodedFrame d = decodeFrame(report, sizeof report, decoded);
        benchmark::DoNotOptimize(d);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof report));
}
BENCHMARK(BM_DecodeDeviceInfoReply);

} // namespace

BENCHMARK_MAIN();

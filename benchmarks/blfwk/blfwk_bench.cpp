// Costs on the host side of a firmware write: one logged byte-trace piece, one traced report,
// and the whole largest image written over the virtual bus to the simulator at filter level 7,
// as the updater runs it (one write-memory with the image as hexadecimal data text).
#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/logger.h"
#include "blfwk/usb_hid_peripheral.h"

#include "platform/hid.h"
#include "platform/virtual_bus.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long g_calls = 0;
void countCall(const char*)
{
    ++g_calls;
}

struct CountingLogger {
    blfwk::FileLogger logger { "bootloader.log" };
    blfwk::Logger* previous = blfwk::Log::getLogger();
    CountingLogger()
    {
        logger.setFilterLevel(blfwk::Logger::Trace);
        blfwk::FileLogger::setOutputFunction(countCall);
        blfwk::Log::setLogger(&logger);
    }
    ~CountingLogger()
    {
        blfwk::Log::setLogger(previous);
        blfwk::FileLogger::setOutputFunction(nullptr);
    }
};

void BM_TracePiece(benchmark::State& state)
{
    CountingLogger counting;
    g_calls = 0;
    unsigned byte = 0;
    for (auto _ : state)
        blfwk::Log::trace("%02x", (byte++) & 0xFF);
    benchmark::DoNotOptimize(g_calls);
    state.counters["log_calls"] = double(g_calls);
}
BENCHMARK(BM_TracePiece);

// A device that takes every report at once: what is left is the trace and the call path.
class NullHid : public platform::HidService {
public:
    platform::HidDevice* open(uint16_t, uint16_t) override
    {
        return reinterpret_cast<platform::HidDevice*>(1);
    }
    int read(platform::HidDevice*, uint8_t*, size_t, int) override { return 0; }
    int write(platform::HidDevice*, const uint8_t*, size_t length, int) override { return int(length); }
    std::wstring lastError(platform::HidDevice*) override { return {}; }
    void close(platform::HidDevice*) override { }
    void shutdown() override { }
};

void BM_TracedReportWrite(benchmark::State& state)
{
    NullHid hid;
    platform::setHidService(&hid);
    CountingLogger counting;
    {
        blfwk::UsbHidPeripheral peripheral(0x2b29, 0x0b);
        uint8_t report[36] = { 2, 0, 32, 0 };
        g_calls = 0;
        for (auto _ : state)
            peripheral.write(report, sizeof report, 5000);
        state.counters["log_calls_per_report"] = double(g_calls) / double(state.iterations());
    }
    platform::setHidService(nullptr);
}
BENCHMARK(BM_TracedReportWrite);

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The simulator runs as its own process, so the CPU time measured here is the host's alone.
pid_t startSimulator(const std::string& socket)
{
    ::unlink(socket.c_str());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(TARVEL_DEVSIM_PROGRAM, TARVEL_DEVSIM_PROGRAM, "--socket", socket.c_str(), "--model", "11",
            "--face", "bootloader", "--time-scale", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct stat st { };
    for (int i = 0; i < 200 && ::stat(socket.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return pid;
}

void BM_WriteLargestImageOverTheBus(benchmark::State& state)
{
    constexpr uint32_t kImageSize = 570480;
    const std::string socket = "/tmp/blfwk-bench-" + std::to_string(::getpid()) + ".sock";
    const pid_t simulator = startSimulator(socket);
    platform::selectVirtualBus(socket);

    std::string text = "{{";
    text.reserve(2 * kImageSize + 4);
    for (uint32_t i = 0; i < kImageSize; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", (i * 31 + 7) & 0xFF);
        text += hex;
    }
    text += "}}";

    blfwk::PeripheralConfig config;
    config.peripheralKind = blfwk::PeripheralConfig::PeripheralUsbHid;
    config.usbVendorId = 0x2B29;
    config.usbProductId = 11;
    config.packetTimeoutMs = 5000;
    config.baudRate = 0;
    config.pingOnOpen = false;

    CountingLogger counting;
    uint32_t status = 1;
    double seconds = 0, cpu = 0;
    for (auto _ : state) {
        {
            auto erase = blfwk::Command::create({ "flash-erase-region", "0xa000", "0x8c000" });
            blfwk::Bootloader connection(config);
            connection.inject(*erase);
        }
        g_calls = 0;
        const double cpuStart = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        auto write = blfwk::Command::create({ "write-memory", "0xa000", text });
        {
            blfwk::Bootloader connection(config);
            connection.inject(*write);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu = cpuSeconds() - cpuStart;
        status = write->responseValues()->empty() ? 1 : (*write->responseValues())[0];
    }
    state.counters["seconds"] = seconds;
    state.counters["log_calls"] = double(g_calls);
    state.counters["host_cpu_s"] = cpu;
    state.counters["status"] = status;
    // A full-speed link carries about one report per millisecond.
    state.counters["host_cpu_us_per_report"] = cpu * 1e6 / ((kImageSize + 31) / 32 + 3);
    if (status != 0)
        state.SkipWithError("write-memory failed");

    platform::selectVirtualBus("");
    ::kill(simulator, SIGTERM);
    ::waitpid(simulator, nullptr, 0);
}
BENCHMARK(BM_WriteLargestImageOverTheBus)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

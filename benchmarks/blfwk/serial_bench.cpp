// The largest firmware image written and read back over a UART line at 115200 baud: the
// simulator (its own process, so the CPU measured here is the host's alone) serves its
// bootloader face on a pseudo-terminal paced at the line's rate. Prints the bytes per second
// each way and the host's CPU time per byte.
#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/logger.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t kImageSize = 570480; // the largest image the updater carries
constexpr int kBaud = 115200;

class QuietLogger : public blfwk::Logger {
public:
    void output(const char*) override { }
};

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

pid_t startSimulator(const std::string& dir)
{
    const std::string link = dir + "/tty";
    const std::string socket = dir + "/bus.sock";
    const std::string baud = std::to_string(kBaud);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(TARVEL_DEVSIM_PROGRAM, TARVEL_DEVSIM_PROGRAM, "--socket", socket.c_str(), "--serial",
            link.c_str(), "--serial-baud", baud.c_str(), "--face", "bootloader", "--time-scale", "0",
            static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct stat st { };
    for (int i = 0; i < 200 && ::stat(link.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return pid;
}

struct Timed {
    double seconds = 0;
    double cpu = 0;
    uint32_t status = 1;
};

Timed runCommand(const blfwk::PeripheralConfig& config, const std::vector<std::string>& args)
{
    Timed t;
    auto command = blfwk::Command::create(args);
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    {
        blfwk::Bootloader connection(config);
        connection.inject(*command);
    }
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.cpu = cpuSeconds() - cpuStart;
    const auto* values = command->responseValues();
    t.status = values->empty() ? 1 : (*values)[0];
    return t;
}

void BM_LargestImageOverUart115200(benchmark::State& state)
{
    char dirTemplate[] = "/tmp/blfwk-serial-bench-XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string dir = dirTemplate;
    const pid_t simulator = startSimulator(dir);
    const std::string image = dir + "/image.bin";
    const std::string back = dir + "/back.bin";
    std::string bytes(kImageSize, '\0');
    for (uint32_t i = 0; i < kImageSize; ++i)
        bytes[i] = char((i * 31 + 7) & 0xFF);
    std::ofstream(image, std::ios::binary) << bytes;

    blfwk::PeripheralConfig config;
    config.peripheralKind = blfwk::PeripheralConfig::PeripheralUart;
    config.portName = dir + "/tty";
    config.baudRate = kBaud;
    config.packetTimeoutMs = 5000;
    config.pingOnOpen = true;

    QuietLogger logger;
    logger.setFilterLevel(blfwk::Logger::Warning);
    blfwk::Logger* previous = blfwk::Log::getLogger();
    blfwk::Log::setLogger(&logger);
    Timed write, read;
    bool same = false;
    for (auto _ : state) {
        const Timed erase = runCommand(config, { "flash-erase-region", "0xa000", "0x8c000" });
        if (erase.status != 0)
            break;
        write = runCommand(config, { "write-memory", "0xa000", image });
        read = runCommand(config, { "read-memory", "0xa000", std::to_string(kImageSize), back });
        std::ifstream in(back, std::ios::binary);
        same = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) == bytes;
    }
    blfwk::Log::setLogger(previous);
    state.counters["write_s"] = write.seconds;
    state.counters["write_bytes_per_s"] = kImageSize / write.seconds;
    state.counters["write_host_cpu_ns_per_byte"] = write.cpu * 1e9 / kImageSize;
    state.counters["read_s"] = read.seconds;
    state.counters["read_bytes_per_s"] = kImageSize / read.seconds;
    state.counters["read_host_cpu_ns_per_byte"] = read.cpu * 1e9 / kImageSize;
    state.counters["line_bytes_per_s"] = kBaud / 10.0;
    if (write.status != 0 || read.status != 0 || !same)
        state.SkipWithError("the image did not come back");

    ::kill(simulator, SIGTERM);
    ::waitpid(simulator, nullptr, 0);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LargestImageOverUart115200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

// The largest firmware image written and read back over a UART line at 115200 baud: the
// simulator (its own process, so the CPU measured here is the host's alone) serves its
// bootloader face on a pseudo-terminal paced at the line's rate. Prints the bytes per second
// each way and the host's CPU time per byte, and for the write the framing's limit beside the
// rate reached, with the time of one packet split into the line's own time, the wait for the
// acknowledgement beyond it (the simulator and the pseudo-terminal) and the host's turnaround.
#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/logger.h"
#include "platform/native.h"
#include "platform/serial_port.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
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

constexpr uint32_t kLargestImage = 570480; // the largest image the updater carries

// TARVEL_SERIAL_BENCH_BYTES sets a smaller image for a quick look (a whole run takes minutes).
uint32_t imageSize()
{
    const char* text = std::getenv("TARVEL_SERIAL_BENCH_BYTES");
    const long bytes = text ? std::strtol(text, nullptr, 0) : 0;
    return bytes >= 32 && bytes < long(kLargestImage) ? uint32_t(bytes) & ~31u : kLargestImage;
}
constexpr int kBaud = 115200;
// One data packet of the write: 32 payload bytes in a 38-byte framing packet, answered by a
// 2-byte acknowledgement before the next one goes.
constexpr double kPayload = 32;
constexpr double kFramePlusAck = 38 + 2;
constexpr double kByteSeconds = 10.0 / kBaud; // start, eight data, stop

using Clock = std::chrono::steady_clock;

// The time of each data packet's round: from the end of one write of a whole framing packet
// to the end of the read of its acknowledgement's type byte (the wait), and from there to the
// start of the next write (the host's turnaround).
struct PacketTimes {
    double waitSeconds = 0;
    double turnaroundSeconds = 0;
    long rounds = 0;
    long turnarounds = 0;
    Clock::time_point lastWriteEnd {};
    Clock::time_point lastAck {};
    int readsSinceWrite = -1; // -1: no data packet outstanding
};
PacketTimes g_times;
bool g_timing = false;

class TimedPort : public platform::SerialPort {
public:
    explicit TimedPort(std::unique_ptr<platform::SerialPort> port)
        : m_port(std::move(port))
    { }
    int read(uint8_t* buffer, size_t length, int totalMs, int intervalMs) override
    {
        const int count = m_port->read(buffer, length, totalMs, intervalMs);
        if (g_timing && count == 1 && g_times.readsSinceWrite >= 0 && ++g_times.readsSinceWrite == 2) {
            // Start byte, then the acknowledgement's type: the packet's round is over.
            const auto now = Clock::now();
            g_times.waitSeconds += std::chrono::duration<double>(now - g_times.lastWriteEnd).count();
            ++g_times.rounds;
            g_times.lastAck = now;
            g_times.readsSinceWrite = -1;
        }
        return count;
    }
    int write(const uint8_t* data, size_t length) override
    {
        const auto start = Clock::now();
        const bool dataPacket = length == 38 && data[1] == 0xA5;
        if (g_timing && dataPacket && g_times.lastAck != Clock::time_point {}) {
            g_times.turnaroundSeconds += std::chrono::duration<double>(start - g_times.lastAck).count();
            ++g_times.turnarounds;
        }
        const int written = m_port->write(data, length);
        if (g_timing && dataPacket) {
            g_times.lastWriteEnd = Clock::now();
            g_times.readsSinceWrite = 0;
        }
        g_times.lastAck = {};
        return written;
    }

private:
    std::unique_ptr<platform::SerialPort> m_port;
};

std::unique_ptr<platform::SerialPort> openTimedPort(const std::string& name, int baudRate, std::string* error)
{
    auto port = platform::native::openSerialPort(name, baudRate, error);
    return port ? std::make_unique<TimedPort>(std::move(port)) : nullptr;
}

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
    const uint32_t imageBytes = imageSize();
    const pid_t simulator = startSimulator(dir);
    const std::string image = dir + "/image.bin";
    const std::string back = dir + "/back.bin";
    std::string bytes(imageBytes, '\0');
    for (uint32_t i = 0; i < imageBytes; ++i)
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
    platform::setSerialPortOpener(openTimedPort);
    for (auto _ : state) {
        const Timed erase = runCommand(config, { "flash-erase-region", "0xa000", "0x8c000" });
        if (erase.status != 0)
            break;
        g_times = {};
        g_timing = true;
        write = runCommand(config, { "write-memory", "0xa000", image });
        g_timing = false;
        read = runCommand(config, { "read-memory", "0xa000", std::to_string(imageBytes), back });
        std::ifstream in(back, std::ios::binary);
        same = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) == bytes;
    }
    blfwk::Log::setLogger(previous);
    platform::setSerialPortOpener(nullptr);
    state.counters["write_s"] = write.seconds;
    state.counters["write_bytes_per_s"] = imageBytes / write.seconds;
    state.counters["write_host_cpu_ns_per_byte"] = write.cpu * 1e9 / imageBytes;
    state.counters["read_s"] = read.seconds;
    state.counters["read_bytes_per_s"] = imageBytes / read.seconds;
    state.counters["read_host_cpu_ns_per_byte"] = read.cpu * 1e9 / imageBytes;
    state.counters["line_bytes_per_s"] = kBaud / 10.0;
    // The framing's limit: payload over the line time of a packet and its acknowledgement.
    const double framingLimit = kPayload / (kFramePlusAck * kByteSeconds);
    state.counters["framing_limit_bytes_per_s"] = framingLimit;
    state.counters["write_share_of_framing_limit"] = imageBytes / write.seconds / framingLimit;
    if (g_times.rounds > 0) {
        const double wait = g_times.waitSeconds / double(g_times.rounds);
        state.counters["packet_line_us"] = kFramePlusAck * kByteSeconds * 1e6;
        state.counters["packet_wait_beyond_line_us"] = (wait - kFramePlusAck * kByteSeconds) * 1e6;
        state.counters["packet_host_turnaround_us"]
            = g_times.turnarounds ? g_times.turnaroundSeconds / double(g_times.turnarounds) * 1e6 : 0;
    }
    if (write.status != 0 || read.status != 0 || !same)
        state.SkipWithError("the image did not come back");

    ::kill(simulator, SIGTERM);
    ::waitpid(simulator, nullptr, 0);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LargestImageOverUart115200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

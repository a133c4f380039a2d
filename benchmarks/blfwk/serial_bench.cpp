// The largest firmware image written and read back over a UART line at 115200 baud: the
// simulator (its own process, so the CPU measured here is the host's alone) serves its
// bootloader face on a pseudo-terminal paced at the line's rate. Prints the bytes per second
// each way and the host's CPU time per byte, and for the write the framing's limit beside the
// rate reached, with the time of one packet split into the line's own time, the wait for the
// acknowledgement beyond it (the simulator and the pseudo-terminal), the host's turnaround and
// its write call; the wait split again into what the machine's wake-ups, sampled while the
// write runs, explain and what is left; and the share the write would reach if the machine
// woke on time. A failed run says which step failed.
#include "blfwk/bootloader.h"
#include "blfwk/command.h"
#include "blfwk/logger.h"
#include "platform/native.h"
#include "platform/serial_port.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
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
#include <vector>

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
    double writeCallSeconds = 0; // the data packets' write calls themselves
    long rounds = 0;
    long writes = 0;
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
            g_times.writeCallSeconds += std::chrono::duration<double>(g_times.lastWriteEnd - start).count();
            ++g_times.writes;
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

// The machine's wake-ups under the load of the moment, taken the way the line's two parties
// wake in each packet's round: a thread blocked in poll() on a pseudo-terminal, woken by a
// byte another thread writes (the simulator woken by the host's packet, the host woken by the
// acknowledgement), and a sleep to an absolute deadline with 1 us timer slack (the simulator's
// pacing of its acknowledgement). Means in microseconds, taken on two threads of their own while
// the write runs, so under the load of that moment (they add one wake-up each way per 3.3 ms).
struct WakeUps {
    double pollUs = 0;
    double sleepLateUs = 0;
    int samples = 0;
};

WakeUps measureWakeUps(const std::atomic<bool>& stop)
{
    constexpr int samples = 100000; // at most; it runs until stop
    WakeUps result;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0)
            ::close(master);
        return result;
    }
    char name[128] = {};
    const int slave = ::ptsname_r(master, name, sizeof name) == 0 ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0) {
        ::close(master);
        return result;
    }
    termios tio {};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    // The far end: wakes for each byte, notes when, and answers it.
    std::vector<Clock::time_point> woke(static_cast<size_t>(samples));
    std::thread far([&] {
        uint8_t byte = 0;
        for (int i = 0; i < samples; ++i) {
            pollfd p { slave, POLLIN, 0 };
            if (::poll(&p, 1, 2000) <= 0 || ::read(slave, &byte, 1) != 1)
                return;
            woke[size_t(i)] = Clock::now();
            if (::write(slave, &byte, 1) != 1)
                return;
        }
    });
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    double pollTotal = 0, lateTotal = 0;
    int done = 0;
    for (int i = 0; i < samples && !stop; ++i) {
        // A sleep of about one packet's line time, to its deadline: the far end is asleep in
        // poll by then, as the parties are when a packet or its acknowledgement arrives.
        const auto deadline = Clock::now() + std::chrono::microseconds(3300);
        std::this_thread::sleep_until(deadline);
        const auto sent = Clock::now();
        lateTotal += std::chrono::duration<double>(sent - deadline).count();
        uint8_t byte = uint8_t(i);
        if (::write(master, &byte, 1) != 1)
            break;
        pollfd p { master, POLLIN, 0 };
        if (::poll(&p, 1, 2000) <= 0 || ::read(master, &byte, 1) != 1)
            break;
        const auto back = Clock::now();
        // One wake-up each way.
        pollTotal += std::chrono::duration<double>(woke[size_t(i)] - sent).count()
            + std::chrono::duration<double>(back - woke[size_t(i)]).count();
        ++done;
    }
    ::close(master); // ends the far end's wait
    far.join();
    ::close(slave);
    if (done > 0) {
        result.pollUs = pollTotal / (2.0 * done) * 1e6;
        result.sleepLateUs = lateTotal / done * 1e6;
        result.samples = done;
    }
    return result;
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
    Timed erase, write, read;
    WakeUps wakeUps;
    bool same = false;
    platform::setSerialPortOpener(openTimedPort);
    for (auto _ : state) {
        erase = runCommand(config, { "flash-erase-region", "0xa000", "0x8c000" });
        if (erase.status != 0)
            break;
        std::atomic<bool> written { false };
        std::thread sampler([&] { wakeUps = measureWakeUps(written); });
        g_times = {};
        g_timing = true;
        write = runCommand(config, { "write-memory", "0xa000", image });
        g_timing = false;
        written = true;
        sampler.join();
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
        state.counters["packet_host_write_call_us"]
            = g_times.writes ? g_times.writeCallSeconds / double(g_times.writes) * 1e6 : 0;
        if (wakeUps.samples > 0) {
            // The wait beyond the line holds three wake-ups in a row: the simulator's for the
            // packet, its paced sleep to the acknowledgement's time, the host's for the
            // acknowledgement. What the machine's wake-ups explain of it, and what is left
            // (the simulator's work, the pseudo-terminal, the pacing itself).
            // The samplers' wake-ups can come out longer than the line's own under a heavy,
            // changing load: they then explain the whole wait, and no more.
            const double beyond = (wait - kFramePlusAck * kByteSeconds) * 1e6;
            const double machine = std::min(2 * wakeUps.pollUs + wakeUps.sleepLateUs, std::max(beyond, 0.0));
            state.counters["wakeup_poll_us"] = wakeUps.pollUs;
            state.counters["wakeup_sleep_late_us"] = wakeUps.sleepLateUs;
            state.counters["packet_wait_machine_wakeups_us"] = machine;
            state.counters["packet_wait_rest_us"] = beyond - machine;
            // The share the write would reach on this line if the machine woke on time.
            const double packetSeconds = kPayload * write.seconds / imageBytes;
            const double onTime = packetSeconds - machine / 1e6;
            if (onTime > 0)
                state.counters["write_share_without_machine_wakeups"] = kPayload / onTime / framingLimit;
        }
    }
    if (erase.status != 0 || write.status != 0 || read.status != 0 || !same) {
        const std::string why = "the image did not come back: erase status " + std::to_string(erase.status)
            + ", write status " + std::to_string(write.status) + ", read status " + std::to_string(read.status)
            + (same ? "" : ", read back differs");
        state.SkipWithError(why.c_str());
    }

    ::kill(simulator, SIGTERM);
    ::waitpid(simulator, nullptr, 0);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LargestImageOverUart115200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

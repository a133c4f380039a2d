// tarvel-updater as a program on its simulated device: the wall and CPU time of a whole update
// of the largest image at time scale 0 (goal: 5 s wall at most), with the read-back of the
// written firmware and without it (--no-verify), and the CPU an idle console updater uses
// over 10 s with a device attached (goal: none measurable; nothing polls).

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A private folder for the run's lock, local folders and the simulator's socket.
struct Home {
    std::string path;
    Home()
    {
        char pattern[] = "/tmp/tarvel-updater-bench-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "";
        for (const char* sub : { "run", "state", "data", "tmp" })
            fs::create_directories(path + "/" + sub);
        fs::permissions(path + "/run", fs::perms::owner_all);
    }
    ~Home()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

struct Child {
    pid_t pid = -1;
    int in = -1; // its standard input
    int out = -1; // its standard output
};

Child spawn(const Home& home, const std::vector<std::string>& args,
    const std::string& program = TARVEL_UPDATER_PROGRAM, const std::string& bus = "")
{
    int in[2];
    int out[2];
    Child child;
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return child;
    child.pid = ::fork();
    if (child.pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        std::vector<std::string> env = { "XDG_RUNTIME_DIR=" + home.path + "/run",
            "XDG_STATE_HOME=" + home.path + "/state", "XDG_DATA_HOME=" + home.path + "/data",
            "TMPDIR=" + home.path + "/tmp", "HOME=" + home.path };
        if (!bus.empty())
            env.push_back("TARVEL_VBUS=" + bus);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string path = program;
        std::vector<std::string> copy = args;
        std::vector<char*> argv { path.data() };
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    child.in = in[1];
    child.out = out[0];
    return child;
}

// Reads output lines until one contains every text of wanted (in any order, each once), writing
// reply to the child whenever a line contains ask. False on the end of the output or timeout.
bool readUntil(
    Child& child, std::vector<std::string> wanted, const std::string& ask, const std::string& reply)
{
    std::string buffer;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!wanted.empty() && Clock::now() < deadline) {
        pollfd p { child.out, POLLIN, 0 };
        if (::poll(&p, 1, 1000) <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::read(child.out, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, size_t(n));
        size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
            const std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!ask.empty() && line.find(ask) != std::string::npos)
                (void)!::write(child.in, reply.data(), reply.size());
            for (auto it = wanted.begin(); it != wanted.end();) {
                if (line.find(*it) != std::string::npos)
                    it = wanted.erase(it);
                else
                    ++it;
            }
        }
    }
    return wanted.empty();
}

// User plus system CPU of a running process so far, in milliseconds (from /proc/PID/stat).
double cpuMs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15)
            stime = std::atol(field.c_str());
    }
    return double(utime + stime) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

void WholeUpdateOfLargestImage(benchmark::State& state, bool verify)
{
    double wall = 0;
    double cpu = 0;
    int runs = 0;
    for (auto _ : state) {
        Home home;
        const auto start = Clock::now();
        // Model 11's standard image is the largest the updater carries.
        std::vector<std::string> args = { "--headless", "--auto", "--time-scale=0", "--simulate=model=11,version=7.63" };
        if (!verify)
            args.push_back("--no-verify");
        Child child = spawn(home, args);
        ::close(child.in);
        char sink[4096];
        while (::read(child.out, sink, sizeof sink) > 0) { }
        int status = 0;
        rusage usage {};
        ::wait4(child.pid, &status, 0, &usage);
        ::close(child.out);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the update did not end with status 0");
            return;
        }
        state.SetIterationTime(seconds);
        wall += seconds;
        cpu += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        ++runs;
    }
    state.counters["wall_s"] = wall / runs;
    state.counters["cpu_s"] = cpu / runs;
    state.counters["goal_wall_s"] = 5;
}
BENCHMARK_CAPTURE(WholeUpdateOfLargestImage, verified, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(WholeUpdateOfLargestImage, no_verify, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// The cost of a session recording: the built-in Peak Pro update (rider data, drive reset and
// restore) at time scale 0 without and with --record, in the same run, and the recording's size.
double timedUpdate(Home& home, std::vector<std::string> args, bool& good)
{
    const auto start = Clock::now();
    Child child = spawn(home, args);
    ::close(child.in);
    char sink[4096];
    while (::read(child.out, sink, sizeof sink) > 0) { }
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ::close(child.out);
    good = good && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void PeakProUpdateWithAndWithoutRecording(benchmark::State& state)
{
    double plain = 0, recorded = 0, bytes = 0;
    int runs = 0;
    for (auto _ : state) {
        Home home;
        bool good = true;
        const std::vector<std::string> args = { "--headless", "--auto", "--time-scale=0", "--simulate" };
        plain += timedUpdate(home, args, good);
        std::vector<std::string> recording = args;
        const std::string file = home.path + "/tmp/session.jsonl";
        recording.push_back("--record=" + file);
        const double seconds = timedUpdate(home, recording, good);
        if (!good) {
            state.SkipWithError("an update did not end with status 0");
            return;
        }
        recorded += seconds;
        state.SetIterationTime(seconds);
        std::error_code ec;
        bytes += double(fs::file_size(file, ec));
        ++runs;
    }
    state.counters["wall_plain_s"] = plain / runs;
    state.counters["wall_recorded_s"] = recorded / runs;
    state.counters["recording_bytes"] = bytes / runs;
}
BENCHMARK(PeakProUpdateWithAndWithoutRecording)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Brings an updater to its done screen with an up-to-date device, answers the update alert,
// and measures its CPU over 10 s of idling. Ctrl-C ends it (status 130).
void measureIdle(benchmark::State& state, Child child)
{
    if (!readUntil(child, { "Latest software is installed on device", "\"event\":\"answer\"" },
            "Update Alert", "no\n")) {
        state.SkipWithError("the updater did not reach its done screen");
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, nullptr, 0);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double before = cpuMs(child.pid);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double after = cpuMs(child.pid);
    state.SetIterationTime(10);
    state.counters["idle_cpu_ms_per_10s"] = after - before;
    state.counters["clock_tick_ms"] = 1000.0 / double(::sysconf(_SC_CLK_TCK));
    ::kill(child.pid, SIGINT);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ::close(child.in);
    ::close(child.out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 130)
        state.SkipWithError("Ctrl-C did not end the idle updater with 130");
}

// The updater alone: the device is served by tarvel-devsim in a process of its own on the
// virtual bus (TARVEL_VBUS), so the figure is the updater's own.
void IdleWithDeviceAttached(benchmark::State& state)
{
    for (auto _ : state) {
        Home home;
        const std::string bus = home.path + "/bus.sock";
        Child device = spawn(home,
            { "--socket", bus, "--model", "11", "--version", "14.51", "--drive-dir", home.path + "/drive",
                "--time-scale", "0" },
            TARVEL_DEVSIM_PROGRAM);
        for (int i = 0; i < 200 && !fs::exists(bus); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        measureIdle(state, spawn(home, { "--json", "--time-scale=0" }, TARVEL_UPDATER_PROGRAM, bus));
        ::kill(device.pid, SIGTERM);
        ::waitpid(device.pid, nullptr, 0);
        ::close(device.in);
        ::close(device.out);
    }
}
BENCHMARK(IdleWithDeviceAttached)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

// The same with --simulate: the process then also holds the simulator, whose bus server
// wakes every 100 ms to look for its stop flag; the figure includes that.
void IdleWithSimulatedDeviceInProcess(benchmark::State& state)
{
    for (auto _ : state) {
        Home home;
        measureIdle(state, spawn(home, { "--json", "--time-scale=0", "--simulate=model=11,version=14.51" }));
    }
}
BENCHMARK(IdleWithSimulatedDeviceInProcess)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();

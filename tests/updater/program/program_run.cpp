#include "program_run.h"

#include <json/reader.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

ProgramRun::ProgramRun(const std::string& home, const std::vector<std::string>& args,
    const std::vector<std::string>& extraEnv, const std::string& programPath)
{
    std::signal(SIGPIPE, SIG_IGN);
    for (const char* sub : { "run", "state", "data", "tmp" })
        fs::create_directories(home + "/" + sub);
    fs::permissions(home + "/run", fs::perms::owner_all);
    m_errPath = home + "/stderr-" + std::to_string(::getpid()) + "-" + std::to_string(rand()) + ".txt";

    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> env = { "XDG_RUNTIME_DIR=" + home + "/run", "XDG_STATE_HOME=" + home + "/state",
        "XDG_DATA_HOME=" + home + "/data", "TMPDIR=" + home + "/tmp", "HOME=" + home, "PATH=/usr/bin:/bin" };
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    // A sanitizer build's options reach the program as they reach the test.
    for (const char* name : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS" })
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        int err = ::open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        // The test may run with these signals blocked or ignored; the program starts clean.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::signal(SIGINT, SIG_DFL);
        std::vector<char*> argv;
        std::string program = programPath;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_in = in[1];
    m_out = out[0];
}

ProgramRun::~ProgramRun()
{
    if (m_status < 0 && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status;
        ::waitpid(m_pid, &status, 0);
    }
    closeInput();
    if (m_out >= 0)
        ::close(m_out);
}

void ProgramRun::write(const std::string& text)
{
    // A program that has already ended reads nothing more; that is for the test to notice.
    if (m_in >= 0 && !text.empty() && ::write(m_in, text.data(), text.size()) < 0)
        closeInput();
}

void ProgramRun::closeInput()
{
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

void ProgramRun::signal(int sig)
{
    ::kill(m_pid, sig);
}

bool ProgramRun::fill(std::chrono::steady_clock::time_point deadline)
{
    if (m_eof)
        return false;
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    pollfd p { m_out, POLLIN, 0 };
    if (::poll(&p, 1, int(left.count())) <= 0)
        return false;
    char buffer[4096];
    const ssize_t n = ::read(m_out, buffer, sizeof buffer);
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_buffer.append(buffer, size_t(n));
    m_output.append(buffer, size_t(n));
    return true;
}

bool ProgramRun::readLine(std::string& line, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return true;
        }
        if (!fill(deadline))
            return false;
    }
}

bool ProgramRun::nextEvent(Json::Value& event, std::chrono::milliseconds timeout)
{
    std::string line;
    if (!readLine(line, timeout))
        return false;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    event = Json::Value();
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &event, &errors)) << line;
    return true;
}

int ProgramRun::finish(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_eof && std::chrono::steady_clock::now() < deadline)
        fill(deadline);
    if (!m_eof) {
        ::kill(m_pid, SIGKILL);
        int status;
        ::waitpid(m_pid, &status, 0);
        m_status = 0;
        return -1;
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

std::string ProgramRun::errorOutput() const
{
    std::ifstream in(m_errPath);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

ProgramResult runProgram(
    const std::string& home, const std::vector<std::string>& args, const std::string& input)
{
    ProgramRun run(home, args);
    run.write(input);
    run.closeInput();
    ProgramResult result;
    result.status = run.finish();
    result.out = run.output();
    result.err = run.errorOutput();
    return result;
}

std::vector<Json::Value> jsonEvents(const std::string& output)
{
    std::vector<Json::Value> events;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        Json::Value event;
        std::string errors;
        EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &event, &errors)) << line;
        events.push_back(event);
    }
    return events;
}

std::string busRequest(const std::string& socketPath, const std::string& request)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = request + "\n";
        if (::write(fd, line.data(), line.size()) == ssize_t(line.size())) {
            char c;
            while (::read(fd, &c, 1) == 1 && c != '\n')
                response.push_back(c);
        }
    }
    ::close(fd);
    return response;
}

std::unique_ptr<ProgramRun> startDevice(const std::string& home, const std::vector<std::string>& options)
{
    const std::string bus = home + "bus.sock";
    std::vector<std::string> args = { "--socket", bus, "--drive-dir", home + "drive" };
    args.insert(args.end(), options.begin(), options.end());
    auto device = std::make_unique<ProgramRun>(home, args, std::vector<std::string> {}, TARVEL_DEVSIM_PROGRAM);
    EXPECT_TRUE(waitForBus(bus)) << "the simulator never answered on " << bus;
    return device;
}

bool waitForBus(const std::string& socketPath, std::chrono::seconds limit)
{
    // The socket file appears at bind, before the simulator listens, and a sanitizer build
    // under load can take seconds to get there: ready means a connection is taken.
    const auto end = std::chrono::steady_clock::now() + limit;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    do {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool taken = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (taken)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

#include "platform/process.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {
sigset_t interruptSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}
} // namespace

void prepareInterrupts()
{
    const sigset_t signals = interruptSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void watchInterrupts(std::function<void(int signal)> handler)
{
    std::thread([handler = std::move(handler)] {
        const sigset_t signals = interruptSignals();
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            return;
        handler(signal);
    }).detach();
}

bool isTerminal(FILE* stream)
{
    return stream && ::isatty(fileno(stream)) != 0;
}

void setEnvironment(const std::string& name, const std::string& value)
{
    ::setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name)
{
    ::unsetenv(name.c_str());
}

void endProcessNow(int status)
{
    ::_exit(status);
}

void waitForever()
{
    for (;;)
        ::pause();
}

} // namespace platform

#include "shell.h"

#include <atomic>
#include <thread>

namespace {
std::atomic<int> g_running { 0 };
} // namespace

void startWorker(void (*body)())
{
    ++g_running; // counted before the thread exists, so no moment shows none running
    std::thread([body] {
        body();
        --g_running;
    }).detach();
}

int runningWorkers()
{
    return g_running.load();
}

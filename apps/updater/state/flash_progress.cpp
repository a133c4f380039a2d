#include "flash_progress.h"

#include "app_callbacks.h"
#include "shared_state.h"

#include "blfwk/logger.h"

void flashProgressOutput(const char*)
{
    // A single-thread counter (one framework user at a time): a plain load and store.
    const int32_t count = flashLogCount.load(std::memory_order_relaxed) + 1;
    flashLogCount.store(count, std::memory_order_relaxed);

    StatusFn status = appCallbacks.status.load(std::memory_order_relaxed);
    if (!status)
        return;
    // The percentages are reached once per run of the program; the first compare rules out
    // nearly every call.
    if (count < 182000 || count > 546000)
        return;
    const bool reverse = isSet(reverseUpgrade);
    if (count == 182000)
        status(0, nullptr, reverse ? "Flashing\n25% done" : "Step 3 of 3\n25% done");
    else if (count == 364000)
        status(0, nullptr, reverse ? "Flashing\n50% done" : "Step 3 of 3\n50% done");
    else if (count == 546000)
        status(0, nullptr, reverse ? "Flashing\n75% done" : "Step 3 of 3\n75% done");
}

void installFlashProgressCounter() { blfwk::FileLogger::setOutputFunction(flashProgressOutput); }

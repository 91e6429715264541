#include "loop_harness.h"

#include <event2/event.h>

#include <thread>

namespace e2e
{

bool run_loop_until(event_base *base, const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        event_base_loop(base, EVLOOP_NONBLOCK);
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

}  // namespace e2e

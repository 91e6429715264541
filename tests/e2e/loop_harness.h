// For tests that run the daemon's start-up in their own process: serve its event loop while
// waiting for something to happen.
#pragma once

#include <chrono>
#include <functional>

#include "sandbox.h"

struct event_base;

namespace e2e
{

// Runs the loop without blocking, every 2 ms, until pred holds (true) or the time is up (false).
bool run_loop_until(event_base *base, const std::function<bool()> &pred, std::chrono::milliseconds timeout = kWait);

}  // namespace e2e

// The timer service's clock moved by hand, for tests of what happens at which time: installed
// while a HandClock lives, at `start_ms`; each reading may move it on by `step_ms`.
#pragma once

#include <ctime>

#include "common/timer.h"

class HandClock
{
public:
    explicit HandClock(uint64_t start_ms = 1000000)
    {
        ms_ = start_ms;
        step_ms = 0;
        timer_set_clock(read);
    }
    ~HandClock() { timer_set_clock(nullptr); }
    HandClock(const HandClock &) = delete;
    HandClock &operator=(const HandClock &) = delete;

    static void advance(uint64_t ms) { ms_ += ms; }
    static inline uint64_t step_ms = 0;

private:
    static void read(timespec *out)
    {
        *out = {static_cast<time_t>(ms_ / 1000), static_cast<long>(ms_ % 1000 * 1000000)};
        ms_ += step_ms;
    }
    static inline uint64_t ms_ = 0;
};

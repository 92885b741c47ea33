// The monotonic clock in milliseconds, for deadlines that a change of the
// wall clock must not move.
#pragma once

#include <ctime>

inline long long MonotonicMillis()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

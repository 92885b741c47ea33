// The library's clock and elapsed-time helper.
#include "sio.h"

SioTimeProc gSIOTimeProc = nullptr;

// The server points gSIOTimeProc at its cached clock so that the time-limit loops do not
// make a system call per pass.
time_t SIOTime(time_t *tp)
{
    if (gSIOTimeProc != nullptr)
        return gSIOTimeProc(tp);
    return time(tp);
}

double Duration(const struct timeval *start)
{
    struct timeval now {};
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec - start->tv_sec) +
           static_cast<double>(now.tv_usec - start->tv_usec) / 1000000.0;
}

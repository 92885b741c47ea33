// TEMPORARY stand-in for the shared status area: each process keeps its
// status slot in its own memory, and the clock is the system's.
#include <ctime>

#include "standin.h"

namespace {
StatusSlot gPrivateSlot;
}

StatusSlot *gRUserPtr = &gPrivateSlot;

time_t CachedTime(time_t *tp)
{
    return time(tp);
}

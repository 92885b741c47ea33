// POSIX record locks: 4-byte words (bucket slots, chain links, the end
// marker) and the whole file.  Requests wait for the lock, without limit or,
// when the handle says so, for a bounded time.
#include "ormel_int.h"

#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace {

bool ValidType(int type) { return type == kOrmelReadLock || type == kOrmelWriteLock || type == kOrmelUnlock; }

// In nanoseconds: whole milliseconds would let a wait end up to one short.
int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// A bounded wait tries without waiting and sleeps in between, a little longer
// each time; no timer or signal is involved, so the caller's handlers stay
// as they are.  A signal only shortens a pause.
int SetLockBounded(int fd, struct flock *fl, int waitMs)
{
    constexpr int64_t kMs = 1000000;
    const int64_t deadline = MonotonicNs() + waitMs * kMs;
    for (int64_t pauseMs = 1;; pauseMs = std::min<int64_t>(pauseMs * 2, kOrmelLockRetryMaxMs)) {
        if (fcntl(fd, F_SETLK, fl) == 0)
            return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return kOrmelErrLock;
        const int64_t left = deadline - MonotonicNs();
        if (left <= 0)
            return kOrmelErrLock;
        const int64_t ns = std::min(pauseMs * kMs, left);
        const timespec pause = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        nanosleep(&pause, nullptr);
    }
}

int Fcntl(const OrmelHandle *h, int type, uint32_t offset, uint32_t len)
{
    struct flock fl = {};
    fl.l_type = type == kOrmelReadLock ? F_RDLCK : type == kOrmelWriteLock ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = len;
    if (type != kOrmelUnlock && h->lockWaitMs > 0)
        return SetLockBounded(h->fd, &fl, h->lockWaitMs);
    return fcntl(h->fd, F_SETLKW, &fl) == 0 ? 0 : kOrmelErrLock;
}

} // namespace

int OrmelLock(OrmelHandle *h, int type, uint32_t offset, uint32_t len)
{
    if (!h->lockingEnabled)
        return 0;
    return Fcntl(h, type, offset, len);
}

void Ormel_SetLockWait(OrmelHandle *h, int ms)
{
    if (OrmelIsOpen(h))
        h->lockWaitMs = std::max(ms, 0);
}

int Ormel_LockInt(OrmelHandle *h, int type, uint32_t offset)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (!ValidType(type))
        return kOrmelErrParam;
    return OrmelLock(h, type, offset, 4);
}

int Ormel_LockFile(OrmelHandle *h, int type)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (!ValidType(type))
        return kOrmelErrParam;
    return OrmelLock(h, type, 0, 0);
}

// A whole-file lock excludes every other process, so the per-record locks
// are switched off while it is held (unlocking a word inside it would punch a
// hole into it).  Asking again while holding it changes the lock's type.
int Ormel_ExclusiveLock(OrmelHandle *h, int type)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (type == kOrmelReadLock || type == kOrmelWriteLock) {
        if (Fcntl(h, type, 0, 0) != 0)
            return kOrmelErrLock;
        if (h->wholeFileLock == 0)
            h->savedLockingEnabled = h->lockingEnabled;
        h->wholeFileLock = type;
        h->lockingEnabled = 0;
        return 0;
    }
    if (type != kOrmelUnlock)
        return kOrmelErrParam;
    if (h->wholeFileLock == 0)
        return 0;
    h->lockingEnabled = h->savedLockingEnabled;
    h->wholeFileLock = 0;
    return Fcntl(h, kOrmelUnlock, 0, 0);
}

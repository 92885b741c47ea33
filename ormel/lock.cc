// POSIX record locks: 4-byte words (bucket slots, chain links, the end
// marker) and the whole file.  Requests wait for the lock.
#include "ormel_int.h"

#include <fcntl.h>

namespace {

bool ValidType(int type) { return type == kOrmelReadLock || type == kOrmelWriteLock || type == kOrmelUnlock; }

int Fcntl(int fd, int type, uint32_t offset, uint32_t len)
{
    struct flock fl = {};
    fl.l_type = type == kOrmelReadLock ? F_RDLCK : type == kOrmelWriteLock ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = len;
    return fcntl(fd, F_SETLKW, &fl) == 0 ? 0 : kOrmelErrLock;
}

} // namespace

int OrmelLock(OrmelHandle *h, int type, uint32_t offset, uint32_t len)
{
    if (!h->lockingEnabled)
        return 0;
    return Fcntl(h->fd, type, offset, len);
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
        if (Fcntl(h->fd, type, 0, 0) != 0)
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
    return Fcntl(h->fd, kOrmelUnlock, 0, 0);
}

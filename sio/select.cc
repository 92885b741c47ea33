// Select sets of up to 65,536 descriptors.  The C library's fd_set and its FD_ macros stop
// at 1,024 (and abort beyond that when fortified), so the bits are kept here in the
// kernel's layout and handed to select() directly.
#include "sio.h"

#include <cerrno>
#include <cstring>

#include <sys/select.h>

constexpr int kBitsPerWord = 8 * sizeof(unsigned long);

static bool InRange(int fd)
{
    return fd >= 0 && fd < kSioSelectSetBits;
}

static unsigned long Bit(int fd)
{
    return 1UL << (fd % kBitsPerWord);
}

// A negative limit is taken as 0: select would refuse it.
void SelectSetInit(SelectSet *ss, double t)
{
    memset(ss, 0, sizeof(*ss));
    if (t < 0.0)
        t = 0.0;
    ss->timeout.tv_sec = static_cast<time_t>(t);
    ss->timeout.tv_usec = static_cast<suseconds_t>((t - static_cast<double>(ss->timeout.tv_sec)) * 1000000.0);
}

// numfds counts additions, also of a descriptor already in the set.
void SelectSetAdd(SelectSet *ss, int fd)
{
    if (!InRange(fd))
        return;
    ss->fds[fd / kBitsPerWord] |= Bit(fd);
    if (ss->maxfd < fd + 1)
        ss->maxfd = fd + 1;
    ss->numfds++;
}

// maxfd stays: the next select merely looks at a few more bits.
void SelectSetRemove(SelectSet *ss, int fd)
{
    if (!InRange(fd) || (ss->fds[fd / kBitsPerWord] & Bit(fd)) == 0)
        return;
    ss->fds[fd / kBitsPerWord] &= ~Bit(fd);
    ss->numfds--;
}

int SelectSetIsSet(const SelectSet *ss, int fd)
{
    return InRange(fd) && (ss->fds[fd / kBitsPerWord] & Bit(fd)) != 0;
}

// select() changes the bits and the time left, so both come from a fresh copy each time.
static int Select(const SelectSet *ss, SelectSet *work, bool forWriting)
{
    for (;;) {
        memcpy(work, ss, sizeof(*work));
        fd_set *bits = reinterpret_cast<fd_set *>(work->fds);
        const int result = forWriting ? select(work->maxfd, nullptr, bits, nullptr, &work->timeout)
                                      : select(work->maxfd, bits, nullptr, nullptr, &work->timeout);
        if (result >= 0 || errno != EINTR)
            return result;
        errno = 0;
    }
}

int SelectR(const SelectSet *ss, SelectSet *work)
{
    return Select(ss, work, false);
}

int SelectW(const SelectSet *ss, SelectSet *work)
{
    return Select(ss, work, true);
}

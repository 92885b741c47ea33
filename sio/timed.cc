// Timed transfers: SRead, SRecv, SWrite, SSend, and the untimed pipe calls PRead and
// PWrite, all on one skeleton.  The time limit is an alarm for the seconds left before the
// deadline; SIOHandler jumps back to the jump point recorded here when it fires, or when
// SIGPIPE arrives, and the count moved so far survives the jump in a volatile.
#include "sio.h"
#include "callsignals.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

#include <sys/socket.h>

namespace {

enum class Op { kRead, kRecv, kWrite, kSend };

struct Transfer {
    Op op;
    int fd;
    char *buf;
    size_t size;
    int flags;  // recv/send flags
    int tlen;   // seconds allowed in total
    int retry;  // completion rule of reads
    bool timed; // false for pipes: no alarm, no deadline
};

bool IsRead(Op op)
{
    return op == Op::kRead || op == Op::kRecv;
}

ssize_t OneCall(const Transfer &t, size_t done)
{
    char *p = t.buf + done;
    const size_t n = t.size - done;
    switch (t.op) {
    case Op::kRead:
        return read(t.fd, p, n);
    case Op::kRecv:
        return recv(t.fd, p, n, t.flags);
    case Op::kWrite:
        return write(t.fd, p, n);
    case Op::kSend:
        return send(t.fd, p, n, t.flags);
    }
    return -1;
}

// The loop of one transfer, entered with gSioCanJmp set; *done is kept up to date for a
// jump out of any system call.
int TransferLoop(const Transfer &t, volatile size_t *done)
{
    if (t.size == 0)  // a write of nothing would never make progress
        return 0;
    const bool isRead = IsRead(t.op);
    const time_t deadline = t.timed ? SIOTime(nullptr) + t.tlen : 0;
    for (;;) {
        if (t.timed) {
            const time_t now = SIOTime(nullptr);
            const time_t left = deadline > now ? deadline - now : 0;
            if (left < 1)
                return SioTimeoutResult(*done, !(isRead && t.retry == kSioWholeSize));
            alarm(static_cast<unsigned>(left));
        }
        const ssize_t n = OneCall(t, *done);
        if (t.timed)
            alarm(0);
        if (n > 0) {
            *done = *done + static_cast<size_t>(n);
            if (*done == t.size || (isRead && t.retry == kSioReturnAtOnce))
                return static_cast<int>(*done);
            continue;
        }
        if (n == 0 && isRead)
            return t.retry == kSioWholeSizeOrEof ? static_cast<int>(*done) : 0;
        if (n == 0 || errno == EINTR) {  // interrupted: nothing moved, go on
            errno = 0;
            continue;
        }
        return *done > 0 ? static_cast<int>(*done) : kSioErrSystem;
    }
}

int RunTransfer(const Transfer &t)
{
    SioCallSignals signals(t.timed, kSioPipeCatch);
    volatile size_t done = 0;

    if (sigsetjmp(gSioJmp, 1) != 0) {
        if (t.timed)
            alarm(0);
        gSioCanJmp = 0;
        return SioJumpResult(done, !IsRead(t.op) || t.retry == kSioReturnAtOnce);
    }
    gSioGotSig = 0;
    gSioCanJmp = 1;
    errno = 0;
    const int result = TransferLoop(t, &done);
    gSioCanJmp = 0;
    return result;
}

}  // namespace

int SRead(int fd, void *buf, size_t size, int tlen, int retry)
{
    return RunTransfer({Op::kRead, fd, static_cast<char *>(buf), size, 0, tlen, retry, true});
}

int SRecv(int fd, void *buf, size_t size, int flags, int tlen, int retry)
{
    return RunTransfer({Op::kRecv, fd, static_cast<char *>(buf), size, flags, tlen, retry, true});
}

// The write calls share the read skeleton; their buffer is only ever read.
// Most writes to a socket fit its buffer: tried first without blocking, they
// need neither the alarm nor the jump point (three system calls fewer).  What
// does not go at once (a full buffer, an error, not a socket) takes the timed
// path, which reports errors as before.
int SWrite(int fd, const void *buf, size_t size, int tlen)
{
    char *p = static_cast<char *>(const_cast<void *>(buf));
    if (size > 0 && size <= static_cast<size_t>(INT_MAX)) {
        const ssize_t n = send(fd, p, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(size))
            return static_cast<int>(n);
        if (n > 0) {
            const int rest = RunTransfer({Op::kWrite, fd, p + n, size - static_cast<size_t>(n), 0, tlen, 0, true});
            return rest < 0 ? static_cast<int>(n) : static_cast<int>(n) + rest;
        }
    }
    return RunTransfer({Op::kWrite, fd, p, size, 0, tlen, 0, true});
}

int SSend(int fd, const void *buf, size_t size, int flags, int tlen)
{
    char *p = static_cast<char *>(const_cast<void *>(buf));
    return RunTransfer({Op::kSend, fd, p, size, flags, tlen, 0, true});
}

// Pipes: any non-zero retry reads until size bytes or end of file.
int PRead(int fd, void *buf, size_t size, int retry)
{
    const int rule = retry == kSioReturnAtOnce ? kSioReturnAtOnce : kSioWholeSizeOrEof;
    return RunTransfer({Op::kRead, fd, static_cast<char *>(buf), size, 0, 0, rule, false});
}

int PWrite(int fd, const void *buf, size_t size)
{
    char *p = static_cast<char *>(const_cast<void *>(buf));
    return RunTransfer({Op::kWrite, fd, p, size, 0, 0, 0, false});
}

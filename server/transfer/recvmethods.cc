// The receivers of uploads: the data connection is read block by block and
// written into the file, as it comes (RegStore) or with TYPE A line ends
// converted (RegAsciiStore1_2, RegAsciiStore3); quota, bandwidth limit and
// the client's interrupt are kept between blocks.  Each wait for data is
// limited by the socket's own receive time-out ("xfer-timeout").
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>

#include "transfer/asciiconv.h"
#include "config/config.h"
#include "log/log.h"
#include "base/exit.h"
#include "base/process.h"
#include "quota/quota.h"
#include "transfer/sendmethods.h"
#include "session/shell.h"
#include "status/shm.h"
#include "tls/tls.h"
#include "transfer/tlsdata.h"
#include "sio.h"
#include "transfer/stor.h"
#include "transfer/xferlog.h"
#include "transfer/xfersignals.h"

namespace {

// One read of the data connection, written with one call.  Spliced through a
// pipe instead, an upload on loopback went half as fast, and its copy from
// the pipe into the page cache at times took seconds of CPU per GiB.  Under
// TLS a read takes every record already read ahead.
constexpr size_t kRecvBlock = 256 * 1024;
// The most one step of an upload under a hard byte limit reads.
constexpr int64_t kQuotaStep = 64 * 1024;
constexpr size_t kProgramMagicSize = 10;      // enough for every beginning LooksLikeProgram knows
constexpr size_t kAsciiStaging = 4096;

char gRecvBuf[kRecvBlock];

// How a receiving loop ended.  The caller replies, after the loop's signal
// handler is gone, because a failed reply ends the session.
enum class RecvEnd { kDone, kCanceled, kTimedOut, kDropped, kReadError, kWriteError, kQuota };

bool ClientDropped(int err)
{
    return err == EPIPE || err == ECONNRESET;
}

// The transfer time-out of each read, kept by the socket itself so that a
// block costs no more than its read and its write.
void SetReadTimeout(int seconds)
{
    struct timeval tv {};
    tv.tv_sec = seconds;
    setsockopt(gData, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// Writes every byte to the file; the count, or -1 with errno.
ssize_t WriteAll(int fd, const char *p, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(done);
}

// Writes to the file; kWriteError with *err set unless every byte went.
RecvEnd WriteOut(int fd, const char *p, size_t n, int *err)
{
    if (n == 0)
        return RecvEnd::kDone;
    errno = 0;
    const ssize_t w = WriteAll(fd, p, n);
    if (w > 0)
        gUploadWritten += w;
    if (w != static_cast<ssize_t>(n)) {
        *err = errno != 0 ? errno : ENOSPC;
        return RecvEnd::kWriteError;
    }
    return RecvEnd::kDone;
}

// The TYPE A staging: converted bytes collect in 4,096-byte blocks.
struct Staging {
    AsciiState st {};
    char buf[kAsciiStaging];
    size_t fill = 0;
    int64_t out = 0;   // bytes written to the file
};

RecvEnd Flush(int fd, Staging *s, int *err)
{
    const RecvEnd end = WriteOut(fd, s->buf, s->fill, err);
    if (end == RecvEnd::kDone)
        s->out += static_cast<int64_t>(s->fill);
    s->fill = 0;
    return end;
}

RecvEnd StageAscii(int fd, Staging *s, const char *p, size_t n, int *err)
{
    while (n > 0) {
        const size_t room = kAsciiStaging - s->fill;
        if (room <= 2) {
            const RecvEnd end = Flush(fd, s, err);
            if (end != RecvEnd::kDone)
                return end;
            continue;
        }
        const size_t slice = std::min(n, room - 2);
        s->fill += AsciiFromNetwork(gAsciiMode, &s->st, p, slice, s->buf + s->fill);
        p += slice;
        n -= slice;
    }
    return RecvEnd::kDone;
}

RecvEnd FinishAscii(int fd, Staging *s, int *err)
{
    if (kAsciiStaging - s->fill < 2) {
        const RecvEnd end = Flush(fd, s, err);
        if (end != RecvEnd::kDone)
            return end;
    }
    s->fill += AsciiFromNetworkEnd(gAsciiMode, &s->st, s->buf + s->fill);
    return Flush(fd, s, err);
}

// What a failed read of the data connection means.
RecvEnd ReadError(int e, int *err)
{
    if (e == EAGAIN || e == EWOULDBLOCK)
        return RecvEnd::kTimedOut;       // SO_RCVTIMEO ran out
    if (ClientDropped(e))
        return RecvEnd::kDropped;
    *err = e;
    return RecvEnd::kReadError;
}

constexpr ssize_t kReadCanceled = -100;

// One read of the data connection with the jump point of the client's
// interrupt armed only while it waits: the count, or kReadCanceled.
ssize_t ReadPlain(char *buf, size_t size)
{
    gCancelJmpReady = 1;
    if (gCancel != 0) {                     // it came before the jump point was armed
        gCancelJmpReady = 0;
        return kReadCanceled;
    }
    const ssize_t n = read(gData, buf, size);
    gCancelJmpReady = 0;
    return n;
}

// One read under TLS, as read() reports it: no jump may leave the library,
// and the ABOR comes on the control connection (kTlsInterrupted).  A time-out
// reads as EAGAIN, as the socket's own receive time-out would.
ssize_t ReadTls(char *buf, size_t size)
{
    if (gCancel != 0)
        return kReadCanceled;
    const int n = DataTlsRead(buf, size);
    if (n >= 0 || n == kTlsInterrupted)
        return n;
    if (n == kSioErrTimeout)
        errno = EAGAIN;
    else if (n == kSioErrBrokenPipe)
        errno = EPIPE;
    else if (errno == ECONNABORTED)
        errno = ECONNRESET;    // cut off without close_notify: the upload is not whole
    return -1;
}

// The most the next step may read: under a hard byte limit, what is left
// below it as all sessions of the user stand now, and no more than
// kQuotaStep; 0 when the limit is reached.
size_t StepSize(size_t block)
{
    if (IsUserOverBytesQuota())
        return 0;
    if (gUserBytesUsageHardLimit <= 0)
        return block;
    const int64_t left = std::min(gUserBytesUsageHardLimit - gUserBytesUsage, kQuotaStep);
    return std::min(block, static_cast<size_t>(left));
}

// Reads block after block until the end of the data.  The network bytes are
// charged as they come; *in counts them (a TYPE A upload is set right after).
RecvEnd ReceiveBlocks(int fd, Staging *staging, int *err, int64_t *in)
{
    struct timeval start;
    gettimeofday(&start, nullptr);
    bool first = true;
    const bool tls = TlsActive(kTlsData) != 0;
    for (;;) {
        const size_t size = StepSize(kRecvBlock);
        if (size == 0)
            return staging != nullptr && FinishAscii(fd, staging, err) != RecvEnd::kDone ? RecvEnd::kWriteError
                                                                                        : RecvEnd::kQuota;
        ssize_t n = tls ? ReadTls(gRecvBuf, size) : ReadPlain(gRecvBuf, size);
        if (n == kTlsInterrupted || n == kReadCanceled) {
            if (n == kTlsInterrupted)
                gCancel = SIGURG;
            return RecvEnd::kCanceled;
        }
        if (n == 0)
            return staging != nullptr ? FinishAscii(fd, staging, err) : RecvEnd::kDone;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ReadError(errno, err);
        }
        if (first) {
            gStoringExecutable = LooksLikeProgram(gRecvBuf, static_cast<size_t>(n));
            first = false;
        }
        // Charged before it is written; another session may have taken
        // part of the room since the step was sized: only the rest is kept.
        const int64_t granted = QuotaReserveBytes(n);
        const bool reached = granted < n || IsUserOverBytesQuota();
        n = static_cast<ssize_t>(granted);
        *in += n;
        gBytesStor += n;
        ShmNoteActivity();
        const RecvEnd end = staging != nullptr ? StageAscii(fd, staging, gRecvBuf, static_cast<size_t>(n), err)
                                               : WriteOut(fd, gRecvBuf, static_cast<size_t>(n), err);
        if (end != RecvEnd::kDone)
            return end;
        if (reached) {
            if (staging != nullptr && FinishAscii(fd, staging, err) != RecvEnd::kDone)
                return RecvEnd::kWriteError;
            return RecvEnd::kQuota;
        }
        if (gStorBandwidthLimit > 0)
            BandwidthSleep(BandwidthDelay(gBytesStor, gStorBandwidthLimit, Duration(&start)));
    }
}

// The receiving loop under the handler that notices the client's interrupt.
// staging is null for binary data.
RecvEnd ReceiveLoop(int fd, Staging *staging, int *err)
{
    XferSignals signals(nullptr, nullptr, XferCancel);
    SetReadTimeout(gXferTimeout);
    // The mask is not saved here (that would cost a system call for every
    // read); after a jump the interrupt's signal is unblocked again.
    RecvEnd end;
    if (sigsetjmp(gCancelJmp, 0) != 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGURG);
        sigaddset(&set, SIGALRM);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        if (gCancel == 0)
            gCancel = SIGURG;
        end = RecvEnd::kCanceled;
    } else {
        int64_t in = 0;
        gUploadWritten = 0;
        end = ReceiveBlocks(fd, staging, err, &in);
        if (staging != nullptr)
            QuotaAddBytes(staging->out - in);   // the file holds the converted bytes
    }
    SetReadTimeout(0);
    return end;
}

// A read that fails in a way the session cannot survive.
[[noreturn]] void ReadFailed(int err)
{
    errno = err;
    LogPerror("Stor/read");
    LogTransfer(kXferError, 1);
    DoneConnection(kEndIOError);
}

void QuotaExceededReply()
{
    char q[kNumQuotaStrings][kQuotaStringSize];
    GetQuotaStrings(q);
    sleep(2);
    Reply("450 Disk quota exceeded (%.32s bytes;  limit: %.32s).\r\n", q[kQuotaBytesUsed], q[kQuotaBytesHardLimit]);
}

int AsciiStore(int fd)
{
    if (gRestartPt > 0) {
        Reply("550 RESTart point not implemented for TYPE A.\r\n");
        return -1;
    }
    Staging staging;
    int err = 0;
    switch (ReceiveLoop(fd, &staging, &err)) {
    case RecvEnd::kDone:
        return 0;
    case RecvEnd::kCanceled:
        return -1;
    case RecvEnd::kDropped:
        gCancel = SIGPIPE;
        return -1;
    case RecvEnd::kTimedOut:
        ReadFailed(ETIMEDOUT);
    case RecvEnd::kReadError:
        ReadFailed(err);
    case RecvEnd::kWriteError:
        Reply("450 Write error: %.450s\r\n", strerror(err));
        return -1;
    case RecvEnd::kQuota:
        QuotaExceededReply();
        return -1;
    }
    return -1;
}

// A restart point past the end of the file leaves a gap that the file's
// size, and so the quota, counts once a byte is written there: it is
// charged whole first (*gap), or the upload is refused.
bool ChargeRestartGap(int fd, int64_t *gap)
{
    *gap = 0;
    struct stat st;
    if (fstat(fd, &st) < 0 || gRestartPt <= st.st_size)
        return true;
    const int64_t want = gRestartPt - st.st_size;
    const int64_t granted = QuotaReserveBytes(want);
    if (granted < want) {
        QuotaAddBytes(-granted);
        return false;
    }
    *gap = want;
    return true;
}

}  // namespace

int gStoringExecutable;
int64_t gUploadWritten;

int RegStore(int fd)
{
    int64_t gap = 0;
    if (gRestartPt > 0) {
        if (!ChargeRestartGap(fd, &gap)) {
            RestartOverQuota();
            return -1;
        }
        if (lseek(fd, gRestartPt, SEEK_SET) < 0) {
            const int seekErr = errno;
            QuotaAddBytes(-gap);
            Reply("450 Seek error: %.420s\r\n", strerror(seekErr));
            return -1;
        }
        gXNoteBits |= kXNoteRestarted;
        gRestartedAt = gRestartPt;
    }
    int err = 0;
    const RecvEnd end = ReceiveLoop(fd, nullptr, &err);
    if (gUploadWritten == 0)
        QuotaAddBytes(-gap);                // nothing written: no gap either
    switch (end) {
    case RecvEnd::kDone:
        return 0;
    case RecvEnd::kCanceled:
        return -1;
    case RecvEnd::kTimedOut:
        gCancel = SIGALRM;
        return -1;
    case RecvEnd::kDropped:
        gCancel = SIGPIPE;
        return -1;
    case RecvEnd::kReadError:
        ReadFailed(err);
    case RecvEnd::kWriteError:
        Reply("450 Write error: %.420s\r\n", strerror(err));
        return -1;
    case RecvEnd::kQuota:
        QuotaExceededReply();
        return -1;
    }
    return -1;
}

int RegAsciiStore1_2(int fd)
{
    return AsciiStore(fd);
}

int RegAsciiStore3(int fd)
{
    return AsciiStore(fd);
}

// The sending methods of downloads: the plain loop, sendfile, the memory map
// and the TYPE A converters.
#include "transfer/sendmethods.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <ctime>

#include "transfer/asciiconv.h"
#include "config/config.h"
#include "log/log.h"
#include "base/exit.h"
#include "base/process.h"
#include "session/shell.h"
#include "status/shm.h"
#include "tls/tls.h"
#include "transfer/tlsdata.h"
#include "transfer/xbuf.h"
#include "transfer/xferlog.h"
#include "transfer/xfersignals.h"

namespace {

constexpr size_t kLoopBlock = 65535;
// Under TLS one call encrypts a block into records that go out in one write:
// the larger the block, the fewer writes (and polls of the control connection).
constexpr size_t kTlsLoopBlock = 256 * 1024;
constexpr size_t kAsciiSmallRead = 256;
constexpr size_t kAsciiLargeRead = 2048;
constexpr size_t kAsciiStaging = 4096;
constexpr size_t kSendfileMaxChunk = 0x7ffff000;   // the most one sendfile call moves
// A send never waits longer than this for a slow client: the map method's
// write runs under SO_SNDTIMEO of it, and sendfile (whose every piece would
// wait on its own) on a non-blocking socket with a poll of it.  So progress
// reaches the status slot each second, and the transfer time-out is counted
// from the last byte that moved (SendStalled).
constexpr int kSendQuietSeconds = 1;

char gLoopBuf[kTlsLoopBlock];

// A broken or reset data connection: the client went away.
bool ClientDropped(int err)
{
    return err == EPIPE || err == ECONNRESET;
}

// The signals of a running sendfile: the first one names the reason.  An
// interrupt that comes just before a sendfile call began would leave that
// call blocked, so it brings a time-out a second later that ends the call.
void SendfileSignal(int sig)
{
    if (gSendfileCanceledBy == 0) {
        gSendfileCanceledBy = sig;
        gSendfileErrno = sig == SIGALRM ? EINTR : EPIPE;
    }
    if (sig == SIGURG)
        alarm(1);
}

void SetSendTimeout(int seconds)
{
    struct timeval tv {};
    tv.tv_sec = seconds;
    setsockopt(gData, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// The data connection in non-blocking mode for a scope.
class NonBlockingData {
  public:
    NonBlockingData() : flags_(fcntl(gData, F_GETFL))
    {
        if (flags_ >= 0)
            fcntl(gData, F_SETFL, flags_ | O_NONBLOCK);
    }
    ~NonBlockingData()
    {
        if (flags_ >= 0)
            fcntl(gData, F_SETFL, flags_);
    }
    NonBlockingData(const NonBlockingData &) = delete;
    NonBlockingData &operator=(const NonBlockingData &) = delete;

  private:
    int flags_;
};

// Waits up to kSendQuietSeconds for room on the data connection; a signal
// ends the wait early.
void WaitForRoom()
{
    struct pollfd p = {gData, POLLOUT, 0};
    (void)poll(&p, 1, kSendQuietSeconds * 1000);
}

// A send under kSendQuietSeconds moved nothing: true once nothing has moved
// for the transfer time-out (0: none).
bool SendStalled(time_t movedAt)
{
    return gXferTimeout > 0 && time(nullptr) - movedAt >= gXferTimeout;
}

// A file that ended before the size the 150 reply announced: the client
// would take the short copy for the whole file, so the transfer fails.
// start is where sending began in the file, taken the bytes read from there.
bool Shrank(int64_t start, int64_t taken)
{
    return gStartingSize >= 0 && start + taken < gStartingSize;
}

int ShrankReply()
{
    Reply("450 Read error: %.420s\r\n", strerror(ENODATA));
    return -1;
}

// Uses the restart offset: the note, the record and the offset cleared.
int64_t TakeRestartOffset()
{
    const int64_t offset = gRestartPt;
    if (offset > 0) {
        gXNoteBits |= kXNoteRestarted;
        gRestartedAt = offset;
    }
    gRestartPt = 0;
    return offset;
}

// WriteBlock under TLS: no jump may leave the library half way, so the
// waits are polls, and an ABOR is seen on the control connection.
int WriteTlsBlock(const char *p, size_t n, volatile int64_t *sent, int *err)
{
    const int w = DataTlsWrite(p, n);
    if (w == static_cast<int>(n)) {
        *sent = *sent + w;
        ShmNoteActivity();
        return 0;
    }
    if (w == kTlsInterrupted)
        gCancel = SIGURG;
    else if (w == kSioErrTimeout)
        gCancel = SIGALRM;
    else if (w == kSioErrBrokenPipe || ClientDropped(errno))
        gCancel = SIGPIPE;
    else
        *err = errno != 0 ? errno : EIO;
    return -1;
}

// Writes one block completely under the transfer time-out, the jump point
// armed.  Returns 0, or -1 with gCancel set (the client dropped the data
// connection, its interrupt came between two writes, or no byte went for
// the time-out) or *err set.
int WriteBlock(const char *p, size_t n, volatile int64_t *sent, int *err)
{
    if (TlsActive(kTlsData))
        return WriteTlsBlock(p, n, sent, err);
    while (n > 0) {
        alarm(static_cast<unsigned>(gXferTimeout));
        gCancelJmpReady = 1;
        if (gCancel != 0) {                 // it came before the jump point was armed
            gCancelJmpReady = 0;
            alarm(0);
            return -1;
        }
        const ssize_t w = write(gData, p, n);
        gCancelJmpReady = 0;
        alarm(0);
        if (w > 0) {
            *sent = *sent + w;
            ShmNoteActivity();
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && ClientDropped(errno)) {
            gCancel = SIGPIPE;
            return -1;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            gCancel = SIGALRM;              // a send time limit on the socket ran out
            return -1;
        }
        *err = w < 0 ? errno : EIO;
        return -1;
    }
    return 0;
}

// How a guarded sending loop ended.  Replies are sent by the caller, after
// the loop's signal handlers are gone, because a failed reply ends the
// session.
enum class LoopEnd { kDone, kReadError, kWriteError, kCanceled, kUnusable };

// The plain loop under its signal handlers; *taken counts the bytes read
// from fd.
LoopEnd CopyLoop(int fd, volatile int64_t *sent, volatile int64_t *taken, int *err)
{
    XferSignals signals(XferCancel, SIG_IGN, XferCancel);
    struct timeval start;
    gettimeofday(&start, nullptr);
    if (sigsetjmp(gCancelJmp, 1) != 0) {
        if (gCancel < 2)
            gCancel = SIGALRM;
        return LoopEnd::kCanceled;
    }
    for (;;) {
        if (gCancel != 0)
            return LoopEnd::kCanceled;
        const ssize_t n = read(fd, gLoopBuf, TlsActive(kTlsData) ? kTlsLoopBlock : kLoopBlock);
        if (n == 0)
            return LoopEnd::kDone;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return LoopEnd::kReadError;
        }
        *taken = *taken + n;
        BandwidthSleep(BandwidthDelay(*sent, gRetrBandwidthLimit, Duration(&start)));
        if (WriteBlock(gLoopBuf, static_cast<size_t>(n), sent, err) < 0)
            return gCancel != 0 ? LoopEnd::kCanceled : LoopEnd::kWriteError;
    }
}

// The sendfile calls from *offset to size under their signal handlers.
LoopEnd SendfileLoop(int fd, int64_t size, off_t *offset, int64_t *sent, int *err)
{
    XferSignals signals(SendfileSignal, SendfileSignal, SendfileSignal);
    gSendfileCanceledBy = 0;
    gSendfileErrno = 0;
    gSendfileInProgress = 1;
    alarm(TransferAlarmSeconds(size, 4096, kSendfileHugeFile, gXferTimeout));
    LoopEnd end = LoopEnd::kDone;
    NonBlockingData nonBlocking;
    time_t movedAt = time(nullptr);
    while (*offset < size && gSendfileCanceledBy == 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(size - *offset, kSendfileMaxChunk));
        const ssize_t n = sendfile(gData, fd, offset, want);
        if (n > 0) {
            *sent += n;
            ShmNoteActivity();
            movedAt = time(nullptr);
            continue;
        }
        if (n == 0)                     // the file shrank
            break;
        if (errno == EAGAIN && !SendStalled(movedAt)) {
            WaitForRoom();
            continue;
        }
        if (errno == EINTR)
            continue;
        if (ClientDropped(errno)) {
            gCancel = SIGPIPE;
            end = LoopEnd::kCanceled;
        } else if (errno == EAGAIN) {
            gCancel = SIGALRM;
            end = LoopEnd::kCanceled;
        } else if (*sent == 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            end = LoopEnd::kUnusable;
        } else {
            *err = errno;
            end = LoopEnd::kWriteError;
        }
        break;
    }
    gSendfileInProgress = 0;
    if (gSendfileCanceledBy != 0) {
        gCancel = gSendfileCanceledBy;
        end = LoopEnd::kCanceled;
    }
    return end;
}

// The end of a transfer through the transfer buffer: why it stopped, as the
// sending methods report it.
int XBufOutcome(int result)
{
    if (XBufCanceled() || gCancel != 0) {
        if (gCancel == 0)
            gCancel = SIGURG;
        return -1;
    }
    if (result >= 0)
        return 0;
    if (result == kSioErrTimeout)
        gCancel = SIGALRM;
    else if (result == kSioErrBrokenPipe || ClientDropped(errno))
        gCancel = SIGPIPE;
    else
        Reply("450 Socket write error: %.420s\r\n", strerror(errno));
    return -1;
}

constexpr int kAsciiReadError = -1000;

// The TYPE A loop: reads readSize bytes at a time, converts them into
// staging (flushed into the transfer buffer when it may not take another
// converted read) and ends with the end-of-file block.  The client's
// interrupt between two writes is noticed here.  Returns the last result of
// the transfer buffer, or kAsciiReadError with *err; *taken counts the bytes
// read from the file.
int AsciiLoop(int fd, size_t readSize, char *staging, size_t stagingSize, int64_t *taken, int *err)
{
    XferSignals signals(nullptr, nullptr, XferCancel);
    char in[kAsciiLargeRead];
    AsciiState st {};
    size_t fill = 0;
    for (;;) {
        if (gCancel != 0)
            return 0;
        const ssize_t n = read(fd, in, readSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = errno;
            return kAsciiReadError;
        }
        *taken += n;
        if (n == 0)
            fill += AsciiToNetworkEnd(gAsciiMode, &st, staging + fill);
        else
            fill += AsciiToNetwork(gAsciiMode, &st, in, static_cast<size_t>(n), staging + fill);
        if (n == 0 || fill + AsciiSendBound(readSize) > stagingSize) {
            const int result = fill > 0 ? XBufWrite(staging, fill) : 0;
            fill = 0;
            if (result < 0 || XBufCanceled())
                return result;
        }
        if (n == 0)
            return XBufFlush(kModeBEndOfFile);
    }
}

int AsciiRetrieve(int fd, size_t readSize, char *staging, size_t stagingSize)
{
    const int64_t offset = gRestartPt;
    int err = 0;
    int64_t taken = 0;                  // read from the start: REST counts converted bytes
    const int result = AsciiLoop(fd, readSize, staging, stagingSize, &taken, &err);
    if (offset > 0) {
        gXNoteBits |= kXNoteRestarted;
        gRestartedAt = offset;
    }
    gRestartPt = 0;
    gBytesRetr += gXBufTotalWrote;
    if (result == kAsciiReadError) {
        Reply("450 Read error: %.420s\r\n", strerror(err));
        return -1;
    }
    const int outcome = XBufOutcome(result);
    if (outcome == 0 && Shrank(0, taken))
        return ShrankReply();
    return outcome;
}

// The write loop of the map method, under its own signal handlers: the
// error of a failed write, or 0.
int MmapWrite(const char *data, size_t size, unsigned alarmSeconds, volatile int64_t *sent)
{
    XferSignals signals(XferCancel, SIG_IGN, XferCancel);
    if (sigsetjmp(gCancelJmp, 1) != 0)
        return 0;                 // time-out or interrupt: gCancel tells
    alarm(alarmSeconds);
    size_t done = 0;
    time_t movedAt = time(nullptr);
    while (done < size) {
        gCancelJmpReady = 1;
        if (gCancel != 0) {
            gCancelJmpReady = 0;
            break;
        }
        const ssize_t w = write(gData, data + done, size - done);
        gCancelJmpReady = 0;
        if (w > 0) {
            *sent = *sent + w;
            ShmNoteActivity();
            movedAt = time(nullptr);
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && (errno == EINTR || (errno == EAGAIN && !SendStalled(movedAt))))
            continue;
        if (w < 0 && ClientDropped(errno)) {
            gCancel = SIGPIPE;
            break;
        }
        if (w < 0 && errno == EAGAIN) {     // no progress for the transfer time-out
            gCancel = SIGALRM;
            break;
        }
        return w < 0 ? errno : EIO;
    }
    return 0;
}

}  // namespace

void XferCancel(int sig)
{
    if (gCancelJmpReady) {
        Cancel(sig);
        return;
    }
    gCancel = sig;
}

unsigned TransferAlarmSeconds(int64_t size, int64_t divisor, int64_t hugeSize, int xferTimeout)
{
    if (size > hugeSize)
        return kMaxTransferAlarm;
    const int64_t seconds = std::max<int64_t>(size / divisor, xferTimeout);
    return static_cast<unsigned>(std::min<int64_t>(seconds, kMaxTransferAlarm));
}

void BandwidthSleep(double seconds)
{
    if (seconds <= 0.0)
        return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR && gCancel == 0) {
    }
}

double BandwidthDelay(int64_t bytesSent, int limitKiB, double elapsed)
{
    if (limitKiB <= 0)
        return 0.0;
    const double due = static_cast<double>(bytesSent) / (limitKiB * 1024.0) - elapsed;
    return due > 0.0 ? due : 0.0;
}

int RegRetrieve(int fd)
{
    if (gRestartPt > 0 && lseek(fd, gRestartPt, SEEK_SET) < 0) {
        gRestartPt = 0;
        sleep(1);
        Reply("450 Seek error: %.420s\r\n", strerror(errno));
        return -1;
    }
    const int64_t start = TakeRestartOffset();

    volatile int64_t sent = 0;
    volatile int64_t taken = 0;
    int err = 0;
    const LoopEnd end = CopyLoop(fd, &sent, &taken, &err);
    gBytesRetr += sent;
    switch (end) {
    case LoopEnd::kDone:
        return Shrank(start, taken) ? ShrankReply() : 0;
    case LoopEnd::kReadError:
        Reply("450 Read error: %.420s\r\n", strerror(err));
        return -1;
    case LoopEnd::kCanceled:
        return gCancel == SIGPIPE ? -1 : -2;
    default:
        Reply("450 Socket write error: %.420s\r\n", strerror(err));
        return -1;
    }
}

int SendfileRetrieve(int fd, int64_t size)
{
    const int64_t start = gRestartPt;
    if (start > size) {
        gRestartPt = 0;
        Reply("450 Restart point (%lld) is greater than the file size (%lld).\r\n", static_cast<long long>(start),
              static_cast<long long>(size));
        return -1;
    }
    off_t offset = start;
    int64_t sent = 0;
    int err = 0;
    const LoopEnd end = SendfileLoop(fd, size, &offset, &sent, &err);
    if (end == LoopEnd::kUnusable)
        return kSendfileUnusable;      // the restart offset stays for the fallback
    gXNoteBits |= kXNoteSendfile;
    TakeRestartOffset();
    gBytesRetr += sent;
    if (end == LoopEnd::kDone)
        return offset < size ? ShrankReply() : 0;    // sendfile met the end early
    if (end == LoopEnd::kWriteError)
        Reply("450 Error occurred after %lld of %lld bytes were sent: %.200s\r\n", static_cast<long long>(sent),
              static_cast<long long>(size - start), strerror(err));
    return -1;
}

int MmapRetrieve(int fd, int64_t size)
{
    void *map = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        LogPerror("Retr/mmap");
        return RegRetrieve(fd);
    }
    if (gRestartPt > size) {
        gRestartPt = 0;
        munmap(map, static_cast<size_t>(size));
        Reply("450 Bad restart point.\r\n");
        return -1;
    }
    madvise(map, static_cast<size_t>(size), MADV_SEQUENTIAL);
    // The alarm of a large file is long; a client that stops reading is
    // noticed by the transfer time-out counted over the writes.
    SetSendTimeout(kSendQuietSeconds);
    gXNoteBits |= kXNoteMmap;
    const int64_t start = TakeRestartOffset();

    volatile int64_t sent = 0;
    const int writeErr = MmapWrite(static_cast<const char *>(map) + start, static_cast<size_t>(size - start),
                                   TransferAlarmSeconds(size, 256, kMmapHugeFile, gXferTimeout), &sent);
    munmap(map, static_cast<size_t>(size));
    SetSendTimeout(0);
    gBytesRetr += sent;
    if (writeErr == 0)
        return 0;
    // Pages cut off by a truncation fail the write (EFAULT): the file shrank.
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_size < size)
        return ShrankReply();
    errno = writeErr;
    LogPerror("Retr/write to data fd=%d", gData);
    CalculateTransferDuration();
    LogTransfer(kXferError, 1);
    DoneConnection(kEndIOError);
}

int RegAsciiRetrieve1_2(int fd)
{
    char staging[AsciiSendBound(kAsciiSmallRead)];
    return AsciiRetrieve(fd, kAsciiSmallRead, staging, sizeof(staging));
}

int RegAsciiRetrieve3(int fd)
{
    char staging[kAsciiStaging + AsciiSendBound(kAsciiLargeRead)];
    return AsciiRetrieve(fd, kAsciiLargeRead, staging, sizeof(staging));
}

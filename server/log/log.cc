// The client side of logging, used by every process: Log, LogPerror, _Trace and
// the stop record.  Kept free of the rest of the server so that anything that
// logs can link it.
//
// A record is written to the pipe with one plain write() rather than the
// socket library's PWrite: Log is also called from signal handlers, and PWrite
// would replace the jump point of a timed call that the signal interrupted.
#include "log/log.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Strn.h"

int gLogPipe = -1;
int gLogStopPipe = -1;
char gLogHeader[kLogTagSize] = "(main)  | ";
LogSinkProc gLogSink = nullptr;

bool WriteFully(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

namespace {
const int kNoDomain = 0;
}
const int *gLogDomainPtr = &kNoDomain;

namespace {

constexpr int kLogBufSize = kLogTextMax + 1;     // 739
constexpr int kPerrorBufSize = 383;

struct LogRecord {
    LogRecordHeader hdr;
    char text[kLogBufSize];
};

// Ignores SIGPIPE while writing to the log pipe or to standard error.
class NoSigPipe {
  public:
    NoSigPipe()
    {
        struct sigaction sa {};
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGPIPE, &sa, &saved_);
    }
    ~NoSigPipe() { sigaction(SIGPIPE, &saved_, nullptr); }
    NoSigPipe(const NoSigPipe &) = delete;
    NoSigPipe &operator=(const NoSigPipe &) = delete;

  private:
    struct sigaction saved_ {};
};

// Cuts the text at 738 characters and ends it in exactly one line feed; returns
// its length.
int FinishText(char *text)
{
    size_t n = strlen(text);
    if (n > kLogTextMax)
        n = kLogTextMax;
    if (n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n') {
        text[n - 2] = '\n';
        n--;
    } else if (n == 0 || text[n - 1] != '\n') {
        if (n == kLogTextMax)
            n--;
        text[n++] = '\n';
    }
    text[n] = '\0';
    return static_cast<int>(n);
}

void SendRecord(int type, const char *fmt, va_list ap)
{
    const int savedErrno = errno;
    LogRecord rec;
    memset(&rec.hdr, 0, sizeof(rec.hdr));
    vsnprintf(rec.text, sizeof(rec.text), fmt, ap);
    const int len = FinishText(rec.text);

    Strncpy(rec.hdr.tag, gLogHeader, sizeof(rec.hdr.tag));
    rec.hdr.type = type;
    rec.hdr.length = len;
    rec.hdr.domain = *gLogDomainPtr;
    rec.hdr.magic = kLogMagic;

    if (gLogSink != nullptr) {
        gLogSink(&rec.hdr, rec.text);
    } else {
        // A dead logger must neither kill the sender nor wake a socket call's handler.
        NoSigPipe guard;
        if (gLogPipe < 0 || !WriteFully(gLogPipe, reinterpret_cast<const char *>(&rec), sizeof(rec.hdr) + len))
            WriteFully(2, rec.text, static_cast<size_t>(len));
    }
    errno = savedErrno;
}

}  // namespace

void InitLogger()
{
    Strncpy(gLogHeader, "(main)  | ");
}

void TakeChildLogPipe(int fd)
{
    if (gLogPipe >= 0)
        close(gLogPipe);
    gLogPipe = fd;
    if (gLogStopPipe >= 0)
        close(gLogStopPipe);        // the master's alone
    gLogStopPipe = -1;
}

void Log(int type, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    SendRecord(type, fmt, ap);
    va_end(ap);
}

void LogPerror(const char *fmt, ...)
{
    const int err = errno;
    char what[kPerrorBufSize];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof(what), fmt, ap);
    va_end(ap);
    Log(kLogMisc, "%s: %s.\n", what, strerror(err));
    errno = err;
}

void _Trace(int type, const char *fmt, ...)
{
    if (gTraceLogging == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    SendRecord(type, fmt, ap);
    va_end(ap);
}

void CloseLog()
{
    if (gLogStopPipe < 0)
        return;
    const int savedErrno = errno;
    NoSigPipe guard;
    WriteFully(gLogStopPipe, "", 1);
    errno = savedErrno;
}

// Urgent data on the control connection: the out-of-band byte of an
// interrupt, and the command line whose line feed came as that byte.
#include "transfer/urgent.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "session/shell.h"
#include "status/shm.h"
#include "tls/tls.h"
#include "transfer/data.h"

namespace {

constexpr int kUrgentReadTimeout = 10;     // seconds for the out-of-band byte
constexpr int kMarkWaitMs = 10000;         // for the in-band bytes before the mark

// Printable bytes stand as themselves, the others as 0x%02x.
void RenderBytes(char *dst, size_t size, const unsigned char *src, int n)
{
    dst[0] = '\0';
    for (int i = 0; i < n; i++) {
        char piece[8];
        if (isalnum(src[i]) || ispunct(src[i]) || src[i] == ' ')
            snprintf(piece, sizeof(piece), "%c", src[i]);
        else
            snprintf(piece, sizeof(piece), "0x%02x", src[i]);
        Strncat(dst, piece, size);
    }
}

// Free space after the buffered bytes, made by moving them to the front.
size_t MakeRoom(SReadlineInfo *srl)
{
    if (srl->bufPtr >= srl->bufLim) {
        srl->bufPtr = srl->bufLim = srl->buf;
    } else if (srl->bufPtr > srl->buf) {
        const size_t n = static_cast<size_t>(srl->bufLim - srl->bufPtr);
        memmove(srl->buf, srl->bufPtr, n);
        srl->bufPtr = srl->buf;
        srl->bufLim = srl->buf + n;
    }
    return static_cast<size_t>(srl->buf + srl->bufSize - srl->bufLim);
}

// Takes what has arrived in band, without waiting: the count, 0 at the end
// of input, or -1 with errno (EAGAIN when nothing was there).
int TakeInBand(SReadlineInfo *srl)
{
    const size_t room = MakeRoom(srl);
    if (room == 0) {
        errno = ENOBUFS;
        return -1;
    }
    const ssize_t n = recv(srl->fd, srl->bufLim, room, MSG_DONTWAIT);
    if (n > 0)
        srl->bufLim += n;
    return static_cast<int>(n);
}

// The urgent byte was the line feed of a command: the bytes sent before it
// (reads stop at the urgent mark by themselves) and then the line feed.
void CompleteUrgentLine(SReadlineInfo *srl)
{
    for (;;) {
        int atMark = 0;
        if (ioctl(srl->fd, SIOCATMARK, &atMark) < 0 || atMark)
            break;
        const int n = TakeInBand(srl);
        if (n > 0)
            continue;
        if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {srl->fd, POLLIN, 0};
            if (poll(&p, 1, kMarkWaitMs) > 0 || errno == EINTR)
                continue;
        }
        break;
    }
    if (MakeRoom(srl) > 0)
        *srl->bufLim++ = '\n';
}

// 1 when one of the complete lines buffered in srl is an ABOR (Telnet
// bytes and blanks before it allowed).
bool HoldsAbor(const SReadlineInfo *srl)
{
    const char *p = srl->bufPtr;
    while (p < srl->bufLim) {
        const char *eol = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(srl->bufLim - p)));
        if (eol == nullptr)
            return false;
        while (p < eol && (static_cast<unsigned char>(*p) >= 0xF0 || *p == ' ' || *p == '\t'))
            p++;
        if (eol - p >= 4 && strncasecmp(p, "ABOR", 4) == 0 && (eol - p == 4 || !isalpha(static_cast<unsigned char>(p[4]))))
            return true;
        p = eol + 1;
    }
    return false;
}

// The command reader under TLS: records are read into srl until a line is
// there.  No urgent data: an ABOR comes as an ordinary line.
int WaitForTlsCommandLine(SReadlineInfo *srl, int seconds, size_t lineSize)
{
    const time_t deadline = ShmTime(nullptr) + seconds;
    bool watchPassive = PassiveWatchFd() >= 0;
    for (;;) {
        if (SReadlineReady(srl, lineSize))
            return 0;
        const time_t left = deadline - ShmTime(nullptr);
        if (left <= 0)
            return kSioErrTimeout;
        const size_t room = MakeRoom(srl);
        if (room == 0)
            return 0;                          // a full buffer is a line piece
        if (watchPassive && !TlsReadPending(kTlsControl)) {
            struct pollfd p[2] = {{srl->fd, POLLIN, 0}, {PassiveWatchFd(), POLLIN, 0}};
            if (poll(p, 2, static_cast<int>(left) * 1000) <= 0)
                continue;                      // the deadline decides
            if (p[1].revents != 0 && TakeEarlyPassive() < 0)
                watchPassive = false;
            if (p[0].revents == 0)
                continue;
        }
        const int n = ControlRead(srl->bufLim, room, static_cast<int>(left));
        if (n == 0)
            return kCommandInputEnded;
        if (n < 0)
            return n;
        srl->bufLim += n;
    }
}

}  // namespace

int TlsControlCheck()
{
    const size_t room = MakeRoom(&gSrl);
    if (room == 0)
        return -1;                             // nothing more can be taken in: stop looking
    const int n = TlsRead(kTlsControl, gSrl.bufLim, room, 0);
    if (n > 0)
        gSrl.bufLim += n;
    else if (n != kSioErrTimeout)
        return -1;                             // the control connection ended or failed
    return HoldsAbor(&gSrl) ? 1 : 0;
}

int ReceiveUrgentData(SReadlineInfo *srl)
{
    unsigned char oob[32];
    const int n = SRecv(srl->fd, oob, 31, MSG_OOB, kUrgentReadTimeout, kSioReturnAtOnce);
    if (n <= 0)
        return n;
    if (gTraceLogging) {
        char text[256];
        RenderBytes(text, sizeof(text), oob, n);
        _Trace(kLogMisc, "%d byte(s) of out-of-band data received [%.127s].\n", n, text);
    }
    if (oob[n - 1] == '\n')
        CompleteUrgentLine(srl);
    return n;
}

int SReadlineReady(const SReadlineInfo *srl, size_t lineSize)
{
    const char *p = srl->bufPtr;
    const char *lim = srl->bufLim;
    if (p >= lim)
        return 0;
    if (memchr(p, '\n', static_cast<size_t>(lim - p)) != nullptr)
        return 1;
    if (lineSize > 0 && static_cast<size_t>(lim - p) >= lineSize - 1)
        return 1;
    if (p == srl->buf && lim == srl->buf + srl->bufSize)
        return 1;
    // The line reader ends a line at a pause after two stray bytes.
    int stray = 0;
    for (; p < lim; p++) {
        if (*p == '\0' || (*p == '\r' && p + 1 < lim && p[1] != '\n'))
            stray++;
    }
    return stray > 1;
}

int WaitForCommandLine(SReadlineInfo *srl, int seconds, size_t lineSize)
{
    if (TlsActive(kTlsControl))
        return WaitForTlsCommandLine(srl, seconds, lineSize);
    const time_t deadline = ShmTime(nullptr) + seconds;
    short events = POLLIN | POLLPRI;
    bool watchPassive = PassiveWatchFd() >= 0;
    for (;;) {
        if (SReadlineReady(srl, lineSize))
            return 0;
        const time_t left = deadline - ShmTime(nullptr);
        if (left <= 0)
            return kSioErrTimeout;
        struct pollfd w[2] = {{srl->fd, events, 0}, {watchPassive ? PassiveWatchFd() : -1, POLLIN, 0}};
        const int r = poll(w, 2, static_cast<int>(left) * 1000);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (r == 0)
            continue;                          // the deadline decides
        if (w[1].revents != 0 && TakeEarlyPassive() < 0)
            watchPassive = false;
        const struct pollfd &p = w[0];
        if (p.revents == 0)
            continue;
        if (p.revents & POLLPRI) {
            if (ReceiveUrgentData(srl) <= 0)
                events = POLLIN;               // an urgent byte that cannot be read: no busy loop
            continue;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return 0;
        const int n = TakeInBand(srl);
        if (n == 0)
            return 0;                          // the line reader sees the end too
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return kSioErrSystem;
    }
}

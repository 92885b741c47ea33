// Accepting connections with a time limit: SAcceptA by alarm, SAcceptS by select.
#include "sio.h"
#include "callsignals.h"

#include <cerrno>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/time.h>

// The address length is reset before every attempt because a failed accept may have
// changed it.
static int AcceptOnce(int fd, SioAddr *addr)
{
    socklen_t len = sizeof(SioAddr);
    return accept(fd, addr != nullptr ? &addr->sa : nullptr, addr != nullptr ? &len : nullptr);
}

static int AcceptRetried(int fd, SioAddr *addr)
{
    for (;;) {
        const int result = AcceptOnce(fd, addr);
        if (result >= 0 || errno != EINTR)
            return result;
        errno = 0;
    }
}

// tlen below 0: no signal handling at all; tlen 0: the alarm mechanism without a limit.
// No jump out of accept: an alarm that came just after accept had taken a connection
// would lose it (the client would wait for a greeting that never comes).  The alarm
// interrupts a waiting accept instead (it is installed without SA_RESTART), and it
// repeats every second, so that one that comes just before the call still ends the wait.
int SAcceptA(int fd, SioAddr *addr, int tlen)
{
    if (tlen < 0)
        return AcceptRetried(fd, addr);

    SioCallSignals signals(true, kSioPipeCatch);
    gSioGotSig = 0;
    gSioCanJmp = kSioNoteSignal;
    errno = 0;
    if (tlen > 0) {
        struct itimerval limit {};
        limit.it_value.tv_sec = tlen;
        limit.it_interval.tv_sec = 1;
        setitimer(ITIMER_REAL, &limit, nullptr);
    }
    int result;
    for (;;) {
        if (gSioGotSig == SIGALRM) {
            result = kSioErrTimeout;
            errno = ETIMEDOUT;
            break;
        }
        result = AcceptOnce(fd, addr);
        if (result >= 0 || errno != EINTR)
            break;
    }
    const int savedErrno = errno;
    alarm(0);
    gSioCanJmp = 0;
    gSioGotSig = 0;
    errno = savedErrno;
    return result;
}

int SAcceptS(int fd, SioAddr *addr, int tlen)
{
    if (tlen < 1)
        return AcceptRetried(fd, addr);

    SelectSet ss;
    SelectSet work;
    SelectSetInit(&ss, static_cast<double>(tlen));
    SelectSetAdd(&ss, fd);
    // SelectR waits again after EINTR, each time with the full limit.
    const int ready = SelectR(&ss, &work);
    if (ready > 0)
        return AcceptRetried(fd, addr);
    if (ready == 0) {
        errno = ETIMEDOUT;
        return kSioErrTimeout;
    }
    return kSioErrSystem;
}

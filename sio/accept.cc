// Accepting connections with a time limit: SAcceptA by alarm, SAcceptS by select.
#include "sio.h"
#include "callsignals.h"

#include <cerrno>
#include <unistd.h>

#include <sys/socket.h>

// The address length is reset before every attempt because a failed accept may have
// changed it.
static int AcceptRetried(int fd, struct sockaddr_in *addr)
{
    for (;;) {
        socklen_t len = sizeof(struct sockaddr_in);
        const int result = accept(fd, reinterpret_cast<struct sockaddr *>(addr),
                                  addr != nullptr ? &len : nullptr);
        if (result >= 0 || errno != EINTR)
            return result;
        errno = 0;
    }
}

// tlen below 0: no signal handling at all; tlen 0: the alarm mechanism without a limit.
int SAcceptA(int fd, struct sockaddr_in *addr, int tlen)
{
    if (tlen < 0)
        return AcceptRetried(fd, addr);

    SioCallSignals signals(true, kSioPipeCatch);
    if (sigsetjmp(gSioJmp, 1) != 0) {
        alarm(0);
        gSioCanJmp = 0;
        return SioJumpResult(0, false);
    }
    gSioGotSig = 0;
    gSioCanJmp = 1;
    errno = 0;
    alarm(static_cast<unsigned>(tlen));
    const int result = AcceptRetried(fd, addr);
    const int savedErrno = errno;
    alarm(0);
    gSioCanJmp = 0;
    errno = savedErrno;
    return result;
}

int SAcceptS(int fd, struct sockaddr_in *addr, int tlen)
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

// Connecting with a time limit.
#include "sio.h"
#include "callsignals.h"

#include <cerrno>
#include <unistd.h>

#include <sys/socket.h>

// A connect interrupted by a signal goes on in the kernel; asking again waits for it, and
// EISCONN then means it completed in between.
static int ConnectRetried(int fd, const SioAddr *addr)
{
    bool interrupted = false;
    for (;;) {
        const int result = connect(fd, &addr->sa, SioAddrLen(addr));
        if (result == 0)
            return 0;
        if (errno == EISCONN && interrupted) {
            errno = 0;
            return 0;
        }
        if (errno != EINTR)
            return result;
        errno = 0;
        interrupted = true;
    }
}

// tlen 0 sets no alarm, so the call waits as long as the system lets it.
int SConnect(int fd, const SioAddr *addr, int tlen)
{
    SioCallSignals signals(true, kSioPipeCatch);
    if (sigsetjmp(gSioJmp, 1) != 0) {
        alarm(0);
        gSioCanJmp = 0;
        return SioJumpResult(0, false);
    }
    gSioGotSig = 0;
    gSioCanJmp = 1;
    errno = 0;
    alarm(static_cast<unsigned>(tlen > 0 ? tlen : 0));
    const int result = ConnectRetried(fd, addr);
    const int savedErrno = errno;
    alarm(0);
    gSioCanJmp = 0;
    errno = savedErrno;
    return result;
}

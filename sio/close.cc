// Closing a socket, with a time limit for one that lingers over unsent data.
#include "sio.h"
#include "callsignals.h"

#include <cerrno>
#include <unistd.h>

#include <sys/socket.h>

void SioLingerOff(int fd)
{
    if (SetSocketLinger(fd, 0, 0) < 0)
        shutdown(fd, SHUT_RDWR);
}

// Without a limit the socket is closed at once, dropping what was not sent.  With one the
// close may flush; when the flush takes longer than tlen seconds, the data is dropped.
int SClose(int fd, int tlen)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (tlen <= 0) {
        SioLingerOff(fd);
        return close(fd);
    }

    SioCallSignals signals(true, kSioPipeIgnore);
    if (sigsetjmp(gSioJmp, 1) != 0) {
        alarm(0);
        gSioCanJmp = 0;
        SioLingerOff(fd);
        errno = 0;
        close(fd);
        // Linux releases the descriptor even when the flush is interrupted, so EBADF here
        // means the interrupted close already did the work.
        return errno == 0 || errno == EBADF ? 0 : -1;
    }
    gSioGotSig = 0;
    gSioCanJmp = 1;
    errno = 0;
    alarm(static_cast<unsigned>(tlen));
    int result = close(fd);
    alarm(0);
    gSioCanJmp = 0;
    if (result < 0 && errno == EINTR)  // released all the same; asking again could only fail
        result = 0;
    if (result < 0 && errno != EBADF) {
        const int savedErrno = errno;
        SioLingerOff(fd);
        close(fd);  // the first failure is what the caller hears about
        errno = savedErrno;
    }
    return result < 0 ? -1 : 0;
}

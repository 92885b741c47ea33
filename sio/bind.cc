// Binding a listening port, with patient retries for a port still held by someone else.
#include "sio.h"

#include <cerrno>
#include <ctime>

#include <sys/socket.h>

// Sleeps the whole time even when signals interrupt the sleep.
static void SleepSeconds(int seconds)
{
    struct timespec left {seconds, 0};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

// Pauses of 3, 6, 9, ... seconds between the attempts; nTries 0 or less tries for ever.
int SBind(int fd, int port, int nTries, int reuseFlag)
{
    if (reuseFlag != 0) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<unsigned short>(port));

    for (int attempt = 1;; attempt++) {
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0)
            return 0;
        if (nTries > 0 && attempt >= nTries)
            return -1;
        const int savedErrno = errno;
        SleepSeconds(3 * attempt);
        errno = savedErrno;
    }
}

int SListen(int fd, int backlog)
{
    return listen(fd, backlog);
}

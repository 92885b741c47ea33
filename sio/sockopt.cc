// Thin socket option wrappers; each returns the setsockopt/getsockopt result, 0 or -1,
// unless noted.
#include "sio.h"

#include <cerrno>
#include <fcntl.h>

#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

static int SetInt(int fd, int level, int option, int value)
{
    return setsockopt(fd, level, option, &value, sizeof(value));
}

static int GetInt(int fd, int level, int option, int *value)
{
    socklen_t len = sizeof(*value);
    return getsockopt(fd, level, option, value, &len);
}

// A size of 0 leaves that buffer alone; the send buffer is set first.
int SetSocketBufSize(int fd, size_t rsize, size_t ssize)
{
    int result = 0;
    if (ssize > 0 && SetInt(fd, SOL_SOCKET, SO_SNDBUF, static_cast<int>(ssize)) < 0)
        result = -1;
    if (rsize > 0 && SetInt(fd, SOL_SOCKET, SO_RCVBUF, static_cast<int>(rsize)) < 0)
        result = -1;
    return result;
}

// A null pointer skips that value; a failed query stores 0.
int GetSocketBufSize(int fd, size_t *rsize, size_t *ssize)
{
    int result = 0;
    int value = 0;
    if (rsize != nullptr) {
        if (GetInt(fd, SOL_SOCKET, SO_RCVBUF, &value) < 0) {
            value = 0;
            result = -1;
        }
        *rsize = static_cast<size_t>(value);
    }
    if (ssize != nullptr) {
        if (GetInt(fd, SOL_SOCKET, SO_SNDBUF, &value) < 0) {
            value = 0;
            result = -1;
        }
        *ssize = static_cast<size_t>(value);
    }
    return result;
}

// The server's own pair: asking to set nothing is an error.
int SetSockBufSize(int fd, size_t rsize, size_t ssize)
{
    if (rsize == 0 && ssize == 0) {
        errno = EINVAL;
        return -1;
    }
    return SetSocketBufSize(fd, rsize, ssize);
}

int GetSockBufSize(int fd, size_t *rsize, size_t *ssize)
{
    return GetSocketBufSize(fd, rsize, ssize);
}

// The value goes to TCP_NODELAY unchanged.
int SetSocketNagleAlgorithm(int fd, int onoff)
{
    return SetInt(fd, IPPROTO_TCP, TCP_NODELAY, onoff);
}

int GetSocketNagleAlgorithm(int fd)
{
    int value = 0;
    return GetInt(fd, IPPROTO_TCP, TCP_NODELAY, &value) < 0 ? -1 : value;
}

int SetSocketLinger(int fd, int onoff, int secs)
{
    struct linger l {};
    l.l_onoff = onoff;
    l.l_linger = secs;
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

// Returns the on/off value and stores the time when secs is not null.
int GetSocketLinger(int fd, int *secs)
{
    struct linger l {};
    socklen_t len = sizeof(l);
    if (getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len) < 0)
        return -1;
    if (secs != nullptr)
        *secs = l.l_linger;
    return l.l_onoff;
}

int SetSocketKeepAlive(int fd, int onoff)
{
    return SetInt(fd, SOL_SOCKET, SO_KEEPALIVE, onoff);
}

int SetSockErr(int fd, int err)
{
    return SetInt(fd, SOL_SOCKET, SO_ERROR, err);
}

// Returns the pending error, or -99 when it cannot be asked for.
int GetSockErr(int fd)
{
    int value = 0;
    return GetInt(fd, SOL_SOCKET, SO_ERROR, &value) < 0 ? -99 : value;
}

int SetTypeOfService(int fd, int tos)
{
    return SetInt(fd, IPPROTO_IP, IP_TOS, tos) < 0 ? -1 : 0;
}

int SetCloExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0)
        return -1;
    return fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

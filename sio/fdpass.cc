// One message with at most one descriptor over a local socket.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sio.h"

// One sendmsg of size bytes with fd attached (none when fd < 0), again
// after a signal: its result.
static ssize_t SendOne(int sock, const void *buf, size_t size, int fd, int flags)
{
    struct iovec iov = {const_cast<void *>(buf), size};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fd >= 0) {
        memset(control, 0, sizeof(control));
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

int SendWithFd(int sock, const void *buf, size_t size, int fd)
{
    const ssize_t n = SendOne(sock, buf, size, fd, MSG_NOSIGNAL);
    if (n < 0)
        return kSioErrSystem;
    if (static_cast<size_t>(n) < size) {
        // The descriptor went with the first byte; the rest follows plainly.
        const int rest = PWrite(sock, static_cast<const char *>(buf) + n, size - static_cast<size_t>(n));
        if (rest < 0)
            return rest;
    }
    return static_cast<int>(size);
}

int SendDatagramWithFd(int sock, const void *buf, size_t size, int fd)
{
    const ssize_t n = SendOne(sock, buf, size, fd, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n == static_cast<ssize_t>(size) ? static_cast<int>(size) : kSioErrSystem;
}

// Any descriptor beyond the first, or of another kind of message, is closed:
// the sender cannot leave us holding what we did not ask for.
static int TakeFd(struct msghdr *msg)
{
    int fd = -1;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int got;
            memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (fd < 0)
                fd = got;
            else
                close(got);
        }
    }
    return fd;
}

// One recvmsg into the parts of iov with room for a few descriptors: its
// result, *flags the message's flags, *fd the first descriptor.
static ssize_t RecvOne(int sock, struct iovec *iov, size_t parts, int *fd, int *flags)
{
    *fd = -1;
    struct msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = parts;
    alignas(struct cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return n;
    *fd = TakeFd(&msg);                 // none when it could not be taken (MSG_CTRUNC)
    *flags = msg.msg_flags;
    return n;
}

// One whole datagram into the parts of iov (RecvDatagramWithFd).
static int RecvDatagram(int sock, struct iovec *iov, size_t parts, int *fd)
{
    int flags = 0;
    const ssize_t n = RecvOne(sock, iov, parts, fd, &flags);
    if (n < 0)
        return kSioErrSystem;
    if ((flags & MSG_TRUNC) != 0) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
        errno = EMSGSIZE;
        return kSioErrSystem;
    }
    return static_cast<int>(n);
}

int RecvDatagramWithFd(int sock, void *buf, size_t size, int *fd)
{
    struct iovec iov = {buf, size};
    return RecvDatagram(sock, &iov, 1, fd);
}

int RecvDatagramWithFdSplit(int sock, void *head, size_t headSize, void *rest, size_t restSize, int *fd)
{
    struct iovec iov[2] = {{head, headSize}, {rest, restSize}};
    return RecvDatagram(sock, iov, 2, fd);
}

int RecvWithFd(int sock, void *buf, size_t size, int *fd)
{
    int flags = 0;
    struct iovec iov = {buf, size};
    const ssize_t n = RecvOne(sock, &iov, 1, fd, &flags);
    if (n < 0)
        return kSioErrSystem;
    if (n > 0 && static_cast<size_t>(n) < size) {
        const int rest = PRead(sock, static_cast<char *>(buf) + n, size - static_cast<size_t>(n), kSioWholeSize);
        if (rest < 0 || static_cast<size_t>(rest) != size - static_cast<size_t>(n)) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
            if (rest >= 0)
                errno = EPIPE;
            return kSioErrSystem;
        }
    }
    return n == 0 ? 0 : static_cast<int>(size);
}

// The session's side of the privileged channel: one request, one answer.
#include "base/privchan.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

#include "sio.h"

int gPrivChannel = -1;

namespace {

// The request's fixed part and the data it uses: the datagram the
// privileged side reads.
size_t RequestSize(const PrivRequest &req)
{
    const size_t used = req.length > 0 && static_cast<size_t>(req.length) <= kPrivDataMax
                            ? static_cast<size_t>(req.length)
                            : 0;
    return offsetof(PrivRequest, data) + used;
}

int SendRequest(const PrivRequest &req, int fd)
{
    return SendWithFd(gPrivChannel, &req, RequestSize(req), fd) < 0 ? -1 : 0;
}

}  // namespace

int PrivCall(const PrivRequest &req, int fd)
{
    PrivAnswer answer {};
    return PrivCallAnswer(req, fd, &answer);
}

int PrivCallAnswer(const PrivRequest &req, int fd, PrivAnswer *out)
{
    // A call that a signal's jump left unanswered leaves its answer behind:
    // the sequence number tells it from this call's.
    static uint32_t sSeq;
    if (gPrivChannel < 0) {
        errno = EPERM;
        return -1;
    }
    PrivRequest numbered = req;
    numbered.seq = ++sSeq;
    if (SendRequest(numbered, fd) < 0) {
        errno = EPIPE;
        return -1;
    }
    PrivAnswer &answer = *out;
    answer = PrivAnswer {};
    for (;;) {
        const ssize_t n = recv(gPrivChannel, &answer, sizeof(answer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof(answer))) {
            errno = EPIPE;
            return -1;
        }
        if (answer.seq == numbered.seq)
            break;
    }
    if (answer.rc < 0) {
        errno = answer.err > 0 ? answer.err : EPERM;
        return -1;
    }
    return 0;
}

void PrivSessionDone()
{
    if (gPrivChannel < 0)
        return;
    PrivRequest req {};
    req.op = kPrivSessionDone;
    (void) SendRequest(req, -1);
}

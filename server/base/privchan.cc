// The session's side of the privileged channel: one request, one answer.
#include "base/privchan.h"

#include <sys/socket.h>
#include <unistd.h>

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

// One request and its answer; *received the descriptor that came with a
// successful answer when the caller takes one (nullptr: none is taken).
int Call(const PrivRequest &req, int fd, PrivAnswer *out, int *received)
{
    // A call that a signal's jump left unanswered leaves its answer behind
    // (with its descriptor): the sequence number tells it from this call's.
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
    int came = -1;
    for (;;) {
        const int n = RecvDatagramWithFd(gPrivChannel, &answer, sizeof(answer), &came);
        if (n == static_cast<int>(sizeof(answer)) && answer.seq == numbered.seq)
            break;
        if (came >= 0)
            close(came);        // an earlier call's, or a broken answer's
        if (n != static_cast<int>(sizeof(answer))) {
            errno = EPIPE;
            return -1;
        }
    }
    if (answer.rc < 0 || received == nullptr) {
        if (came >= 0)
            close(came);        // nothing comes with a refusal, nor is taken unasked
        if (answer.rc < 0) {
            errno = answer.err > 0 ? answer.err : EPERM;
            return -1;
        }
        return 0;
    }
    if (came < 0) {
        errno = EPROTO;
        return -1;
    }
    *received = came;
    return 0;
}

}  // namespace

int PrivCall(const PrivRequest &req, int fd)
{
    PrivAnswer answer {};
    return Call(req, fd, &answer, nullptr);
}

int PrivCallAnswer(const PrivRequest &req, int fd, PrivAnswer *out)
{
    return Call(req, fd, out, nullptr);
}

int PrivCallForFd(const PrivRequest &req, int *received)
{
    PrivAnswer answer {};
    return Call(req, -1, &answer, received);
}

void PrivSessionDone()
{
    if (gPrivChannel < 0)
        return;
    PrivRequest req {};
    req.op = kPrivSessionDone;
    (void) SendRequest(req, -1);
}

// Sending one event message: the frame, then the queue (as root for the call
// when the session runs as its user) or the UDP socket.  A failure never
// reaches the session: it is logged and the message is dropped.
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/exit.h"
#include "base/privchan.h"
#include "base/process.h"
#include "events/eventframe.h"
#include "events/events.h"
#include "log/log.h"
#include "sio.h"
#include "status/shm.h"

namespace {

constexpr int kSendSeconds = 3;                 // time limit of a UDP send
constexpr time_t kQueueErrorInterval = 300;     // seconds between two logged queue failures

// A session's own process has no right to a queue only root may write: the
// pool child queues the frame for it.  1 when this process sends itself.
int PrivQueueSend(const EventQueueMessage &m, size_t size)
{
    if (gPrivChannel < 0)
        return 1;
    PrivRequest req {};
    req.op = kPrivQueueEvent;
    if (size > kEventFrameSize)
        size = kEventFrameSize;
    req.data[0] = static_cast<char>(m.type);
    memcpy(req.data + 1, m.text, size);
    req.length = static_cast<int32_t>(size + 1);
    return PrivCall(req, -1);
}

void QueueSend(const EventQueueMessage &m, size_t size)
{
    int rc = PrivQueueSend(m, size);
    if (rc > 0)
        rc = msgsnd(gEventMessageQueueID, &m, size, IPC_NOWAIT);
    const int err = errno;
    if (rc == 0)
        return;
    const time_t now = ShmTime(nullptr);
    if (now < gNextEventErr)
        return;
    gNextEventErr = now + kQueueErrorInterval;
    const unsigned key = static_cast<unsigned>(gEventMessageQueueKey);
    if (err == EAGAIN) {
        Log(kLogMisc, "Event message could not be queued to message queue (key = %08x): the queue is full.\n", key);
    } else {
        errno = err;
        LogPerror("Event message could not be queued to message queue (key = %08x)", key);
    }
}

void UdpSend(const char *text, size_t size)
{
    if (SSend(gEventSocket, text, size, 0, kSendSeconds) >= 0)
        return;
    char addr[64];
    AddrToAddrStr(addr, sizeof(addr), &gEventServerAddr, 0, nullptr);
    LogPerror("send to event server %.63s failed", addr);
}

}  // namespace

void EventMessageSend(char type, const char *fmt, ...)
{
    const int savedErrno = errno;
    EventQueueMessage m;
    m.type = static_cast<unsigned char>(type);
    char *body = m.text + kEventFrameHeaderSize;
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(body, kEventBodyMax + 1, fmt, ap);
    va_end(ap);
    if (n < 0) {
        errno = savedErrno;
        return;
    }
    const size_t bodyLen = static_cast<size_t>(n) > kEventBodyMax ? kEventBodyMax : static_cast<size_t>(n);
    FillEventFrameHeader(m.text, bodyLen);
    const size_t size = bodyLen + kEventFrameOverhead;     // the NUL vsnprintf wrote is the last byte

    if (gEventMessageQueueID >= 0)
        QueueSend(m, size);
    else if (gEventSocket >= 0)
        UdpSend(m.text, size);
    errno = savedErrno;
}

// Sending one event message: the frame, then the queue (as root for the call
// when the session runs as its user) or the UDP socket.  A failure never
// reaches the session: it is logged and the message is dropped.
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "base/exit.h"
#include "base/process.h"
#include "events/eventframe.h"
#include "events/events.h"
#include "log/log.h"
#include "sio.h"
#include "status/shm.h"

namespace {

constexpr int kSendSeconds = 3;                 // time limit of a UDP send
constexpr time_t kQueueErrorInterval = 300;     // seconds between two logged queue failures

// The queue may allow only root: a process that started as root and now runs
// as its user sends with root's effective uid and switches back; a failed
// switch back ends the process.
class RootForTheQueue {
  public:
    RootForTheQueue() : saved_(geteuid())
    {
        if (!gRunningAsRoot || saved_ == 0)
            return;
        if (seteuid(0) < 0) {
            LogPerror("msgsnd: setEuid(0) (eu=%d, ru=%u)", static_cast<int>(saved_), static_cast<unsigned>(getuid()));
            return;
        }
        held_ = true;
    }
    ~RootForTheQueue()
    {
        if (held_ && seteuid(saved_) < 0) {
            LogPerror("msgsnd: cannot restore euid %d (eu=%u, ru=%u)", static_cast<int>(saved_),
                      static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
            Exit(1);
        }
    }
    RootForTheQueue(const RootForTheQueue &) = delete;
    RootForTheQueue &operator=(const RootForTheQueue &) = delete;

  private:
    uid_t saved_;
    bool held_ = false;
};

void QueueSend(const EventQueueMessage &m, size_t size)
{
    int rc, err;
    {
        RootForTheQueue root;
        rc = msgsnd(gEventMessageQueueID, &m, size, IPC_NOWAIT);
        err = errno;
    }
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

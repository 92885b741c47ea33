// The channel between a logged-in session and the privileged part of its
// pool child.  After a login the session runs in a process of its own with
// only the user's rights; the few things it may still not do itself (have
// a data socket on the port below the control port, give an anonymous
// upload to its configured owner, set that upload's times, queue an event
// for a root-only queue, write the tables the sessions share) it asks over
// this channel.  The privileged side decides each request from what it
// knows itself and checks every field; the session only names the
// operation and passes the object (a descriptor), never a path or an
// identity the privileged side would believe.  An answer is one fixed
// record, with a descriptor of the privileged side's own for the one
// request that asks for it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

enum PrivOp : int32_t {
    kPrivBindDataPort = 1,  // no object; the answer brings a socket bound to the control address, port minus one
    kPrivChown = 2,         // give the passed object to its configured owner
    kPrivSetTimes = 3,      // set the times of the passed file (an upload given away before)
    kPrivQueueEvent = 4,    // queue the event frame in data
    kPrivSessionDone = 5,   // the session ended in order; no answer
    kPrivLogin = 6,         // a login word of the front (session/prelogin.h: its own record and answer)
    kPrivPublishSlot = 7,   // the process recorded something in its slot: it is published
    kPrivDomainTotals = 8,  // a transfer ended: uid 1 for an upload, gid its bytes
    kPrivQuotaFind = 9,     // the user's shared quota record, kept by another session
    kPrivQuotaInstall = 10, // the measured usage (uid bytes, gid files) for the user's record
    kPrivQuotaCharge = 11,  // data: a QuotaCharge; the answer: the usage and what was granted
    kPrivQuotaRelease = 12, // the session no longer uses the user's record
    kPrivDirChanged = 13,   // uid device, gid inode: a directory changed (its generation moves on)
    kPrivAreaLock = 14,     // uid 1: try the lock of the session's area once; 0: give it back
};

// kPrivQuotaCharge's data.
struct QuotaCharge {
    int64_t bytes, files;   // deltas
    int64_t want;           // bytes to reserve, never past the hard limit
    int64_t wantFiles;      // files to reserve, all or none, never past the hard limit
};

constexpr size_t kPrivDataMax = 1040;   // an event frame and its type

struct PrivRequest {
    int32_t op;
    int32_t length;                     // bytes of data used
    uint32_t seq;                       // echoed in the answer
    int32_t unused;
    int64_t uid, gid;                   // kPrivChown: the owner the session asks for
    struct timespec times[2];           // kPrivSetTimes
    char data[kPrivDataMax];
};

static_assert(offsetof(PrivRequest, data) == 64, "the record's layout is fixed");

struct PrivAnswer {
    uint32_t seq;                       // the request's
    int32_t rc;                         // 0 or -1
    int32_t err;                        // errno when rc is -1
    int32_t unused;
    int64_t value[4];                   // the quota requests: bytes, files, bytes and files granted
};

// The session's end of the channel; -1 in a process that holds its own
// rights (the pool child before a login, the master, a server not started
// as root).
extern int gPrivChannel;

// Sends req (and fd when >= 0) and waits for the answer: its rc, with errno
// set from it.  -1 with EPIPE when the privileged side is gone.
[[nodiscard]] int PrivCall(const PrivRequest &req, int fd);
// The same, with the whole answer in *answer.
[[nodiscard]] int PrivCallAnswer(const PrivRequest &req, int fd, PrivAnswer *answer);
// The same for a request whose answer brings a descriptor: *received (the
// caller's to close) when it succeeded; -1 with EPROTO when none came.  A
// descriptor that comes with any other answer is closed.
[[nodiscard]] int PrivCallForFd(const PrivRequest &req, int *received);

// Tells the privileged side that the session ended in order.
void PrivSessionDone();

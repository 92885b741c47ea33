// Data connections: PORT, PASV, EPRT, EPSV, OpenData, CloseData and the checks on the
// data channel's peer.
#include "transfer/data.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/privchan.h"
#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "base/exit.h"
#include "log/log.h"
#include "proxy/proxyread.h"
#include "base/process.h"
#include "session/shell.h"
#include "status/shm.h"
#include "tls/tls.h"
#include "transfer/tlsdata.h"
#include "transfer/xferlog.h"
#include "sio.h"
#include "base/clock.h"

SioAddr gLocalDataAddr;
SioAddr gRemoteDataAddr;
unsigned (*gDataSleep)(unsigned seconds) = sleep;

namespace {

constexpr int kPortArgCopy = 63;           // characters of a PORT argument looked at
constexpr int kQuickClose = 3;             // seconds to close a socket after a failure
constexpr int kOldListenerClose = 1;
constexpr int kEprtFieldSize = 64;         // longest EPRT field looked at, with its end

bool AllDigits(const char *text)
{
    return text[0] != '\0' && strspn(text, "0123456789") == strlen(text);
}

// Out of descriptors: the report, then the process ends.
[[noreturn]] void OutOfDescriptors()
{
    LeakReport();
    Exit(4);
}

// Closes the data connection; one that carried everything says so first
// under TLS (orderly: close_notify).  -1 when that could not be said.
int CloseDataSocket(bool orderly = false)
{
    int rc = 0;
    if (TlsActive(kTlsData)) {
        if (!orderly) {
            TlsDrop(kTlsData);
        } else if (TlsShutdown(kTlsData, kDataCloseTimeout) < 0) {
            Log(kLogMisc, "TLS close_notify on the data connection to %.63s failed: %s.\n", gRemoteDataAddrStr,
                TlsLastError());
            rc = -1;
        }
    }
    if (gData < 0)
        return rc;
    if (SClose(gData, kDataCloseTimeout) < 0)
        LogPerror("Could not close data connection");
    else
        _Trace(kLogMisc, "Data connection closed.\n");
    gData = -1;
    return rc;
}

// The text and loopback flag of the data peer ("[...]:port" for IPv6).
void NoteRemoteDataAddr()
{
    AddrToAddrStr(gRemoteDataAddrStr, sizeof(gRemoteDataAddrStr), &gRemoteDataAddr, 0, nullptr);
    gRemoteDataAddrIsLoopback = AddrIsLoopback(&gRemoteDataAddr);
}

int ControlIsLoopback()
{
    return AddrIsLoopback(&gRemoteCtrlAddr);
}

// A socket of the control connection's family; an IPv6 one reaches IPv6
// alone (an IPv4-mapped address must not get round the IPv4 checks).
int DataSocket()
{
    const int family = gLocalCtrlAddr.sa.sa_family;
    const int fd = socket(family, SOCK_STREAM, 0);
    const int on = 1;
    if (fd >= 0 && family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

[[noreturn]] void EndSession(int fd, int reason)
{
    if (fd >= 0)
        close(fd);
    DoneConnection(reason);
}

// Root for one bind to the control port minus one, when the server started
// as root.  The destructor only switches back and records a failure in
// *restoreFailed; whether the session can go on is decided by the caller
// once the guard is gone.
class RootForDataPort {
  public:
    explicit RootForDataPort(bool *restoreFailed) : restoreFailed_(restoreFailed)
    {
        if (getuid() != 0 || geteuid() == 0)
            return;
        savedEuid_ = geteuid();
        if (seteuid(0) < 0)
            LogPerror("setEuid(0) (eu=%d, ru=%u)", static_cast<int>(geteuid()), static_cast<unsigned>(getuid()));
        else
            switched_ = true;
    }
    ~RootForDataPort()
    {
        if (switched_ && seteuid(savedEuid_) < 0) {
            LogPerror("cannot restore euid %d (eu=%u, ru=%u)", static_cast<int>(savedEuid_),
                      static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
            *restoreFailed_ = true;
        }
    }
    RootForDataPort(const RootForDataPort &) = delete;
    RootForDataPort &operator=(const RootForDataPort &) = delete;

    bool held() const { return geteuid() == 0; }

  private:
    bool *restoreFailed_;
    bool switched_ = false;
    uid_t savedEuid_ = 0;
};

// The 227 reply for the listening socket.
void AnnouncePassive()
{
    in_addr_t addr = gLocalDataAddr.in.sin_addr.s_addr;
    if (gCurDomain != nullptr && gCurDomain->passiveIP != INADDR_NONE && gCurDomain->passiveIP != 0)
        addr = gCurDomain->passiveIP;
    else if (gPassiveIP != INADDR_NONE && gPassiveIP != 0)
        addr = gPassiveIP;
    char text[64];
    PassiveAddressText(text, sizeof(text), addr, static_cast<unsigned>(SioAddrPort(&gLocalDataAddr)));
    Reply("227 Entering Passive Mode (%s)\r\n", text);
}

// The 229 reply: only the port, the client reuses the control connection's address.
void AnnounceExtendedPassive()
{
    Reply("229 Entering Extended Passive Mode (|||%u|)\r\n", static_cast<unsigned>(SioAddrPort(&gLocalDataAddr)));
}

enum class PassiveStep { kSocket, kBind, kListen, kGetsockname };

// A failed step of making the listening socket: logged, answered, closed.
void PassiveFailed(int fd, int oldfd, PassiveStep step)
{
    const int err = errno;
    const char *text = strerror(err);
    switch (step) {
    case PassiveStep::kSocket:
        LogPerror("socket");
        Reply("550 Passive mode failed: socket: %.420s\r\n", text);
        break;
    case PassiveStep::kBind:
        LogPerror("bind");
        Reply("550 Passive mode failed: bind: %.420s\r\n", text);
        break;
    case PassiveStep::kListen:
        LogPerror("listen");
        Reply("550 Passive mode failed: listen: %.420s\r\n", text);
        break;
    case PassiveStep::kGetsockname:
        LogPerror("getsockname");
        Reply("550 Passive mode failed: getsockname: %.420s\r\n", text);
        break;
    }
    if (fd >= 0)
        SClose(fd, kQuickClose);
    if (oldfd >= 0)
        SClose(oldfd, kOldListenerClose);
}

// Why a connection to the passive port was turned away.  The first to
// connect may be anyone who saw the port: such a stranger is dropped and
// the wait goes on for the client's own connection; only when none comes
// before the accept time-out does the last refusal become the reply.
enum class Refusal { kNone, kLowPort, kOtherHost, kTlsFailed, kTlsNotResumed };

// The checks on a passive connection's peer, before any reply: logged, not answered.
Refusal CheckPassivePeer(const SioAddr &peer)
{
    const unsigned port = static_cast<unsigned>(SioAddrPort(&peer));
    if (gIsAnon && port < 1024 && !gAllowIncomingPortsBelow1024) {
        Log(kLogMisc, "Port number (%u) on data connection was below 1024.\n", port);
        return Refusal::kLowPort;
    }
    if (!SioAddrSameHost(&peer, &gRemoteCtrlAddr) && !gAllowIncomingProxyDataConnections) {
        if (gAllowProxyWhenControlOriginatesFromLoopback && ControlIsLoopback()) {
            _Trace(kLogMisc, "Loopback user allowed to proxy.\n");
        } else {
            char data[kSioAddrTextSize], ctrl[kSioAddrTextSize];
            Log(kLogMisc, "Data connection (%s) is not from same host as control connection (%s)\n",
                SioAddrText(data, sizeof(data), &peer), SioAddrText(ctrl, sizeof(ctrl), &gRemoteCtrlAddr));
            return Refusal::kOtherHost;
        }
    }
    return Refusal::kNone;
}

// A balancer on the proxy-protocol-from list begins a passive connection
// it forwards with a PROXY header, as it does the control connection: the
// client it names becomes *peer, and the checks then apply to that client.
// Other peers are left as they are, without a read.  -1 when the header is
// not whole and valid within a few seconds (logged).
constexpr int kDataProxyHeaderSeconds = 5;

int TakeDataProxyHeader(int fd, SioAddr *peer)
{
    if (gNumProxyFrom == 0 || SioAddrIsV6(peer) || !ProxyNetsHold(gProxyFrom, gNumProxyFrom, peer->in.sin_addr.s_addr))
        return 0;
    ProxySource src;
    const int rc = ReadProxyHeader(fd, time(nullptr) + kDataProxyHeaderSeconds, &src);
    if (rc < 0) {
        char from[kSioAddrTextSize];
        Log(kLogMisc, "PROXY header on a data connection from %s refused: %s.\n",
            SioAddrText(from, sizeof(from), peer), rc == -2 ? "not whole in time" : "malformed");
        return -1;
    }
    if (src.haveSource)
        *peer = src.source;
    return 0;
}

// The peer checks of a connection just accepted from the passive socket,
// after the header a trusted balancer sends.
Refusal CheckAcceptedPeer(int fd, SioAddr *peer)
{
    return TakeDataProxyHeader(fd, peer) < 0 ? Refusal::kOtherHost : CheckPassivePeer(*peer);
}

// No acceptable connection came in time: the reply of the last refusal
// (policy refusals end the session), or the time-out's.
int FailPassive(Refusal last)
{
    switch (last) {
    case Refusal::kLowPort:
        gFailedDataConnections++;
        gDataSleep(2);
        Reply("550 Remote port numbers below 1024 are not allowed here.\r\n");
        DoneConnection(kEndPasvLowPort);
    case Refusal::kOtherHost:
        gFailedDataConnections++;
        gDataSleep(2);
        Reply("550 Passive connection must come from same host as control connection.\r\n");
        DoneConnection(kEndPasvProxy);
    case Refusal::kTlsFailed:
        ReplyDataTlsRefused(kDataTlsFailed);
        return -1;
    case Refusal::kTlsNotResumed:
        ReplyDataTlsRefused(kDataTlsNotResumed);
        return -1;
    case Refusal::kNone:
        break;
    }
    gFailedDataConnections++;
    _Trace(kLogMisc, "Accept passive timed-out.\n");
    Reply("550 Could not accept passive data connection - timed out.\r\n");
    DoneConnection(kEndPasvAcceptTimeout);
}

long long MonotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec);
}

void AnnounceAccepted(const char *name, int64_t size)
{
    if (name != nullptr && size >= 0)
        Reply("150 Data connection accepted from %.80s; transfer starting for %.350s (%lld bytes).\r\n",
              gRemoteDataAddrStr, name, static_cast<long long>(size));
    else
        Reply("150 Data connection accepted from %.80s; transfer starting.\r\n", gRemoteDataAddrStr);
}

// One connection from the passive socket within seconds: its descriptor
// with the peer checked (Refusal::kNone) or turned away and closed (-1 and
// *why), or kSioErrTimeout.  A failure of accept itself ends the session.
int AcceptOne(int seconds, SioAddr *peer, Refusal *why)
{
    const int fd = SAcceptS(gPassiveData, peer, seconds);
    if (fd == kSioErrTimeout)
        return fd;
    if (fd < 0) {
        gFailedDataConnections++;
        const int err = errno;
        LogPerror("Can't accept passive");
        Reply("550 Cannot accept passive data connection.\r\n");
        if (err == EMFILE)
            OutOfDescriptors();
        DoneConnection(kEndPasvAcceptFailed);
    }
    *why = CheckAcceptedPeer(fd, peer);
    gRemoteDataAddr = *peer;
    NoteRemoteDataAddr();
    if (*why != Refusal::kNone) {
        SClose(fd, kQuickClose);
        return -1;
    }
    SetCloExec(fd);
    return fd;
}

// ---- Connections to the passive port, taken as they come ------------------

// Connections from the passive socket that passed the peer checks and wait
// to become the data connection.  A client may connect as soon as it has
// the port, long before its transfer command, and so may anyone who saw the
// port: the socket is watched while the session waits for a command, so
// that strangers are turned away at once and a few silent ones cannot fill
// the listen queue the client's own connection waits in.  Under PROT P a
// slot's number is also its handshake's (tls/tls.h).
struct Pending {
    int fd = -1;
    SioAddr peer {};
    unsigned long seq = 0;          // the order of arrival
    bool hello = false;             // its handshake has begun
    short events = POLLIN;          // what the handshake waits for
    long long helloEndMs = 0;       // 0 until the transfer command: then its hello's limit
    long long acceptedMs = 0;
};
constexpr int kMaxPending = kTlsCandidates;
// A client sends its whole hello at once, right after the 150; a connection
// that has not finished one this long after the transfer command (or after
// it came, if later) is a stranger's and gives its slot up.
constexpr long long kHelloMs = 5000;

Pending gPending[kMaxPending];
unsigned long gPendingSeq;
bool gHelloClock;                   // the transfer command came: hellos are timed
// When the 150 went out (0: not yet).  The client's hello follows it within
// a round trip; with every place taken and more connections queued, one
// still silent this long after the 150 (or its arrival, if later) makes room.
long long gAnnouncedMs;
constexpr long long kSilentUnderPressureMs = 1000;
// The last stranger turned away from this passive socket: its refusal is
// the reply when the client's own connection never comes.
Refusal gPassiveRefusal = Refusal::kNone;

void DropPending(int i)
{
    TlsCandidateDrop(i);
    if (gPending[i].fd >= 0)
        SClose(gPending[i].fd, 0);
    gPending[i] = Pending{};
}

// A slot not taken since it was last dropped (no socket, no place in the
// order of arrival) is left as it is: a pool child drops them all for each
// new client, and their page stays shared.
void DropAllPending()
{
    for (int i = 0; i < kMaxPending; i++) {
        if (gPending[i].fd >= 0 || gPending[i].seq != 0)
            DropPending(i);
        else
            TlsCandidateDrop(i);
    }
}

// The slot waiting longest (-1: none); with onlySilent, among those whose
// handshake has not begun.
int OldestPending(bool onlySilent = false)
{
    int oldest = -1;
    for (int i = 0; i < kMaxPending; i++) {
        const Pending &q = gPending[i];
        if (q.fd >= 0 && !(onlySilent && q.hello) && (oldest < 0 || q.seq < gPending[oldest].seq))
            oldest = i;
    }
    return oldest;
}

int FreePendingSlot()
{
    for (int i = 0; i < kMaxPending; i++)
        if (gPending[i].fd < 0)
            return i;
    return -1;
}

// Under PROT P with every slot taken no more connections are accepted: they
// wait in the listen queue in their order, and none that already waits is
// pushed out (strangers that came first give their slots up when their
// hellos time out).
bool PendingFull()
{
    return gProtPrivate && FreePendingSlot() < 0;
}

// A connection that passed the checks joins the waiting ones.  In the clear
// the first is the data connection and later ones are not needed.
void KeepPending(int fd, const SioAddr &peer)
{
    const int slot = FreePendingSlot();
    if (slot < 0 || (!gProtPrivate && OldestPending() >= 0)) {
        SClose(fd, 0);
        return;
    }
    gPending[slot].fd = fd;
    gPending[slot].peer = peer;
    gPending[slot].seq = ++gPendingSeq;
    gPending[slot].acceptedMs = MonotonicMillis();
    gPending[slot].helloEndMs = gHelloClock ? gPending[slot].acceptedMs + kHelloMs : 0;
}

void UsePeer(const SioAddr &peer)
{
    gRemoteDataAddr = peer;
    NoteRemoteDataAddr();
}

// Every place taken, more connections queued behind them, the 150 out: the
// connections that have stayed silent a round trip's grace since give
// their places up, so that a crowd of silent strangers that came first
// cannot keep the client's connection waiting in the queue for long.
void PushOutSilent(long long nowMs, Refusal *last)
{
    struct pollfd queued = {gPassiveData, POLLIN, 0};
    if (gAnnouncedMs == 0 || !PendingFull() || poll(&queued, 1, 0) != 1)
        return;
    for (int i = 0; i < kMaxPending; i++) {
        const Pending &q = gPending[i];
        if (q.fd >= 0 && !q.hello && std::max(q.acceptedMs, gAnnouncedMs) + kSilentUnderPressureMs <= nowMs) {
            UsePeer(q.peer);
            NoteDataTlsFailed("timed out");
            DropPending(i);
            *last = Refusal::kTlsFailed;
        }
    }
}

// One connection from the passive socket within seconds into the waiting
// ones (0), or turned away (-1), or kSioErrTimeout.
int AcceptPending(int seconds)
{
    SioAddr peer {};
    const int fd = AcceptOne(seconds, &peer, &gPassiveRefusal);
    if (fd >= 0)
        KeepPending(fd, peer);
    return fd >= 0 ? 0 : fd;
}

// Clear data: the first connection that passes the peer checks is the client's.
int AcceptPassiveClear(const char *name, int64_t size, long long deadline, const char *verb, const char *path)
{
    for (;;) {
        const int i = OldestPending();
        if (i >= 0) {
            UsePeer(gPending[i].peer);
            gData = gPending[i].fd;
            gPending[i].fd = -1;
            DropPending(i);
            if (verb != nullptr)
                ShowTransferInSlot(verb, path);
            AnnounceAccepted(name, size);
            return gData;
        }
        const long long left = deadline - MonotonicSeconds();
        if (left <= 0 || AcceptPending(static_cast<int>(left)) == kSioErrTimeout)
            return FailPassive(gPassiveRefusal);
    }
}

// One step of slot i's handshake: 0 when it is done and resumed the control
// connection's session (it is then gData), 1 while it goes on or after it
// was refused (why in *last).
int StepPending(int i, Refusal *last)
{
    Pending &q = gPending[i];
    if (!q.hello) {
        q.hello = true;
        if (TlsCandidateStart(i, q.fd) < 0) {
            UsePeer(q.peer);
            NoteDataTlsFailed(TlsLastError());
            DropPending(i);
            *last = Refusal::kTlsFailed;
            return 1;
        }
    }
    const int r = TlsCandidateStep(i, &q.events);
    if (r == 0)
        return 1;
    UsePeer(q.peer);
    if (r == kTlsNotResumed) {
        NoteDataTlsNotResumed();
        DropPending(i);
        *last = Refusal::kTlsNotResumed;
        return 1;
    }
    if (r < 0) {
        NoteDataTlsFailed(TlsLastError());
        DropPending(i);
        *last = Refusal::kTlsFailed;
        return 1;
    }
    TlsCandidateAdopt(i);
    gData = q.fd;
    q.fd = -1;
    DropPending(i);
    if (CheckDataTlsResumed() == 0)
        return 0;
    *last = Refusal::kTlsNotResumed;
    return 1;
}

// Connections silent or stalled in their hellos past their time: their
// slots freed.  The earliest end of the others, or limitMs.
long long ExpireHellos(long long nowMs, long long limitMs, Refusal *last)
{
    for (int i = 0; i < kMaxPending; i++) {
        Pending &q = gPending[i];
        if (q.fd < 0 || q.helloEndMs == 0)
            continue;
        if (q.helloEndMs <= nowMs) {
            UsePeer(q.peer);
            NoteDataTlsFailed("timed out");
            DropPending(i);
            *last = Refusal::kTlsFailed;
        } else if (q.helloEndMs < limitMs) {
            limitMs = q.helloEndMs;
        }
    }
    return limitMs;
}

// Under PROT P only the handshake tells the client's own connection from a
// stranger's, and a client sends its hello only after the 150.  So every
// connection waits in a slot until it speaks, every handshake moves on as
// its bytes come, side by side, and the first to resume the control
// connection's session is the data connection: strangers that connect
// first, say nothing or stall their hello hold up no one.
int AcceptPassiveTls(const char *name, int64_t size, long long deadline)
{
    Refusal last = gPassiveRefusal;
    bool announced = false;
    const long long endMs = MonotonicMillis() + (deadline - MonotonicSeconds()) * 1000;
    gHelloClock = true;
    for (Pending &q : gPending)
        if (q.fd >= 0)
            q.helloEndMs = MonotonicMillis() + kHelloMs;
    for (;;) {
        const int oldest = OldestPending();
        if (!announced && oldest >= 0) {
            UsePeer(gPending[oldest].peer);
            AnnounceAccepted(name, size);
            announced = true;
            gAnnouncedMs = MonotonicMillis();
        }
        const long long now = MonotonicMillis();
        PushOutSilent(now, &last);
        long long until = ExpireHellos(now, endMs, &last);
        if (now >= endMs)
            break;
        if (announced && PendingFull())
            until = std::min(until, now + 100);     // under pressure: look again soon
        struct pollfd p[kMaxPending + 1];
        int slotOf[kMaxPending + 1];
        nfds_t n = 0;
        p[n++] = {PendingFull() ? -1 : gPassiveData, POLLIN, 0};
        for (int i = 0; i < kMaxPending; i++) {
            if (gPending[i].fd >= 0) {
                slotOf[n] = i;
                p[n++] = {gPending[i].fd, gPending[i].events, 0};
            }
        }
        if (poll(p, n, static_cast<int>(until - now)) <= 0)
            continue;                   // the clock decides
        for (nfds_t j = 1; j < n; j++)
            if (p[j].revents != 0 && StepPending(slotOf[j], &last) == 0)
                return gData;
        if (p[0].revents != 0 && AcceptPending(1) == -1)
            last = gPassiveRefusal;
    }
    const int silent = OldestPending();
    if (silent >= 0) {
        UsePeer(gPending[silent].peer);
        NoteDataTlsFailed("timed out");
        last = Refusal::kTlsFailed;
    }
    return FailPassive(last);
}

}  // namespace

int PassiveWatchFd()
{
    return gPassive && gPassiveData >= 0 && !PendingFull() ? gPassiveData : -1;
}

int TakeEarlyPassive()
{
    for (int i = 0; i < kMaxPending && gPassiveData >= 0; i++) {
        if (PendingFull())
            return -1;                  // the rest wait in the listen queue
        struct pollfd p = {gPassiveData, POLLIN, 0};
        if (poll(&p, 1, 0) != 1)
            return 0;
        SioAddr peer {};
        socklen_t len = sizeof(peer);
        const int fd = accept4(gPassiveData, &peer.sa, &len, SOCK_CLOEXEC);
        if (fd < 0)
            return -1;                  // the transfer command meets the failure again
        const Refusal why = CheckAcceptedPeer(fd, &peer);
        if (why == Refusal::kNone) {
            KeepPending(fd, peer);
        } else {
            gPassiveRefusal = why;
            SClose(fd, 0);
        }
    }
    return 0;
}

namespace {

// The passive side of OpenData: the waiting connections and those still to
// come are checked (and under PROT P their TLS sessions) until the
// client's own connection is found or conn-timeout has passed since the
// transfer command.
int AcceptPassive(const char *name, int64_t size, const char *verb, const char *path)
{
    Strncpy(gDataPortType, "Ps");
    if (gPassiveData < 0) {
        Reply("550 Cannot open passive data connection.\r\n");
        DoneConnection(kEndPasvNoSocket);
    }
    const long long deadline = MonotonicSeconds() + gConnTimeout;
    const int fd = gProtPrivate ? AcceptPassiveTls(name, size, deadline)
                                : AcceptPassiveClear(name, size, deadline, verb, path);
    DropAllPending();
    gHelloClock = false;
    gAnnouncedMs = 0;
    gPassiveRefusal = Refusal::kNone;
    if (fd >= 0) {
        SClose(gPassiveData, kDataCloseTimeout);
        gPassiveData = -1;
    }
    return fd;
}

// What an active data socket is given before it connects: the session's
// own, and one the pool child bound for it alike.
void PrepareActiveSocket(int fd)
{
    SetCloExec(fd);
    SetDataSocketBufferSizes(fd);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

// Binds the active socket *fd to the control connection's address and the
// control port minus one, with the configured retries.  A session's own
// process cannot: the pool child makes a socket bound there for it, which
// takes the place of *fd.  Otherwise root is held for each bind alone,
// never across a log line, the sleep between attempts or a reply.  False
// when it did not bind (also without root); *restoreFailed when the user's
// identity could not be restored.
bool BindControlPortMinusOne(int *fd, SioAddr *local, bool *restoreFailed)
{
    *local = gLocalCtrlAddr;
    const unsigned port = static_cast<unsigned>(SioAddrPort(&gLocalCtrlAddr)) - 1;
    SioAddrSetPort(local, static_cast<int>(port));
    const unsigned attempts = static_cast<unsigned>(gBindLocalDataPortRetries > 0 ? gBindLocalDataPortRetries : 0) + 1;
    for (unsigned attempt = 1; attempt <= attempts; attempt++) {
        int rc, err;
        if (gPrivChannel >= 0) {
            PrivRequest req {};
            req.op = kPrivBindDataPort;
            int bound = -1;
            rc = PrivCallForFd(req, &bound);
            err = errno;
            if (rc < 0 && err == EPIPE)
                return false;
            if (rc == 0) {
                PrepareActiveSocket(bound);
                close(*fd);
                *fd = bound;
            }
        } else {
            RootForDataPort root(restoreFailed);
            if (!root.held())
                return false;
            rc = bind(*fd, &local->sa, SioAddrLen(local));
            err = errno;
        }
        if (*restoreFailed)
            return false;
        if (rc == 0)
            return true;
        const unsigned delay = attempt < attempts ? static_cast<unsigned>(gBindLocalDataPortDelay) : 0;
        errno = err;
        LogPerror("bind data connection to port %u failed (attempt #%u of %u for user \"%.63s\", delay=%u)", port,
                  attempt, attempts, gRUserPtr->user, delay);
        if (attempt < attempts) {
            _Trace(kLogMisc, "  sleep %u\n", delay);
            gDataSleep(delay);
        }
    }
    return false;
}

void TraceAddresses(int fd)
{
    if (gTraceLogging < 2)
        return;
    SioAddr local {};
    socklen_t len = sizeof(local);
    getsockname(fd, &local.sa, &len);
    char text[64];
    Log(kLogMisc, "ctrl local:  %s\n", AddrToAddrStr(text, sizeof(text), &gLocalCtrlAddr, 0, nullptr));
    Log(kLogMisc, "ctrl remote: %s\n", AddrToAddrStr(text, sizeof(text), &gRemoteCtrlAddr, 0, nullptr));
    Log(kLogMisc, "data local:  %s\n", AddrToAddrStr(text, sizeof(text), &local, 0, nullptr));
    Log(kLogMisc, "data remote: %s\n", AddrToAddrStr(text, sizeof(text), &gRemoteDataAddr, 0, nullptr));
}

// The active side of OpenData: connect to the PORT address or the default
// data port.
int ConnectActive(const char *name, int64_t size)
{
    if (gUsingDefaultDataPort) {
        gRemoteDataAddr = gRemoteCtrlAddr;
        NoteRemoteDataAddr();
        gRestartPt = 0;
        CloseDataSocket();
        Strncpy(gDataPortType, "Df");
    } else {
        Strncpy(gDataPortType, "Po");
    }

    // The socket is the user's unless the pool child binds one to the port below ours.
    int fd = DataSocket();
    if (fd < 0) {
        const int err = errno;
        LogPerror("socket");
        Reply("550 Cannot create data connection.\r\n");
        if (err == EMFILE)
            OutOfDescriptors();
        DoneConnection(kEndDataSocket);
    }
    PrepareActiveSocket(fd);
    bool bound = false;
    bool restoreFailed = false;
    SioAddr local {};
    if (gBindLocalDataPort)
        bound = BindControlPortMinusOne(&fd, &local, &restoreFailed);
    if (restoreFailed) {
        Reply("550 Cannot create data connection.\r\n");
        SClose(fd, kQuickClose);
        DoneConnection(kEndRestoreEuid);
    }
    if (!bound) {
        local = gLocalCtrlAddr;
        SioAddrSetPort(&local, 0);
        if (bind(fd, &local.sa, SioAddrLen(&local)) < 0)
            LogPerror("bind data connection to same IP as control connection failed");
    }
    TraceAddresses(fd);

    const int rc = SConnect(fd, &gRemoteDataAddr, gConnTimeout);
    if (rc < 0) {
        gFailedDataConnections++;
        if (rc == kSioErrTimeout) {
            gPORTDidntWorkForThisUser++;
            Log(kLogMisc, "Can't connect to %.63s - timed out.\n", gRemoteDataAddrStr);
            Reply("550 Cannot connect to %.63s - timed out.\r\n", gRemoteDataAddrStr);
            SClose(fd, kQuickClose);
            return -1;
        }
        const int err = errno;
        LogPerror("Can't connect to %.63s", gRemoteDataAddrStr);
        SClose(fd, kQuickClose);
        gDataSleep(3);
        Reply("550 Cannot connect to %.63s - %.80s.\r\n", gRemoteDataAddrStr, strerror(err));
        return -1;
    }
    if (bound) {
        gLocalDataAddr = local;
    } else {
        socklen_t len = sizeof(gLocalDataAddr);
        getsockname(fd, &gLocalDataAddr.sa, &len);
    }
    gData = fd;

    const char *mode = gType == 'A' ? "ASCII" : "BINARY";
    if (name == nullptr)
        Reply("150 Opening %s mode data connection.\r\n", mode);
    else if (size >= 0)
        Reply("150 Opening %s mode data connection for %.350s (%lld bytes).\r\n", mode, name,
              static_cast<long long>(size));
    else if (strcmp(name, "MLSD") == 0)
        Reply("150 Opening data connection for %s.\r\n", name);
    else
        Reply("150 Opening %s mode data connection for %.350s.\r\n", mode, name);
    return fd;
}

// The refusals PORT and EPRT share before their argument is read.  word
// names the command for the refusal after EPSV ALL.
bool ActiveModeAllowed(const char *word)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return false;
    }
    if (gEpsvAll) {
        Reply("503 %s is not allowed after EPSV ALL.\r\n", word);
        return false;
    }
    if (gPORTDidntWorkForThisUser) {
        Reply("550 PORT didn't work for you last time, why would it this time? Try PASV instead.\r\n");
        return false;
    }
    if (!gAllowPORT) {
        Reply("550 This site does not permit PORT.  Please use PASV instead.\r\n");
        return false;
    }
    return true;
}

// PORT and EPRT after parsing: the checks against bouncing the data channel
// to a third host or a privileged port (a refusal ends the session), then
// the success reply and the new address in force.
void UseActiveAddress(const SioAddr &addr, const char *okReply)
{
    gRemoteDataAddr = addr;
    gUsingDefaultDataPort = 0;
    NoteRemoteDataAddr();

    const unsigned port = static_cast<unsigned>(SioAddrPort(&addr));
    const char *host = gRUserPtr->host;
    char data[kSioAddrTextSize], ctrl[kSioAddrTextSize];
    SioAddrText(data, sizeof(data), &addr);
    SioAddrText(ctrl, sizeof(ctrl), &gRemoteCtrlAddr);
    if (port < 1024 && !gAllowOutgoingPortsBelow1024) {
        Log(kLogMisc, "Port number (%u) on data connection from user at %.63s was below 1024.\n", port, host);
        Reply("550 Remote port numbers below 1024 are not allowed here.\r\n");
        gDataSleep(2);
        DoneConnection(kEndPortLowPort);
    }
    if (gRemoteDataAddrIsLoopback && !ControlIsLoopback()) {
        Log(kLogMisc, "Data connection (%s) attempted to loopback! (User's control connection originates at %s.)\n",
            data, ctrl);
        gDataSleep(2);
        Reply("550 Data connection to %s is not allowed when control connection is from %s!\r\n", data, ctrl);
        DoneConnection(kEndPortLoopback);
    }
    if (!SioAddrSameHost(&addr, &gRemoteCtrlAddr)) {
        if (!gAllowOutgoingProxyDataConnections) {
            if (gAllowProxyWhenControlOriginatesFromLoopback && ControlIsLoopback()) {
                _Trace(kLogMisc, "Loopback user allowed to proxy.\n");
            } else {
                Log(kLogMisc, "Data connection (%s) is not from same host as control connection (%s)\n", data, ctrl);
                gDataSleep(2);
                Reply("550 Data connection must go to same host as control connection.\r\n");
                DoneConnection(kEndPortProxy);
            }
        }
        if (port < 1024 && !gAllowOutgoingProxyDataConnectionPortsBelow1024) {
            Log(kLogMisc, "Port number (%u) on data connection from user at %.63s was below 1024.\n", port, host);
            gDataSleep(2);
            Reply("550 Proxy data connections must be to port numbers above 1023.\r\n");
            DoneConnection(kEndPortLowPort);
        }
    }
    Reply("%s", okReply);

    // The new address stays in force: only the old connections go.
    gRestartPt = 0;
    CloseDataSocket();
    CancelPassiveMode();
}

// A socket listening on a port for PASV/EPSV, or -1 with errno and the step
// that failed.  Two sessions may bind one port of the range at once
// (SO_REUSEADDR), and the later one's listen then fails with EADDRINUSE: it
// starts again with a new socket on another port, as after a busy bind.
int PassiveListener(SioAddr *local, PassiveStep *failedAt)
{
    for (int attempt = 0;; attempt++) {
        const int fd = DataSocket();
        if (fd < 0) {
            *failedAt = PassiveStep::kSocket;
            return -1;
        }
        SetCloExec(fd);
        SetDataSocketBufferSizes(fd);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        *local = gLocalCtrlAddr;
        *failedAt = PassiveStep::kBind;
        if (BindToEphemeralPortNumber(fd, local) == 0) {
            *failedAt = PassiveStep::kListen;
            if (listen(fd, SOMAXCONN) == 0)
                return fd;
        }
        const int err = errno;
        close(fd);
        errno = err;
        if (err != EADDRINUSE || attempt + 1 >= kEphemeralPortTries)
            return -1;
    }
}

// PASV and EPSV: makes the listening socket (or keeps the one still
// waiting) and answers with announce.
void EnterPassiveMode(void (*announce)())
{
    const int old = CheckForPreConnectedPassiveData();
    if (old < 0 && gPassiveData >= 0) {
        announce();
        return;
    }
    gRestartPt = 0;
    CloseDataSocket();

    SioAddr local {};
    PassiveStep failedAt = PassiveStep::kSocket;
    const int fd = PassiveListener(&local, &failedAt);
    if (fd < 0) {
        const int err = errno;
        PassiveFailed(-1, old, failedAt);
        if (err == EMFILE)
            OutOfDescriptors();
        return;
    }
    socklen_t len = sizeof(local);
    if (getsockname(fd, &local.sa, &len) < 0) {
        PassiveFailed(fd, old, PassiveStep::kGetsockname);
        return;
    }
    gPassiveData = fd;
    gUsingDefaultDataPort = 0;
    gPassive = 1;
    gLocalDataAddr = local;
    announce();
    if (old >= 0)
        SClose(old, kOldListenerClose);
}

// EPRT or EPSV named a protocol other than the control connection's (RFC 2428).
void ReplyOtherProtocol()
{
    Reply("522 Network protocol not supported, use (%c)\r\n", SioAddrIsV6(&gLocalCtrlAddr) ? '2' : '1');
}

// The refusals PASV and EPSV share.
bool PassiveModeAllowed()
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return false;
    }
    if (!gAllowPASV) {
        Reply("550 This site does not permit PASV.  Please use PORT instead.\r\n");
        return false;
    }
    return true;
}

}  // namespace

int IsLoopbackAddress(in_addr_t addr)
{
    const unsigned first = ntohl(addr) >> 24;
    return first == 127 || first == 0;
}

int ParsePortArgument(const char *arg, struct sockaddr_in *addr)
{
    char text[kPortArgCopy + 1];
    int n = 0;
    for (; n < kPortArgCopy && arg[n] != '\0'; n++)
        text[n] = isdigit(static_cast<unsigned char>(arg[n])) ? arg[n] : ' ';
    text[n] = '\0';

    unsigned v[6];
    const char *p = text;
    for (unsigned &value : v) {
        while (*p == ' ')
            p++;
        if (*p == '\0')
            return -1;
        value = 0;
        for (; isdigit(static_cast<unsigned char>(*p)); p++) {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (value > 255)
                return -1;
        }
    }
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]);
    addr->sin_port = htons(static_cast<uint16_t>(v[4] * 256 + v[5]));
    return 0;
}

bool AddrIsLoopback(const SioAddr *a)
{
    if (!SioAddrIsV6(a))
        return IsLoopbackAddress(a->in.sin_addr.s_addr) != 0;
    in_addr_t v4;
    if (SioAddrMappedV4(a, &v4))
        return IsLoopbackAddress(v4) != 0;
    return IN6_IS_ADDR_LOOPBACK(&a->in6.sin6_addr) || IN6_IS_ADDR_UNSPECIFIED(&a->in6.sin6_addr);
}

int ParseEprtArgument(const char *arg, SioAddr *addr, int family)
{
    // <d>protocol<d>address<d>port<d>, d any printable character but blank.
    const char d = arg[0];
    if (d < 33 || d > 126)
        return -1;
    char fields[3][kEprtFieldSize];
    const char *p = arg + 1;
    for (char *field : fields) {
        const char *end = strchr(p, d);
        if (end == nullptr || end - p >= kEprtFieldSize)
            return -1;
        memcpy(field, p, static_cast<size_t>(end - p));
        field[end - p] = '\0';
        p = end + 1;
    }
    if (*p != '\0' || !AllDigits(fields[0]))
        return -1;
    if (strcmp(fields[0], family == AF_INET6 ? "2" : "1") != 0)
        return kEprtOtherProtocol;
    memset(addr, 0, sizeof(*addr));
    const int ok = family == AF_INET6 ? inet_pton(AF_INET6, fields[1], &addr->in6.sin6_addr)
                                      : inet_pton(AF_INET, fields[1], &addr->in.sin_addr);
    if (ok != 1 || !AllDigits(fields[2]) || strlen(fields[2]) > 5)
        return -1;
    const long port = strtol(fields[2], nullptr, 10);
    if (port < 1 || port > 65535)
        return -1;
    addr->sa.sa_family = static_cast<sa_family_t>(family);
    SioAddrSetPort(addr, static_cast<int>(port));
    return 0;
}

void PassiveAddressText(char *dst, size_t size, in_addr_t addr, unsigned port)
{
    char dotted[32];
    struct in_addr ia;
    ia.s_addr = addr;
    InetNtoA(dotted, &ia, sizeof(dotted));
    for (char *c = dotted; *c != '\0'; c++) {
        if (ispunct(static_cast<unsigned char>(*c)))
            *c = ',';
    }
    snprintf(dst, size, "%s,%u,%u", dotted, (port >> 8) & 0xFF, port & 0xFF);
}

void SetDataSocketBufferSizes(int fd)
{
    if (gPreferredDataSBufSize > 0 || gPreferredDataRBufSize > 0) {
        SetSocketBufSize(fd, static_cast<size_t>(gPreferredDataRBufSize), static_cast<size_t>(gPreferredDataSBufSize));
    } else if (gDataSBufSize > 0 || gDataRBufSize > 0) {
        SetSocketBufSize(fd, static_cast<size_t>(gDataRBufSize), static_cast<size_t>(gDataSBufSize));
    } else if (gReduceSocketBufferMemory) {
        size_t rsize = 0, ssize = 0;
        GetSocketBufSize(fd, &rsize, &ssize);
        SetSocketBufSize(fd, rsize > static_cast<size_t>(kReducedRecvBufSize) ? kReducedRecvBufSize : 0,
                         ssize > static_cast<size_t>(kReducedSendBufSize) ? kReducedSendBufSize : 0);
    }
}

int BindToEphemeralPortNumber(int sockfd, SioAddr *addr)
{
    if (gEphemeralPortLo > 0 && gEphemeralPortHi > gEphemeralPortLo) {
        int result = -1;
        for (int i = 0; i < kEphemeralPortTries; i++) {
            const long port = gEphemeralPortLo + static_cast<long>(ChildRandom() % static_cast<uint32_t>(gEphemeralPortHi - gEphemeralPortLo));
            SioAddrSetPort(addr, static_cast<int>(port));
            result = bind(sockfd, &addr->sa, SioAddrLen(addr));
            if (result == 0 || errno != EADDRINUSE)
                break;
        }
        return result;
    }
    SioAddrSetPort(addr, 0);
    return bind(sockfd, &addr->sa, SioAddrLen(addr));
}

int CheckForPreConnectedPassiveData()
{
    if (gPassiveData < 0)
        return -1;
    struct pollfd p = {gPassiveData, POLLIN, 0};
    if (OldestPending() < 0 && poll(&p, 1, 0) <= 0)
        return -1;
    const int old = gPassiveData;
    gPassiveData = -1;
    DropAllPending();
    gPassiveRefusal = Refusal::kNone;
    const char *host = gRUserPtr->host;
    if (gClientIsLocal || gAllowPasvPreconnections == 1) {
        _Trace(kLogMisc, "Detected pre-connected PASV socket by user at %.63s%s\n", host, ".");
    } else if (gAllowPasvPreconnections == 0) {
        _Trace(kLogMisc, "Detected pre-connected PASV socket by user at %.63s%s\n", host, "; disconnecting user.");
        gDataSleep(3);
        EndSession(old, kEndPasvPreconnected);
    } else {
        _Trace(kLogMisc, "Detected pre-connected PASV socket by user at %.63s; waiting %u seconds.\n", host,
               static_cast<unsigned>(gAllowPasvPreconnections));
        gDataSleep(static_cast<unsigned>(gAllowPasvPreconnections));
    }
    return old;
}

void CancelPassiveMode()
{
    DropAllPending();
    gPassiveRefusal = Refusal::kNone;
    if (gPassiveData >= 0)
        SClose(gPassiveData, kDataCloseTimeout);
    gPassiveData = -1;
    gPassive = 0;
}

void DropPassiveListener()
{
    DropAllPending();
    gHelloClock = false;
    gAnnouncedMs = 0;
    gPassiveRefusal = Refusal::kNone;
    if (gPassiveData >= 0)
        close(gPassiveData);
    gPassiveData = -1;
}

void Port(char *arg)
{
    if (!ActiveModeAllowed("PORT"))
        return;
    if (SioAddrIsV6(&gLocalCtrlAddr)) {
        Reply("522 PORT cannot name an IPv6 address; use EPRT.\r\n");
        return;
    }
    SioAddr addr {};
    if (ParsePortArgument(arg, &addr.in) < 0) {
        BadArgs();
        return;
    }
    UseActiveAddress(addr, "200 PORT command successful.\r\n");
}

void Eprt(char *arg)
{
    if (!gAllowEpsvEprt) {
        NotImplemented();
        return;
    }
    if (!ActiveModeAllowed("EPRT"))
        return;
    SioAddr addr;
    const int rc = ParseEprtArgument(arg, &addr, gLocalCtrlAddr.sa.sa_family);
    if (rc == kEprtOtherProtocol) {
        ReplyOtherProtocol();
        return;
    }
    if (rc < 0) {
        BadArgs();
        return;
    }
    UseActiveAddress(addr, "200 EPRT command successful.\r\n");
}

void Pasv(char *)
{
    if (!PassiveModeAllowed())
        return;
    if (gEpsvAll) {
        Reply("503 PASV is not allowed after EPSV ALL.\r\n");
        return;
    }
    if (SioAddrIsV6(&gLocalCtrlAddr)) {
        Reply("522 PASV cannot name an IPv6 address; use EPSV.\r\n");
        return;
    }
    EnterPassiveMode(AnnouncePassive);
}

void Epsv(char *arg)
{
    if (!gAllowEpsvEprt) {
        NotImplemented();
        return;
    }
    if (!PassiveModeAllowed())
        return;
    if (strcasecmp(arg, "ALL") == 0) {
        // From now on only EPSV sets up data connections (RFC 2428).
        gEpsvAll = 1;
        Reply("200 EPSV ALL command successful.\r\n");
        return;
    }
    if (arg[0] != '\0' && strcmp(arg, SioAddrIsV6(&gLocalCtrlAddr) ? "2" : "1") != 0) {
        if (AllDigits(arg))
            ReplyOtherProtocol();
        else
            BadArgs();
        return;
    }
    EnterPassiveMode(AnnounceExtendedPassive);
}

void ShowTransferInSlot(const char *verb, const char *path)
{
    snprintf(gRUserPtr->command, sizeof(gRUserPtr->command), "%s %s", verb, path);
    gRUserPtr->state = gUploading ? kShmStateUploading : kShmStateDownloading;
    gRUserPtr->lastCommandTime = ShmTime(nullptr);
}

int OpenData(const char *name, int64_t size, const char *verb, const char *path)
{
    if (TlsRequiredForData()) {
        Reply("521 Data connections must be encrypted: use PROT P.\r\n");
        return -1;
    }
    if (gData >= 0) {
        _Trace(kLogMisc, "Don't need to open data connection.\n");
        if (verb != nullptr)
            ShowTransferInSlot(verb, path);
        if (name != nullptr && size >= 0)
            Reply("125 Data connection already open; transfer starting for %s (%lld bytes).\r\n", name,
                  static_cast<long long>(size));
        else
            Reply("125 Data connection already open; transfer starting.\r\n");
        Strncpy(gDataPortType, "Df");
        return gData;
    }
    if (gPassive)
        return AcceptPassive(name, size, verb, path);
    const int fd = ConnectActive(name, size);
    if (fd < 0 || !gProtPrivate)
        return fd;
    const int tls = StartDataTls(gConnTimeout);
    if (tls == 0)
        return fd;
    ReplyDataTlsRefused(tls);
    return -1;
}

int CloseData(int flag)
{
    gRestartPt = 0;
    if (flag == 1 && gMode == 'B') {
        _Trace(kLogMisc, "Don't need to close data connection.\n");
        return 0;
    }
    const int rc = CloseDataSocket(flag == 1);
    gUsingDefaultDataPort = 1;
    return rc;
}

int FinishData()
{
    if (CloseData(1) == 0)
        return 0;
    Reply("426 TLS shutdown of the data connection failed; transfer aborted.\r\n");
    return -1;
}

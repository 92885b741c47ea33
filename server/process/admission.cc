// Admission of one connection in the child that accepted it: the status slot,
// the domain set of the local address, the client's name, its place (loopback
// or this machine), urgent data, host access control and the user limits, then
// the control session.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "proxy/proxyread.h"
#include "log/log.h"
#include "logger/logger.h"
#include "process/master.h"
#include "process/resolver.h"
#include "session/shell.h"
#include "status/sessionindex.h"
#include "status/shm.h"
#include "sio.h"
#include "process/startup.h"
#include "session/tcpwrappers.h"
#include "version.h"

namespace {

constexpr unsigned kMaxHostNameShown = 63;
constexpr int kLookupSeconds = 30;     // the client's name, in its own helper
constexpr int kRefusalWriteSeconds = 2;

// Refusal replies are written once, with a short limit: the session ends
// whatever happens to them.
void WriteRefusal(const char *text)
{
    (void) ControlWrite(text, strlen(text), kRefusalWriteSeconds);
}

const char *ServerNameOf(const DomainInfo *d)
{
    return d->serverName[0] != '\0' ? d->serverName : gOurHostName;
}

// The client's name when look-ups are on and the name leads back to the
// address (else the address, and TCP Wrappers see "paranoid"); a name too
// long for the slot is refused rather than shown cut.  The look-ups run in a
// helper without rights (resolver.h): a helper that fails, or says nothing
// usable in time, leaves the address.
void ResolveClient(ShmSlot *me)
{
    Strncpy(me->host, me->addr);
    me->hostResolved = 0;
    gClientNameParanoid = 0;
    if (!gDNSLookup)
        return;
    ReverseName r;
    (void) ConfinedReverseName(gRemoteCtrlAddr, kMaxHostNameShown, kLookupSeconds, &r);
    if (r.verdict == kReverseNone)
        return;
    if (r.verdict == kReverseTooLong) {
        Log(kLogMisc, "Denied access to %.63s: Resolved hostname (%.63s...) too long (%u characters, only first %u displayed).\n",
            me->addr, r.name, static_cast<unsigned>(r.length), kMaxHostNameShown);
        Strncpy(me->user, "DENIED");
        sleep(2);
        DoneConnection(kEndDenied);
    }
    if (r.verdict == kReverseNotBack) {
        Log(kLogMisc, "Host name %s of %s does not lead back to it: not used.\n", r.name, me->addr);
        gClientNameParanoid = 1;
        return;
    }
    Strncpy(me->host, r.name);
    me->hostResolved = 1;
}

// Loopback, or one of this machine's own addresses that a set serves.
bool ClientIsLocal(const char *addr)
{
    if (strncmp(addr, "127.", 4) == 0 || strncmp(addr, "0.", 2) == 0 || strcmp(addr, "::1") == 0)
        return true;
    for (int i = 0; i < gNumDomains; i++) {
        if (DomainHasAddress(gDomainInfo[i], &gRemoteCtrlAddr))
            return true;
    }
    return false;
}

void TraceConnection(const ShmSlot *me, bool setNamesAddress)
{
    char local[kSioAddrTextSize];
    SioAddrText(local, sizeof(local), &gLocalCtrlAddr);
    const int pid = static_cast<int>(getpid());
    const unsigned t = static_cast<unsigned>(ShmTime(nullptr));
    Log(kLogMisc, "-------------------------------------------------\n");
    Log(kLogMisc, "%.28s for %s.\n", gVersion, PlatformText());
    if (gSysInfo[0] != '\0')
        Log(kLogMisc, "%s\n", gSysInfo);
    if (me->hostResolved)
        Log(kLogMisc, "New connection from %s (%s) to %s (pid=%d, t=%u).\n", me->addr, me->host, local, pid, t);
    else
        Log(kLogMisc, "New connection from %s to %s (pid=%d, t=%u).\n", me->addr, local, pid, t);
    const char *dflt = setNamesAddress ? "" : "default ";
    if (gCurDomain->serverName[0] != '\0')
        Log(kLogMisc, "Using %svirtual host %s (%s, %s).\n", dflt, gCurDomain->setName, gCurDomain->serverAddrStr,
            gCurDomain->serverName);
    else
        Log(kLogMisc, "Using %svirtual host %s (%s).\n", dflt, gCurDomain->setName, gCurDomain->serverAddrStr);
}

void CheckHostAccess(ShmSlot *me)
{
    if (TCPWrappers_ValidateIncomingFTPConnection())
        return;
    if (me->hostResolved)
        Log(kLogMisc, "TCP Wrappers denied access to %s (%s).\n", me->addr, me->host);
    else
        Log(kLogMisc, "TCP Wrappers denied access to %s.\n", me->addr);
    Strncpy(me->user, "DENIED");
    DoneConnection(kEndDenied);
}

// ---- A load balancer's PROXY header ----

// A connection from a trusted balancer names its client first; one that
// does not, whole and within the login time-out, is closed.
void TakeProxyHeader(ShmSlot *me)
{
    ProxySource src;
    const int rc = ReadProxyHeader(gCtrl, time(nullptr) + gLoginTimeout, &src);
    if (rc == 0) {
        if (src.haveSource)
            gRemoteCtrlAddr = src.source;
        return;
    }
    Log(kLogMisc, "PROXY header from %s refused: %s.\n", me->addr,
        rc == -2 ? "not whole within the login time-out" : "malformed, or a client this server cannot serve");
    Strncpy(me->user, "DENIED");
    DoneConnection(kEndDenied);
}

void SlotAddress(ShmSlot *me)
{
    SioAddrText(me->addr, sizeof(me->addr), &gRemoteCtrlAddr);
}

void CheckUserLimits(ShmSlot *me)
{
    const DomainInfo *d = gCurDomain;
    const bool byAddr = d->maxDomainUsersPerIP > 0 || gMaxUsersPerIP > 0;
    const SessionCounts c = CountOtherSessions(gChild, me->domain, me->addr, byAddr);
    me->usersOnDomain = static_cast<uint32_t>(c.sameSet + 1);
    me->usersOnServer = static_cast<uint32_t>(c.all + 1);
    char reply[512];

    if (d->maxDomainUsers > 0 && c.sameSet >= d->maxDomainUsers) {
        _Trace(kLogMisc, "Too many users (%d) on domain %.64s.\n", c.sameSet, d->setName);
        Strncpy(me->user, "REFUSED");
        if (gRefuseMessageFile[0] != '\0') {
            WriteRefusal(gRefuseConnectionsMsg);
        } else {
            snprintf(reply, sizeof(reply), "421 Sorry, %s already has %d users logged on.  Try again in 10 minutes.\r\n",
                     ServerNameOf(d), c.sameSet);
            WriteRefusal(reply);
        }
        sleep(2);
        DoneConnection(kEndDomainFull);
    }
    if (d->maxDomainUsersPerIP > 0 && c.sameSetAddr >= d->maxDomainUsersPerIP) {
        _Trace(kLogMisc, "Too many users (%d) from IP %.64s on domain %.64s.\n", c.sameSetAddr, me->addr, d->setName);
        Strncpy(me->user, "REFUSED");
        snprintf(reply, sizeof(reply),
                 "421 Sorry, %.64s already has %d user%s from %.64s logged on.  Try again in 10 minutes.\r\n",
                 ServerNameOf(d), c.sameSetAddr, c.sameSetAddr == 1 ? "" : "s", me->addr);
        WriteRefusal(reply);
        DoneConnection(kEndTooManyFromAddr);
    }
    if (gMaxUsersPerIP > 0 && c.sameAddr >= gMaxUsersPerIP) {
        _Trace(kLogMisc, "Too many users (%d) from IP %.64s.\n", c.sameAddr, me->addr);
        Strncpy(me->user, "REFUSED");
        snprintf(reply, sizeof(reply),
                 "421 Sorry, there %s already %d user%s from %.64s logged on.  Try again in 10 minutes.\r\n",
                 c.sameAddr == 1 ? "is" : "are", c.sameAddr, c.sameAddr == 1 ? "" : "s", me->addr);
        WriteRefusal(reply);
        DoneConnection(kEndTooManyFromAddr);
    }
}

}  // namespace

void AdmitConnection()
{
    // Every refusal below ends the connection with a session-log line and
    // statistics: they must describe this connection, not the child's last.
    ResetConnectionCounters();
    if (gReloadConfiguration) {
        sleep(2);
        gReloadConfiguration = 0;
        (void) ReloadDomainCf();
    }

    ShmSlot *me = gRUserPtr;
    me->sessionStart = ShmTime(nullptr);
    WakeMaster();
    socklen_t len = sizeof(gLocalCtrlAddr);
    if (getsockname(gCtrl, &gLocalCtrlAddr.sa, &len) < 0) {
        LogPerror("getsockname(ctrl)");
        Exit(1);
    }
    gCurDomain = GetDomainByLocalAddr(&gLocalCtrlAddr, nullptr, 1);
    // The front and the session's process write into this child's log
    // channel: the logger files their records under the channel's set, so
    // the channel must be this client's set's before either exists.  One
    // that cannot be had leaves this client's records on standard error
    // rather than under another set, and this child leaves after it: its
    // successor gets a new channel from the master.
    if (gRunningAsRoot && UseLogChannelOf(gDomain) < 0) {
        LogPerror("log channel");
        TakeChildLogPipe(-1);
        gKillMyselfAtTheEarliestConvenience = 1;
    }
    const bool setNamesAddress = DomainHasAddress(gCurDomain, &gLocalCtrlAddr);
    Strncpy(me->domain, gCurDomain->setName);

    SlotAddress(me);
    if (gNumProxyFrom > 0 && !SioAddrIsV6(&gRemoteCtrlAddr) &&
        ProxyNetsHold(gProxyFrom, gNumProxyFrom, gRemoteCtrlAddr.in.sin_addr.s_addr)) {
        TakeProxyHeader(me);
        SlotAddress(me);
    }
    IndexSessionStart(gChild, me->domain, me->addr);
    ResolveClient(me);
    gClientIsLocal = ClientIsLocal(me->addr);
    if (gTraceLogging)
        TraceConnection(me, setNamesAddress);

    if (fcntl(gCtrl, F_SETOWN, getpid()) < 0 && gTraceLogging >= 2)
        LogPerror("Could not enable SIGURG; F_SETOWN failed");

    CheckHostAccess(me);
    CheckUserLimits(me);

    if (gSocketKeepAlive)
        SetSocketKeepAlive(gCtrl, 1);
    Shell();
}

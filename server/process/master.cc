// The master process and its pool of children: the listening socket, the
// master's one-time set-up, the children's start and accept loop, and the
// master loop that refuses, forks, reaps, respawns and writes the quarter-hour
// statistics. A connection the master accepts reaches its new child by
// inheritance across fork; nothing else passes between the processes.
#include "process/master.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>

#include "Strn.h"
#include "auth/authclient.h"
#include "base/pages.h"
#include "config/config.h"
#include "config/domain.h"
#include "log/log.h"
#include "logger/logger.h"
#include "quota/shared.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "status/dirgen.h"
#include "status/sessionindex.h"
#include "status/shm.h"
#include "sio.h"
#include "process/notify.h"
#include "process/resolver.h"
#include "process/sandbox.h"
#include "process/startup.h"
#include "tls/tls.h"
#include "base/clock.h"

pid_t *gChildren = nullptr;
int gLiveChildren = 0;
int gHighestChild = 0;
time_t gChildExpiration = 0;
time_t gNextStatDump = 0, gNextStatDumpD = 0;
int gPeriodMaxSimultaneousUsers = 0;
time_t gLastDescriptorCheck = 0;
int gRunningAsRoot = 0;
int gChroot = 0;
int gSetuidFTP = 0;
uint64_t gRandomState = 1;
ON_LOGIN_PAGES sigjmp_buf gDoneJmp;
volatile sig_atomic_t gDoneJmpReady = 0;
bool gGreetedAtAccept = false;

namespace {

constexpr int kBindWaits[] = {5, 10, 15};   // seconds before each retry of a busy port
constexpr int kDefaultBacklog = 3;
constexpr int kMasterAcceptSeconds = 2;     // the master's accept window
constexpr int kMasterAcceptSliceMillis = 50; // how often the window looks for a free child
constexpr int kMasterPauseSeconds = 2;
constexpr useconds_t kMasterWakeGapMicros = 5000;   // shortest time between two wake-ups
constexpr int kStartingChildSeconds = 5;    // longest a handed-over connection counts without its slot
constexpr int kForkFailurePause = 3;
constexpr int kNoTimeoutSeconds = 32768;    // an accept limit this long is no limit
constexpr int kMinLifetimeWait = 60;
constexpr long long kGreetedWaitMillis = 20;    // longest a greeted client waits for its fork while more arrive
constexpr int kQuietMillis = 1;             // a queue this long without a new client: the burst is over
constexpr int kRefusalLookupSeconds = 5;    // longest the loop waits for a refused client's name

// When the master forked each child for a connection it accepted (0: none
// pending).  Such a child is busy from its birth, before its status slot
// says so; counted idle, the master would pause while connections queue.
time_t *gHandedAt = nullptr;

// The master's pause ends early when a child starts a session: if that child
// was the last idle one, new clients would otherwise queue unserved for the
// rest of the pause. Children write a byte; the master polls the other end.
int gWakeRead = -1, gWakeWrite = -1;
// A child of the master ended: it is reaped now, not at the end of the pause
// or of an accept window, so that a pool child killed while every other is
// busy frees its number at once (clients would be refused meanwhile) and
// what it left ends with it.
volatile sig_atomic_t gChildExited = 0;

void NoteChildExit(int)
{
    const int saved = errno;
    gChildExited = 1;
    if (gWakeWrite >= 0)
        (void) !write(gWakeWrite, "", 1);
    errno = saved;
}
// The listening sockets: the IPv4 one (or that of single-server-address)
// and, with listen-ipv6, [::] beside it.  Two are non-blocking and waited
// for with poll, so that neither family's clients wait behind the other's.
int gListeners[2] = {-1, -1};
int gNumListeners = 0;

// Clients the master accepted while every child was busy, each waiting for
// the child it forks for it, in the order they came.  A burst of clients is
// greeted as it arrives (GreetAtAccept), the forks follow.
struct WaitingClient {
    int fd;
    SioAddr peer;
    bool greeted;
};
WaitingClient *gWaiting = nullptr;
int gWaitingCount = 0;
long long gOldestWaitingMs = 0;     // when the first client now waiting was accepted

// Refused clients whose names are looked up for their refusal lines while
// the loop goes on: a client whose reverse zone is slow must not keep the
// master from the clients behind it.  Beyond this many at once, a refusal
// line shows the address.
constexpr int kMostPendingRefusals = 8;
struct PendingRefusal {
    PendingLookup lookup;
    SioAddr peer;
    int domain;
    long long deadline;     // MonotonicMillis after which the helper is ended
};
PendingRefusal gRefusals[kMostPendingRefusals];
int gNumRefusals = 0;

// ---- The listening socket --------------------------------------------------------------------

void CloseListeners()
{
    for (int &fd : gListeners) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    gNumListeners = 0;
}

// Binds, retrying a port that is still in use. Returns 0 or -1 (logged).
int BindControlPort(int fd, SioAddr sa, int port)
{
    SioAddrSetPort(&sa, port);
    for (int attempt = 0;; attempt++) {
        if (bind(fd, &sa.sa, SioAddrLen(&sa)) == 0)
            return 0;
        if (errno != EADDRINUSE) {
            LogPerror("bind to control port %u failed", static_cast<unsigned>(port));
            return -1;
        }
        if (attempt == static_cast<int>(std::size(kBindWaits))) {
            LogPerror("bind, giving up");
            return -1;
        }
        LogPerror("bind to control port %u at failed -- waiting %d", static_cast<unsigned>(port),
                  kBindWaits[attempt]);
        sleep(static_cast<unsigned>(kBindWaits[attempt]));
    }
}

// The listening socket on address sa, or -1 (logged).
int OpenControlSocket(const SioAddr &sa, int port)
{
    const int fd = socket(sa.sa.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogPerror("socket");
        return -1;
    }
    const int on = 1;
    if (SioAddrIsV6(&sa) && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) < 0) {
        LogPerror("IPV6_V6ONLY");   // IPv4 clients must keep to their own socket
        close(fd);
        return -1;
    }
    if (gCtrlRBufSize > 0 || gCtrlSBufSize > 0)
        SetSocketBufSize(fd, static_cast<size_t>(gCtrlRBufSize), static_cast<size_t>(gCtrlSBufSize));
    else if (gReduceSocketBufferMemory)
        SetSocketBufSize(fd, 512, 1024);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (BindControlPort(fd, sa, port) < 0) {
        close(fd);
        return -1;
    }
    if (gListenBacklogSize > 0 && listen(fd, gListenBacklogSize) == 0)
        return fd;
    if (listen(fd, kDefaultBacklog) < 0) {
        LogPerror("listen");
        close(fd);
        return -1;
    }
    if (gListenBacklogSize > 0)
        Log(kLogMisc, "Could not set listen backlog size to %d, defaulting to %d.\n", gListenBacklogSize,
            kDefaultBacklog);
    return fd;
}

// single-server-address alone, else IPv4's wildcard and, with listen-ipv6,
// IPv6's beside it.  Returns 0, or -1 (logged) with none left open.
int OpenControlSockets(int port)
{
    SioAddr any6 {};
    any6.in6.sin6_family = AF_INET6;
    const bool both = gListenIPv6 && SioAddrIsAny(&gSingleServerAddress) && !SioAddrIsV6(&gSingleServerAddress);
    const SioAddr *want[2] = {&gSingleServerAddress, both ? &any6 : nullptr};
    for (const SioAddr *sa : want) {
        if (sa == nullptr)
            continue;
        const int fd = OpenControlSocket(*sa, port);
        if (fd < 0) {
            CloseListeners();
            return -1;
        }
        gListeners[gNumListeners++] = fd;
    }
    // Never blocking: a child waits for a client in poll, and the master
    // takes every client of a burst without waiting for one more.
    for (int i = 0; i < gNumListeners; i++)
        (void) fcntl(gListeners[i], F_SETFL, fcntl(gListeners[i], F_GETFL) | O_NONBLOCK);
    return 0;
}

// A connection from either listening socket within seconds (0: no limit):
// its descriptor, kSioErrTimeout, or -1 with errno.  A pool child whose log
// channel is lost stops waiting (kSioErrTimeout) and leaves.
int AcceptEither(SioAddr *peer, int seconds)
{
    const long long end = MonotonicMillis() + 1000LL * seconds;
    for (;;) {
        struct pollfd p[3] = {{gListeners[0], POLLIN, 0}, {gListeners[1], POLLIN, 0}, {LogChannelToWatch(), 0, 0}};
        const long long left = end - MonotonicMillis();
        if (seconds > 0 && left <= 0) {
            errno = ETIMEDOUT;
            return kSioErrTimeout;
        }
        const int ready = poll(p, 3, seconds > 0 ? static_cast<int>(left) : -1);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready > 0 && NoteLogChannel(p[2].revents)) {
            errno = ETIMEDOUT;
            return kSioErrTimeout;
        }
        for (int i = 0; ready > 0 && i < 2; i++) {
            if ((p[i].revents & POLLIN) == 0)
                continue;
            socklen_t len = sizeof(*peer);
            const int fd = accept4(gListeners[i], &peer->sa, &len, 0);
            if (fd >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR))
                return fd;      // another child may have taken it: wait again
        }
    }
}

// One connection within seconds, as SAcceptA gives it.
int AcceptClient(SioAddr *peer, int seconds)
{
    return AcceptEither(peer, seconds);
}

// ---- Master set-up -----------------------------------------------------------------------------

// Raises a limit to unlimited, or else to the hard limit.
void RaiseLimit(int resource, const char *unlimitedText, const char *maximumText, const char *failedText)
{
    struct rlimit rl;
    if (getrlimit(resource, &rl) < 0 || rl.rlim_cur == RLIM_INFINITY)
        return;
    struct rlimit want = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(resource, &want) == 0) {
        Log(kLogMisc, "%s", unlimitedText);
        return;
    }
    if (rl.rlim_cur == rl.rlim_max)
        return;
    want = {rl.rlim_max, rl.rlim_max};
    if (setrlimit(resource, &want) == 0)
        Log(kLogMisc, maximumText, static_cast<long>(rl.rlim_max));
    else
        LogPerror("%s", failedText);
}

// Anonymous-only server: into the anonymous root (a real chroot when root runs
// a single set) and the anonymous account's identity.
void EnterAnonymousArea()
{
    const DomainInfo *d = GetFirstDomain();
    if (chdir(d->ftpHome) < 0) {
        LogPerror("Cannot chdir to %.300s", d->ftpHome);
        Exit(1);
    }
    if (gChrootedAtStart) {
        if (chroot(d->ftpHome) < 0) {
            LogPerror("Cannot chroot to %.300s", d->ftpHome);
            Exit(1);
        }
        gChroot = 1;
        _Trace(kLogMisc, "Chroot to %s succeeded.\n", d->ftpHome);
    }
    if (setegid(gFTPUser.gid[0]) < 0 && gRunningAsRoot) {
        // Going on would leave the anonymous sessions with root's group.
        LogPerror("setEgid(%u)", static_cast<unsigned>(gFTPUser.gid[0]));
        Exit(1);
    }
    if (seteuid(gFTPUser.uid) < 0) {
        if (gRunningAsRoot) {
            LogPerror("cannot seteuid to ftp user (eu=%u, ru=%u)", static_cast<unsigned>(geteuid()),
                      static_cast<unsigned>(getuid()));
            Exit(1);
        }
        return;
    }
    gSetuidFTP = 1;
}

// ---- Children ------------------------------------------------------------------------------

// The letter of the log tag: what kind of server this child belongs to.
char RoleLetter()
{
    if (gChroot)
        return 'c';
    if (!gAnonOnlyServer)
        return 'u';
    if (geteuid() == static_cast<uid_t>(gFTPUser.uid))
        return 'a';
    if (gRunningAsRoot)
        return 's';
    return 'o';
}

// The pool tables have a mapping of their own, which each child gives back at
// its start: the master writes them at every fork and reaping, and each such
// write would leave every older child holding a private copy of the page.
size_t gPoolTableEntries = 0;

template <typename T>
T *MapPoolTable()
{
    void *p = mmap(nullptr, gPoolTableEntries * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<T *>(p);
}

template <typename T>
void UnmapPoolTable(T *&table)
{
    if (table != nullptr)
        munmap(table, gPoolTableEntries * sizeof(T));
    table = nullptr;
}

int FreeChildNumber()
{
    for (int n = 1; n <= gNumChildren; n++) {
        if (gChildren[n] == 0)
            return n;
    }
    return 0;
}

int ChildNumberOf(pid_t pid)
{
    for (int n = 1; n <= gNumChildren; n++) {
        if (gChildren[n] == pid)
            return n;
    }
    return 0;
}

// Forks child n, which keeps of the waiting clients only the connection
// keep (-1: none). Returns 0 in the new child (after ChildInit), the pid in
// the master, -1 when the fork failed.
pid_t ForkChild(int n, int keep)
{
    // A shutdown signal between the fork and the record of the pid would end
    // the master without this child, which would then serve on alone; the
    // child takes such a signal once its own handlers are in place.  The
    // verbose toggle waits as well: passed on before the record, it would
    // miss the new child, which copied the old level.
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : {SIGTERM, SIGINT, SIGPWR, SIGHUP, SIGUSR1})
        sigaddset(&stop, sig);
    sigprocmask(SIG_BLOCK, &stop, &old);
    const int areaLocks = OpenAreaLocksForChild();
    int handOver = -1;
    const int logPipe = NewChildLogChannel(n, &handOver);
    const pid_t pid = fork();
    if (pid == 0) {
        // The other waiting clients are the master's and their own children's.
        for (int i = 0; i < gWaitingCount; i++) {
            if (gWaiting[i].fd != keep)
                close(gWaiting[i].fd);
        }
        gWaitingCount = 0;
        // The refusals' helpers are the master's to end and reap.
        for (int i = 0; i < gNumRefusals; i++)
            close(gRefusals[i].lookup.fd);
        gNumRefusals = 0;
        AdoptAreaLocks(areaLocks);
        if (gLogChildChannel >= 0)
            close(gLogChildChannel);
        gLogChildChannel = -1;
        // First of all: a session of another child, with the same uid, must
        // not read or write this one's memory through /proc or ptrace.
        (void) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
        if (gWakeRead >= 0)
            close(gWakeRead);
        gWakeRead = -1;
        signal(SIGCHLD, SIG_DFL);
        CloseChildrenList();    // read by another process, the master would miss entries
        // Only the master may stop the logger, and only its records are
        // believed as they stand: the child writes into a pipe of its own.
        TakeChildLogPipe(logPipe);
        gLogHandOver = handOver;
        ChildInit(n);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return 0;
    }
    if (areaLocks >= 0)
        close(areaLocks);
    if (logPipe >= 0)
        close(logPipe);
    if (handOver >= 0)
        close(handOver);
    if (pid > 0) {
        gChildren[n] = pid;
        gLiveChildren++;
        gHighestChild = std::max(gHighestChild, n);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return pid;
}

// Seconds a child waits in accept: 15 above min-users; else what is left of
// its lifetime (at least a minute); 0 for no limit.
int AcceptTimeout()
{
    if (gChild > gMinChildren)
        return kIdleChildSeconds;
    if (gChildExpiration == 0)
        return 0;
    long left = static_cast<long>(gChildExpiration - ShmTime(nullptr));
    if (left < kMinLifetimeWait)
        left = kMinLifetimeWait;
    return left >= kNoTimeoutSeconds ? 0 : static_cast<int>(left);
}

// The child's loop: one connection after another, the first one possibly
// handed over by the master. Never returns.
[[noreturn]] void ChildLoop(int handed)
{
    static int sHanded;     // survives the jump back from DoneConnection
    sHanded = handed;
    for (;;) {
        const int timeout = AcceptTimeout();
        if (gKillMyselfAtTheEarliestConvenience) {
            _Trace(kLogMisc, "Exiting now so I can respawn.\n");
            Exit(0);
        }

        SioAddr peer {};
        int fd;
        if (sHanded >= 0) {
            fd = sHanded;
            sHanded = -1;
            socklen_t len = sizeof(peer);
            if (getpeername(fd, &peer.sa, &len) < 0) {
                LogPerror("getpeername(ctrl)");
                Exit(1);
            }
        } else {
            gGreetedAtAccept = false;
            fd = AcceptClient(&peer, timeout);
            if (fd < 0) {
                if (fd == kSioErrTimeout) {
                    if (gChildExpiration != 0 || gChild > gMinChildren) {
                        _Trace(kLogMisc, "Maximum child process time reached, dying.\n");
                        Exit(0);
                    }
                    continue;
                }
                LogPerror("accept");
                sleep(5);
                continue;
            }
        }
        if (gReduceSocketBufferMemory)
            SetSocketBufSize(fd, 512, 1024);
        gCtrl = fd;
        gRemoteCtrlAddr = peer;

        if (sigsetjmp(gDoneJmp, 1) != 0)
            continue;       // DoneConnection ended the session
        gDoneJmpReady = 1;
        AdmitConnection();
    }
}

// ---- The master loop -------------------------------------------------------------------------

// Sleeps up to kMasterPauseSeconds; a child starting a session, or a signal,
// ends the pause early. A wake-up counts only while the master could still
// fork: with max-users children alive, accepting early would refuse clients
// that the child about to finish its session would serve. Wake-ups are
// gathered for a few milliseconds, so that a busy server costs the master a

int CountBusyChildren();
bool ClientWaiting(int millis);

// turn per gap rather than per session.
void PauseMaster()
{
    if (gWakeRead < 0 && gNumRefusals == 0) {
        sleep(kMasterPauseSeconds);
        return;
    }
    // A refusal's helper that answers, or runs out of time, ends the pause.
    long long end = MonotonicMillis() + kMasterPauseSeconds * 1000LL;
    struct pollfd p[1 + kMostPendingRefusals];
    p[0] = {gWakeRead, POLLIN, 0};
    for (int i = 0; i < gNumRefusals; i++) {
        p[1 + i] = {gRefusals[i].lookup.fd, POLLIN, 0};
        end = std::min(end, gRefusals[i].deadline);
    }
    for (;;) {
        const long long left = end - MonotonicMillis();
        if (left <= 0 || poll(p, static_cast<nfds_t>(1 + gNumRefusals), static_cast<int>(left)) <= 0)
            return;     // the time is over, or a signal came
        if (p[0].revents == 0)
            return;     // a refusal's helper
        char drain[256];
        while (read(gWakeRead, drain, sizeof(drain)) > 0) {
        }
        if (gChildExited)
            return;
        if (gLiveChildren < gNumChildren) {
            // The last idle child has just taken a client: the next ones,
            // if any are waiting, are the master's at once.
            if (CountBusyChildren() < gLiveChildren || !ClientWaiting(0))
                usleep(kMasterWakeGapMicros);
            return;
        }
    }
}

int CountBusyChildren()
{
    const time_t now = time(nullptr);
    int busy = 0;
    for (int n = 1; n <= gNumChildren; n++) {
        if (gChildren[n] == 0)
            continue;       // a free number: its slot is clear (and need not be touched)
        const ShmSlot *s = ShmSlotAt(n);
        if (s != nullptr && s->pid != 0 && s->sessionStart != 0) {
            busy++;
            gHandedAt[n] = 0;       // its slot speaks for it from now on
        } else if (gHandedAt[n] != 0 && now - gHandedAt[n] < kStartingChildSeconds) {
            busy++;
        }
    }
    return busy;
}

// The refusal line of a client, named host, that asked for the set domain.
void LogRefusal(const char *host, int domain)
{
    if (gLogSessions) {
        const int saved = gDomain;
        gDomain = domain;
        Log(kLogSession, "REFUSED,?,%s,,,,,,,,,,,,,,,,,,,,,,,,,,%d\n", host, kEndServerFull);
        gDomain = saved;
    }
    StatSession(0, 0, kEndServerFull);
    _Trace(kLogMisc, "Refused connection from %s.\n", host);
}

// Every child is busy and there are max-users of them.  With look-ups on,
// the line waits for the client's name (FinishRefusals), which a helper
// without rights looks up while the loop goes on.
void RefuseConnection(int fd, const SioAddr &peer)
{
    (void) SWrite(fd, gRefuseConnectionsMsg, strlen(gRefuseConnectionsMsg), 2);

    // The line goes to the session log of the set the client asked for.
    SioAddr local {};
    socklen_t len = sizeof(local);
    int domain = 0;
    if (getsockname(fd, &local.sa, &len) == 0)
        (void) GetDomainByLocalAddr(&local, &domain, 0);
    SClose(fd, 3);

    if (gDNSLookup && gNumRefusals < kMostPendingRefusals) {
        PendingRefusal &p = gRefusals[gNumRefusals];
        if (StartReverseLookup(peer, SIZE_MAX, &p.lookup) == 0) {
            p.peer = peer;
            p.domain = domain;
            p.deadline = MonotonicMillis() + kRefusalLookupSeconds * 1000LL;
            gNumRefusals++;
            return;
        }
    }
    char host[64];
    SioAddrText(host, sizeof(host), &peer);
    LogRefusal(host, domain);
}

// Writes the refusal lines whose helpers answered or ran out of time: the
// reverse name when it leads back to the address, else the address.
void FinishRefusals()
{
    const long long now = MonotonicMillis();
    for (int i = 0; i < gNumRefusals;) {
        PendingRefusal &p = gRefusals[i];
        struct pollfd answered = {p.lookup.fd, POLLIN, 0};
        if (now < p.deadline && poll(&answered, 1, 0) == 0) {
            i++;
            continue;
        }
        char host[64];
        SioAddrText(host, sizeof(host), &p.peer);
        ReverseName r;
        if (FinishReverseLookup(&p.lookup, SIZE_MAX, &r) == 0 && r.verdict == kReverseLeadsBack)
            Strncpy(host, r.name, sizeof(host));
        LogRefusal(host, p.domain);
        p = gRefusals[--gNumRefusals];
    }
}

// The refusal whose name look-up helper pid is, or -1.
int RefusalOfHelper(pid_t pid)
{
    for (int i = 0; i < gNumRefusals; i++) {
        if (gRefusals[i].lookup.pid == pid)
            return i;
    }
    return -1;
}

// A child the master keeps: one it forked itself (a pool child, the logger,
// a look-up helper), or a program the logger started in a session of its
// own; any other is one a pool child left (nothing below a pool child can
// leave the master's session).
bool KeptChild(pid_t pid)
{
    return pid == gLoggerPID || ChildNumberOf(pid) != 0 || RefusalOfHelper(pid) >= 0 || getsid(pid) != getsid(0);
}

// A helper the master's wait for any child reaped: true when it was one.
bool RefusalHelperReaped(pid_t pid, int status)
{
    const int i = RefusalOfHelper(pid);
    if (i >= 0)
        NoteLookupReaped(&gRefusals[i].lookup, status);
    return i >= 0;
}

// Writes the plain 220 at once where nothing about the client could change
// the reply or refuse it before its child has started: no name look-up, no
// host rules, no PROXY header, no limit per set or address, no
// authentication service asked at connection, no welcome file, no nologin
// file, a set open to this client's port.  The child forked for the client
// then goes on without a greeting of its own (gGreetedAtAccept).
bool GreetAtAccept(int fd, const SioAddr &peer, bool noLogins)
{
    if (noLogins || gDNSLookup || gNumProxyFrom > 0 || gUseTCPWrappers == 1 || gMaxUsersPerIP > 0
        || gUseAuthServer >= 2 || gReloadConfiguration)
        return false;
    // The set the local address names (one set serves every address).
    SioAddr local {};
    socklen_t len = sizeof(local);
    if (gNumDomains > 1 && getsockname(fd, &local.sa, &len) < 0)
        return false;
    const DomainInfo *d = GetDomainByLocalAddr(&local, nullptr, 0);
    if (d == nullptr || d->maxDomainUsers > 0 || d->maxDomainUsersPerIP > 0 || d->anonOnly == -1
        || d->welcomeMessage[0] != '\0')
        return false;
    if (SioAddrPort(&peer) < 1024 && !gAllowIncomingPortsBelow1024 && (d->anonOnly != 0 || gAnonOnlyServer))
        return false;
    char line[kConnectHeaderSize + kDomainNameSize + sizeof(gOurHostName) + 8];
    const int n = gCustomConnectHeader
        ? snprintf(line, sizeof(line), "220 %s\r\n", gConnectHeader)
        : snprintf(line, sizeof(line), "220 %s %s\r\n", d->serverName[0] != '\0' ? d->serverName : gOurHostName,
                   gConnectHeader);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(line))
        return false;
    // A new connection's send buffer is empty: the line goes whole or the
    // connection is already gone (its child then finds it closed).
    return send(fd, line, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL) == n;
}

// A client waits in a listen queue, or comes within millis.
bool ClientWaiting(int millis)
{
    struct pollfd waiting[2] = {{gListeners[0], POLLIN, 0}, {gListeners[1], POLLIN, 0}};
    return poll(waiting, static_cast<nfds_t>(gNumListeners), millis) > 0;
}

// Accepts every client already waiting in the listen queues (the queue of
// waiting clients has room for one per free child number), greeting each.
// A client beyond max-users is refused.
void TakeWaitingClients()
{
    if (!ClientWaiting(0))
        return;
    // A nologin file refuses logins with a greeting of its own.
    struct stat st;
    const bool noLogins = stat("/etc/nologin.ftp", &st) == 0 || stat("/etc/nologin", &st) == 0;
    for (int i = 0; i < gNumListeners; i++) {
        for (;;) {
            SioAddr peer {};
            socklen_t len = sizeof(peer);
            const int fd = accept4(gListeners[i], &peer.sa, &len, 0);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    LogPerror("accept");
                    sleep(3);
                }
                break;      // this queue is empty (a child may have taken the last one)
            }
            if (gLiveChildren + gWaitingCount >= gNumChildren) {
                RefuseConnection(fd, peer);
                continue;
            }
            if (gWaitingCount == 0)
                gOldestWaitingMs = MonotonicMillis();
            gWaiting[gWaitingCount++] = {fd, peer, GreetAtAccept(fd, peer, noLogins)};
        }
    }
}

// Forks a child for the first waiting client. Returns its connection in
// the new child; -1 in the master.
int ForkForWaitingClient()
{
    const WaitingClient client = gWaiting[0];
    const int n = FreeChildNumber();
    const pid_t pid = n == 0 ? -1 : ForkChild(n, client.fd);
    if (pid == 0) {
        gGreetedAtAccept = client.greeted;
        return client.fd;
    }
    if (pid < 0) {
        LogPerror("Cannot spawn child %d", n);
        sleep(kForkFailurePause);
    } else {
        gHandedAt[n] = time(nullptr);
    }
    close(client.fd);
    gWaitingCount--;
    memmove(gWaiting, gWaiting + 1, static_cast<size_t>(gWaitingCount) * sizeof(gWaiting[0]));
    gOldestWaitingMs = MonotonicMillis();
    return -1;
}

// Accepts for up to 2 seconds because every child is busy. Returns in a new
// child with the connection it must serve; in the master returns -1. The
// window ends early once a child is free again: that child takes the next
// client itself, where the master could only fork or, with max-users
// children alive, refuse it.  While clients keep arriving, each is greeted
// before any fork (a fork and the new child's start cost far more than a
// greeting); the forks follow once the queue has been quiet a moment, or
// the first greeted client has waited kGreetedWaitMillis.
int MasterAccept()
{
    const time_t end = time(nullptr) + kMasterAcceptSeconds;
    for (;;) {
        // A child free again takes the next client itself (before a burst,
        // not in the middle of one the master is greeting).
        if (gWaitingCount == 0) {
            const long left = static_cast<long>(end - time(nullptr));
            if (left <= 0 || gChildExited || CountBusyChildren() < gLiveChildren)
                return -1;
        }
        TakeWaitingClients();
        FinishRefusals();
        if (gWaitingCount == 0) {
            (void) ClientWaiting(kMasterAcceptSliceMillis);    // nobody yet (or a signal): look at the children again
            continue;
        }
        if (MonotonicMillis() - gOldestWaitingMs < kGreetedWaitMillis && ClientWaiting(kQuietMillis))
            continue;
        const int fd = ForkForWaitingClient();
        if (gChild != 0)
            return fd;
    }
}

// Reaps one child without waiting. Returns 1 when one was reaped, 0 when
// none, and -2 in a respawned child.
int ReapChild()
{
    int status = 0;
    gChildExited = 0;       // an end after this wait sets it again
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid == 0)
        return 0;
    // Ends that came together raised one signal: the master looks again
    // before it accepts, or a dead pool child behind the others would count
    // as busy for an accept window per child reaped before it.
    if (pid > 0)
        gChildExited = 1;
    if (pid < 0) {
        if (errno != EINTR && errno != ECHILD) {
            LogPerror("wait");
            sleep(2);
        }
        return 0;
    }
    if (pid == gLoggerPID) {
        LogDeath(pid, -1, status);
        sleep(2);
        gLoggerPID = -1;    // nobody left to stop
        Exit(1);
    }
    if (RefusalHelperReaped(pid, status))
        return 1;
    const int n = ChildNumberOf(pid);
    if (n == 0)
        return 1;       // a process a dead pool child left, ended below
    gChildren[n] = 0;
    gHandedAt[n] = 0;
    // Its front, its session's process and what that started now belong to
    // the master (a session that cleared its parent-death signal would
    // otherwise go on without its pool child): they end with it.
    KillListedChildren(KeptChild);
    ClearChildPIDLine(n);
    ShmSlot *slot = ShmSlotAt(n);
    if (slot != nullptr) {
        memset(reinterpret_cast<char *>(slot) + kShmLivePartOffset, 0, kShmLivePartSize);
        slot->pid = 0;
    }
    IndexSessionEnd(n);
    gLiveChildren--;
    LogDeath(pid, n, status);
    if (n <= gMinChildren) {
        const pid_t again = ForkChild(n, -1);
        if (again == 0)
            return -2;
        if (again < 0) {
            LogPerror("Cannot respawn child %d", n);
            sleep(kForkFailurePause);
        }
    }
    return 1;
}

}  // namespace

void CloseMasterDescriptors()
{
    CloseListeners();
    for (int *fd : {&gWakeWrite, &gWakeRead}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}


// ---- Interfaces ------------------------------------------------------------------------------

void WakeMaster()
{
    // A full pipe already holds a wake-up for the master.
    if (gWakeWrite >= 0 && gChild != 0)
        (void) !write(gWakeWrite, "", 1);
}

int SignalChildren(int sig)
{
    if (gChildren == nullptr)
        return 0;
    // A child that died unnoticed must not be mistaken for one still to
    // signal (its pid may be reused).
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        const int n = ChildNumberOf(pid);
        if (n != 0) {
            gChildren[n] = 0;
            ClearChildPIDLine(n);
            gLiveChildren--;
        } else {
            (void) RefusalHelperReaped(pid, status);
        }
    }
    int count = 0;
    for (int n = 1; n <= gNumChildren; n++) {
        if (gChildren[n] > 1 && kill(gChildren[n], sig) == 0)
            count++;
    }
    return count;
}

void LogDeath(pid_t pid, int n, int status)
{
    const int p = static_cast<int>(pid);
    const char *core = WIFSIGNALED(status) && WCOREDUMP(status) ? " (core dumped)" : "";
    if (n < 0) {
        if (WIFSIGNALED(status))
            Log(kLogMisc, "Detected abnormal death of logger, pid %d, due to signal %d%s.\n", p, WTERMSIG(status), core);
        else if (WIFEXITED(status))
            Log(kLogMisc, "Logger died with exit status %d, pid %d.\n", WEXITSTATUS(status), p);
        else
            Log(kLogMisc, "Detected abnormal death of logger, pid %d.\n", p);
        return;
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) != 0)
            _Trace(kLogMisc, "Detected exit status %d from child #%d, pid %d.\n", WEXITSTATUS(status), n, p);
        else
            _Trace(kLogMisc, "Detected death of natural causes of child #%d, pid %d.\n", n, p);
    } else if (WIFSIGNALED(status)) {
        Log(kLogMisc, "Detected abnormal death of child #%d, pid %d, due to signal %d%s.\n", n, p, WTERMSIG(status),
            core);
    } else {
        Log(kLogMisc, "Detected abnormal death of child #%d, pid %d.\n", n, p);
    }
}

void ServerInit()
{
    InitPIDFile();
    RaiseLimit(RLIMIT_FSIZE, "Reset filesize limit to unlimited.\n", "Set filesize limit to maximum (%ld).\n",
               "Failed to increase filesize limit.");
    RaiseLimit(RLIMIT_CPU, "Reset cpu time limit to unlimited.\n", "Set cpu time limit to maximum (%ld).\n",
               "Failed to increase cpu usage limit -- server may die.");
    if (geteuid() == 0) {
        gRunningAsRoot = 1;
        if (gNice != 0) {
            errno = 0;
            if (nice(gNice) == -1 && errno != 0)
                LogPerror("nice");
        }
        const gid_t root = 0;
        if (setgroups(1, &root) < 0)
            LogPerror("SetRootGroups failed");
    }
    if (gRunningAsRoot && PrepareFrontConfinement() < 0)
        Exit(1);    // no client is served with rights before its login
    if (gAnonOnlyServer)
        EnterAnonymousArea();
}

void ChildInit(int n)
{
    setpgid(0, 0);
    gChild = n;
    UnmapPoolTable(gChildren);
    UnmapPoolTable(gHandedAt);
    UnmapPoolTable(gWaiting);
    snprintf(gCoreSubDir, sizeof(gCoreSubDir), "%d", n);
    snprintf(gLogHeader, sizeof(gLogHeader), "#%c%-5d | ", RoleLetter(), n);
    _Trace(kLogMisc, "Started (pid=%d).\n", static_cast<int>(getpid()));
    LeavePIDFile();

    const time_t now = time(nullptr);
    // Every child inherits the master's generator: without its own seed, all
    // would try the same passive ports in the same order.
    gRandomState = (static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(now) ^ gRandom32Bits) | 1;
    gChildExpiration = gChildLifetime > 0 ? now + gChildLifetime + n % 15 : 0;
    (void) JoinSharedMemory(n);
    (void) InitAuthSock();   // a failure is logged; the first exchange tries again

    // Only for the trace: the C library's zone figures are written at each call.
    if (gTraceLogging >= 2 || (gTraceLogging >= 1 && n == 1)) {
        struct tm tm {};
        localtime_r(&now, &tm);
        char zone[64];
        if (strftime(zone, sizeof(zone), "%Z %z", &tm) == 0)
            zone[0] = '\0';
        Log(kLogMisc, "GMT offset: %ld  Timezone: %.31s\n", tm.tm_gmtoff, zone);
    }
    // The TLS context is built while the process still has the identity the
    // master started with, and kept for every session of this child.
    if (TlsLoadContext() < 0)
        Log(kLogMisc, "This child serves without TLS: AUTH is answered 431.\n");
    if (gRunningAsRoot && ShmPrepareMailbox() < 0)
        LogPerror("Cannot map the status mailbox; no client can be served");
    // The fronts and sessions it forks would only let the tables the pool
    // writes go again: they never get them.
    if (gRunningAsRoot) {
        (void) ShmKeepFromChildren();
        KeepSessionIndexFromChildren();
        KeepDirGenerationsFromChildren();
        QuotaTableKeepFromChildren();
    }
    // Last: what the set-up above needed may be beyond a session.
    (void) LimitSessionProcess();   // a failed step is logged; the child still serves
    NoteHighestDescriptor();
    if (gTraceLogging >= 2)
        Log(kLogMisc, "Last descriptor is #%d.\n", HighestOpenDescriptor());
    gLastDescriptorCheck = now;
}

// xorshift64*: its state is one word among the process's own, where the C
// library's generator would have each child copy a page of the library.
uint32_t ChildRandom()
{
    uint64_t x = gRandomState;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    gRandomState = x;
    return static_cast<uint32_t>((x * 0x2545F4914F6CDD1DULL) >> 32);
}

int StatisticsCheckPoint(time_t now)
{
    if (now < gNextStatDumpD)
        return 0;
    CloseStrayDescriptors();
    StatDump(gNextStatDump, gPeriodMaxSimultaneousUsers, gHighestChild);
    gNextStatDump += kShmBucketSeconds;
    gNextStatDumpD += kShmBucketSeconds;
    gPeriodMaxSimultaneousUsers = 0;
    return 1;
}

int MainProcess()
{
    (void) JoinSharedMemory(0);
    const time_t now = ShmTime(nullptr);
    gNextStatDump = now - now % kShmBucketSeconds + kShmBucketSeconds;
    gNextStatDumpD = gNextStatDump + kStatDumpDelay;
    NoteHighestDescriptor();

    for (;;) {
        if (gReloadConfiguration) {
            gReloadConfiguration = 0;
            (void) ReloadDomainCf();
        }

        const int busy = CountBusyChildren();
        if (busy > gPeriodMaxSimultaneousUsers)
            gPeriodMaxSimultaneousUsers = busy;
        const bool allBusy = busy >= gLiveChildren;
        if (allBusy) {
            const int fd = MasterAccept();
            if (gChild != 0)
                return fd;
        }

        (void) StatisticsCheckPoint(ShmTime(nullptr));
        FinishRefusals();

        const int reaped = ReapChild();
        if (reaped == -2)
            return -1;
        if (reaped == 0 && !allBusy)
            PauseMaster();
    }
}

int WaitForRequests(int port)
{
    gPoolTableEntries = static_cast<size_t>(gNumChildren) + 2;
    gChildren = MapPoolTable<pid_t>();
    gHandedAt = MapPoolTable<time_t>();
    gWaiting = MapPoolTable<WaitingClient>();
    if (gChildren == nullptr || gHandedAt == nullptr || gWaiting == nullptr) {
        LogPerror("mmap");
        return -1;
    }
    if (OpenControlSockets(port) < 0) {
        gPIDFile[0] = '\0';     // not written yet: there is nothing of ours to remove
        return -1;
    }
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) == 0) {
        gWakeRead = wake[0];
        gWakeWrite = wake[1];
    } else {
        LogPerror("pipe");      // the master then pauses its full time
    }
    struct sigaction exited {};
    exited.sa_handler = NoteChildExit;
    exited.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&exited.sa_mask);
    sigaction(SIGCHLD, &exited, nullptr);
    gChildren[0] = getpid();
    // What a pool child leaves when it dies comes to the master, which ends it
    // (its list of children is opened before an anonymous server's chroot).
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) < 0 || OpenChildrenList() < 0)
        LogPerror("A dead pool child's processes cannot be ended");
    ServerInit();
    // The zone is read once here, so that the children inherit it instead
    // of each allocating its own copy on heap pages shared with the master.
    tzset();

    for (int n = 1; n <= gMinChildren; n++) {
        const pid_t pid = ForkChild(n, -1);
        if (pid == 0)
            ChildLoop(-1);
        if (pid < 0) {
            LogPerror("Cannot spawn child %d", n);
            sleep(kForkFailurePause);
            return -1;
        }
    }

    if (gSyslog)
        syslog(LOG_INFO, "Ready on port %u.  Master PID is %d.", static_cast<unsigned>(port), static_cast<int>(getpid()));
    Log(kLogMisc, "Ready (pid=%d) on %s, port %u.\n", static_cast<int>(getpid()), gOurHostName,
        static_cast<unsigned>(port));
    NotifyReady();
    if (strcmp(gFTPUser.username, "ftp") != 0 && strcmp(gFTPUser.username, "_ftp") != 0) {
        Log(kLogMisc, "Warning: The user \"ftp\" was not found on this system.\n");
        Log(kLogMisc, "  The privileges for the user \"%.63s\" will be used for anonymous FTP.\n", gFTPUser.username);
        Log(kLogMisc, "  The default value of \"ftp-home\" is \"%.127s\".\n", gDefaultFTPHome);
    }

    if (gListenIPv6 && !gAllowEpsvEprt)
        Log(kLogMisc, "Warning: listen-ipv6 is on but allow-epsv-eprt is off: IPv6 clients cannot open data connections.\n");
    const int fd = MainProcess();
    ChildLoop(fd);
}

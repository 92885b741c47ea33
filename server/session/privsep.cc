// The separation at login (privsep.h): the fork, the session's process
// giving up root for good, and the pool child's answers to the privileged
// channel while it waits for that process.
#include "session/privsep.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>

#include "Strn.h"
#include "auth/pam.h"
#include "base/exit.h"
#include "base/pages.h"
#include "base/privchan.h"
#include "base/process.h"
#include "config/config.h"
#include "config/domain.h"
#include "events/eventframe.h"
#include "events/events.h"
#include "log/log.h"
#include "logger/logger.h"
#include "quota/quota.h"
#include "quota/shared.h"
#include "paths/paths.h"
#include "paths/uniquefd.h"
#include "sio.h"
#include "session/filecmds.h"
#include "session/login.h"
#include "session/prelogin.h"
#include "session/shell.h"
#include "status/shm.h"
#include "status/dirgen.h"
#include "status/sessionindex.h"
#include "tls/tls.h"
#include "transfer/data.h"
#include "base/clock.h"

// Closes a descriptor a process handed over.  A socket may be a TCP one
// told to linger on close until its peer has read everything, which code in
// a session can make wait an hour: closing the last copy here would hold
// this pool child that long.  A process that exits never lingers, so such a
// socket's last copy goes with a child that exits once this process has let
// its own copy go (the server's own sockets never linger: a plain close).
void CloseHandedOver(int fd)
{
    struct linger l {};
    socklen_t len = sizeof(l);
    int gate[2];
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0 || l.l_onoff == 0 || l.l_linger == 0 ||
        pipe2(gate, O_CLOEXEC) < 0) {
        if (fd >= 0)
            close(fd);
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(gate[1]);
        char byte;
        (void) !read(gate[0], &byte, 1);     // its end: this process let the socket go
        _exit(0);
    }
    close(fd);
    close(gate[0]);
    close(gate[1]);
    if (pid > 0)
        (void) waitpid(pid, nullptr, 0);
}

namespace {

// Signals the master (or an administrator) sends the pool child: during a
// session they are meant for the session's process.
constexpr int kForwardedSignals[] = {SIGTERM, SIGINT, SIGQUIT, SIGPWR, SIGUSR1};

constexpr long long kSessionEndMillis = 3000;   // a session's time to end after a shutdown signal
constexpr long long kFrontEndMillis = 6000;     // a front's time to end after its login time-out
constexpr int kRelayEndMillis = 2000;           // a relay's time to say close_notify
constexpr int kPublishMillis = 1000;            // how often the waited process's slot is published

volatile pid_t gSessionProcess = 0;
volatile sig_atomic_t gDeathSignal = 0;     // a shutdown signal passed on

void ForwardSignal(int sig)
{
    const int saved = errno;
    if (sig == SIGTERM || sig == SIGPWR)
        gDeathSignal = sig;
    if (gSessionProcess > 1)
        kill(gSessionProcess, sig);
    errno = saved;
}

void NoteReload(int)
{
    gReloadConfiguration = 1;   // for the next admission of this pool child
}

// The files this session gave away (anonymous uploads): only their times
// may be set for it afterwards.  Each is held open, so that its inode
// number cannot pass to another file while it counts.
struct GivenAway {
    dev_t dev;
    ino_t ino;
    int fd;
};
constexpr int kGivenAwayMax = 32;
GivenAway gGivenAway[kGivenAwayMax];
int gGivenAwayNext;

void ForgetGivenAway()
{
    const int n = gGivenAwayNext < kGivenAwayMax ? gGivenAwayNext : kGivenAwayMax;
    for (int i = 0; i < n; i++)
        close(gGivenAway[i].fd);
    gGivenAwayNext = 0;
}

void RememberGivenAway(int fd, const struct stat &st)
{
    const int held = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (held < 0)
        return;
    GivenAway &slot = gGivenAway[gGivenAwayNext % kGivenAwayMax];
    if (gGivenAwayNext >= kGivenAwayMax)
        close(slot.fd);     // the oldest goes
    slot = {st.st_dev, st.st_ino, held};
    gGivenAwayNext++;
}

bool WasGivenAway(const struct stat &st)
{
    const int n = gGivenAwayNext < kGivenAwayMax ? gGivenAwayNext : kGivenAwayMax;
    for (int i = 0; i < n; i++) {
        if (gGivenAway[i].dev == st.st_dev && gGivenAway[i].ino == st.st_ino)
            return true;
    }
    return false;
}

// The anonymous root, opened when the session separated: the directory of
// an object to give away is found below it, never by a path that a rename
// elsewhere could turn.
int gAnonRootFd = -1;

PrivAnswer Answer(int rc)
{
    PrivAnswer a {};
    a.rc = rc < 0 ? -1 : 0;
    a.err = rc < 0 ? errno : 0;
    return a;
}

PrivAnswer Refused(int err)
{
    PrivAnswer a {};
    a.rc = -1;
    a.err = err;
    return a;
}

// ---- The requests ------------------------------------------------------------------------------

// A descriptor that came with a request, closed as above unless taken.
class HandedOver {
  public:
    explicit HandedOver(int fd) : fd_(fd) {}
    ~HandedOver() { CloseHandedOver(fd_); }
    HandedOver(const HandedOver &) = delete;
    HandedOver &operator=(const HandedOver &) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// The data port below the control port: a socket of the pool child's own,
// made and bound here and handed back with the answer; a socket the session
// passes is refused.  Every socket a session holds on that port is then
// root's and shares the port (SO_REUSEADDR, SO_REUSEPORT): the kernel lets
// a listening or unshared socket keep later binds off its port only when
// they are another owner's or do not share, so code in a session that
// listens on its socket, or clears SO_REUSEADDR, keeps no other session
// from the port (its system-call filter refuses clearing SO_REUSEPORT).
PrivAnswer BindDataPort(int fd, int *bound)
{
    if (!gBindLocalDataPort)
        return Refused(EPERM);
    if (fd >= 0)
        return Refused(EINVAL);
    const int port = SioAddrPort(&gLocalCtrlAddr);
    const int family = gLocalCtrlAddr.sa.sa_family;
    if (port < 2 || (family != AF_INET && family != AF_INET6))
        return Refused(EINVAL);
    SioAddr local = gLocalCtrlAddr;
    SioAddrSetPort(&local, port - 1);
    // As the session's own data sockets: an IPv6 one reaches IPv6 alone.
    UniqueFd s(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!s.ok() || (family == AF_INET6 && setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) < 0) ||
        setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0 ||
        setsockopt(s.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) < 0 ||
        bind(s.get(), &local.sa, SioAddrLen(&local)) < 0)
        return Answer(-1);
    *bound = s.release();
    return Answer(0);
}

// The part of path below the anonymous root ("" for the root itself), or
// nullptr when path is not below it.
const char *BelowAnonymousRoot(const char *path)
{
    const size_t n = strlen(gFTPHome);
    if (n == 0)
        return nullptr;
    if (strcmp(gFTPHome, "/") == 0)
        return path + 1;
    if (strncmp(path, gFTPHome, n) != 0 || path[n] != '/')
        return nullptr;
    return path + n + 1;
}

// The directory that holds the object st describes under path: resolved
// below the anonymous root without any link or mount on the way, and
// checked to hold that very object under that name.
bool ParentOf(const char *path, const struct stat &st, struct stat *parent)
{
    const char *below = BelowAnonymousRoot(path);
    if (below == nullptr || gAnonRootFd < 0)
        return false;
    char dir[kPathBufSize];
    Strncpy(dir, below);
    char *slash = strrchr(dir, '/');
    const char *name = below;
    if (slash != nullptr) {
        name = below + (slash - dir) + 1;
        *slash = '\0';
    } else {
        Strncpy(dir, ".");
    }
    if (name[0] == '\0')
        return false;
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    UniqueFd d(static_cast<int>(syscall(SYS_openat2, gAnonRootFd, dir, &how, sizeof(how))));
    struct stat held;
    return d.ok() && fstat(d.get(), parent) == 0 && fstatat(d.get(), name, &held, AT_SYMLINK_NOFOLLOW) == 0 &&
           held.st_dev == st.st_dev && held.st_ino == st.st_ino;
}

// The mode of the object fd holds, also of a directory the session passed
// only a name for (O_PATH), which opens itself through it.
int ChmodHeld(int fd, mode_t mode)
{
    if (fchmod(fd, mode) == 0)
        return 0;
    if (errno != EBADF)
        return -1;
    UniqueFd self(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return self.ok() ? fchmod(self.get(), mode) : -1;
}

// An anonymous session's new file or directory goes to the owner of the
// directory that holds it, or to the configured a-file-owner and group:
// only objects the session's account owns, found under the real path the
// session names inside the anonymous root, and no file with a second name
// (which could lie anywhere).
PrivAnswer GiveAway(int fd, int64_t uid, int64_t gid, const char *path, size_t length)
{
    struct stat st;
    if (!gIsAnon || fd < 0 || fstat(fd, &st) < 0 || (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) ||
        st.st_uid != gSessionUid || (S_ISREG(st.st_mode) && st.st_nlink != 1))
        return Refused(EPERM);
    struct stat parent;
    if (length < 2 || path[length - 1] != '\0' || strlen(path) != length - 1 || !ParentOf(path, st, &parent))
        return Refused(EPERM);
    const DomainInfo *d = gCurDomain;
    const bool uidOk = uid == -1 || uid == parent.st_uid || (d != nullptr && d->aFileOwner != static_cast<uid_t>(-1) &&
                                                              uid == d->aFileOwner);
    const bool gidOk = gid == -1 || gid == parent.st_gid || (d != nullptr && d->aFileGroup != static_cast<gid_t>(-1) &&
                                                              gid == d->aFileGroup);
    if (!uidOk || !gidOk)
        return Refused(EPERM);
    if (fchownat(fd, "", static_cast<uid_t>(uid), static_cast<gid_t>(gid), AT_EMPTY_PATH) < 0)
        return Answer(-1);
    // A file given to another account never carries a set-id bit with it,
    // nor a directory one its parent did not hand down (the files made in
    // it would all take the group it was given).  A directory keeps them
    // through the change of owner; read after it, since its owner could set
    // them until then (and no longer can for a group it is not in).
    mode_t keep = 01777;
    if (S_ISDIR(st.st_mode) && (parent.st_mode & S_ISGID) != 0)
        keep |= S_ISGID;
    // (A regular file passed as a name only lost them with its owner.)
    struct stat now;
    if (fstat(fd, &now) < 0)
        return Answer(-1);
    if ((now.st_mode & 07777 & ~keep) != 0 && ChmodHeld(fd, now.st_mode & keep) < 0 && S_ISDIR(now.st_mode))
        return Answer(-1);
    if (S_ISREG(st.st_mode))
        RememberGivenAway(fd, st);
    return Answer(0);
}

PrivAnswer SetTimesOfGivenAway(int fd, const struct timespec times[2])
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || !WasGivenAway(st))
        return Refused(EPERM);
    // An open file takes its times directly; one the session could only
    // name (O_PATH) through /proc.
    if (futimens(fd, times) == 0)
        return Answer(0);
    if (errno != EBADF)
        return Answer(-1);
    char link[32];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    return Answer(utimensat(AT_FDCWD, link, times, 0));
}

// An event frame for a queue only root may write: its header is written
// again from its length, so that the consumer reads one whole frame.
PrivAnswer QueueEvent(const char *data, size_t length)
{
    if (gEventMessageQueueID < 0)
        return Refused(EPERM);
    if (length < 1 + kEventFrameOverhead || length > 1 + kEventFrameSize)
        return Refused(EINVAL);
    EventQueueMessage m {};
    m.type = static_cast<unsigned char>(data[0]);
    const size_t frame = length - 1;
    const size_t bodyLen = frame - kEventFrameOverhead;
    if (m.type == 0 || bodyLen > kEventBodyMax)
        return Refused(EINVAL);
    // The consumer trusts this queue: a record goes out only in the name
    // of the user and session this pool child logged in.
    if (m.type > 0x7f || !EventRecordIsOwn(static_cast<char>(m.type), data + 1 + kEventFrameHeaderSize, bodyLen))
        return Refused(EPERM);
    memcpy(m.text, data + 1, frame);
    FillEventFrameHeader(m.text, bodyLen);
    m.text[frame - 1] = '\0';
    return Answer(msgsnd(gEventMessageQueueID, &m, frame, IPC_NOWAIT));
}

// ---- The pool child's wait -----------------------------------------------------------------------

// The answer with root's effective uid: a server that runs as the anonymous
// account keeps root only as its real and saved uid (a socket made for the
// answer is root's then, as every other on its port).
PrivAnswer AnswerAsRoot(const PrivRequest &req, int fd, int *answerFd)
{
    const uid_t saved = geteuid();
    if (saved != 0 && (getuid() != 0 || seteuid(0) < 0))
        return Refused(EPERM);
    const PrivAnswer answer = AnswerPrivRequest(req, fd, answerFd);
    if (geteuid() != saved && seteuid(saved) < 0) {
        LogPerror("cannot restore euid %u", static_cast<unsigned>(saved));
        Exit(1);
    }
    return answer;
}

// A front's requests (login words among them) come before the login and are
// read into gFrontRequest, a login word's TLS state apart into gFrontTls
// (which without TLS does not come: none of its pages is written); those of
// the session's process come after it and are read on the stack, on pages
// the pool child and that process write anyway: the pages the login words
// were read into stay the ones the two share.  Nothing of a record but its
// head is read beyond what came, and only the head is cleared before each.
union FrontRequest {
    PrivRequest priv;
    LoginRecord login;
};
static_assert(sizeof(PrivRequest) <= sizeof(LoginRecord), "a front's other requests fit before the TLS state");
ON_LOGIN_PAGES FrontRequest gFrontRequest;
TlsControlExport gFrontTls;

// Reads one request (and the descriptor that came with it) into req (a
// front's into gFrontRequest, of which req is then the priv) and answers it.
// -1 at the end of the channel, -2 when the answer could not be sent at
// once; 1 when the session said it ended in order; a login word's result
// (prelogin.h) for a word of the front.  A front (front set) may only hand
// over login words, have its slot published and say it is done: what the
// other requests do is for a logged-in session.
int ServeRequest(int channel, bool front, PrivRequest &req)
{
    memset(&req, 0, offsetof(PrivRequest, data));
    int fd = -1;
    const int n = front ? RecvDatagramWithFdSplit(channel, &gFrontRequest, sizeof(LoginRecord), &gFrontTls,
                                                  sizeof(gFrontTls), &fd)
                        : RecvDatagramWithFd(channel, &req, sizeof(req), &fd);
    HandedOver object(fd);
    UniqueFd back;      // what goes with the answer
    if (n == 0 || (n < 0 && errno != EMSGSIZE))
        return -1;
    const bool withTls = n == static_cast<int>(kLoginRequestSize);
    if (front && gFrontRequest.login.op == kPrivLogin && (withTls || n == static_cast<int>(sizeof(LoginRecord))))
        return ServeLoginWord(channel, gFrontRequest.login, withTls ? &gFrontTls : nullptr, object.release());
    const size_t head = offsetof(PrivRequest, data);
    PrivAnswer answer = Refused(EINVAL);
    if (n > 0 && static_cast<size_t>(n) >= head && req.length >= 0 &&
        static_cast<size_t>(req.length) <= kPrivDataMax &&
        static_cast<size_t>(n) == head + static_cast<size_t>(req.length)) {
        if (req.op == kPrivSessionDone)
            return 1;
        ShmPublishMailbox(!front);    // what the process records shows before anything it asks is done
        if (req.op == kPrivPublishSlot) {
            answer = Answer(0);
        } else if (front) {
            answer = Refused(EPERM);
        } else if (req.op == kPrivDomainTotals) {
            ShmAddDomainTotals(req.uid == 1, req.gid);
            answer = Answer(0);
        } else if (req.op == kPrivAreaLock) {
            answer = Answer(AnswerAreaLock(req.uid == 1));
        } else if (req.op == kPrivDirChanged) {
            BumpDirGenerationOf(static_cast<uint64_t>(req.uid), static_cast<uint64_t>(req.gid));
            answer = Answer(0);
        } else if (req.op >= kPrivQuotaFind && req.op <= kPrivQuotaRelease) {
            const int rc = QuotaServe(req, &answer);    // the figures into answer.value
            answer.rc = rc < 0 ? -1 : 0;
            answer.err = rc < 0 ? errno : 0;
        } else {
            int given = -1;
            answer = AnswerAsRoot(req, object.get(), &given);
            back.reset(given);
        }
    }
    answer.seq = req.seq;
    // A session that does not read its answers is not waited for.
    if (SendDatagramWithFd(channel, &answer, sizeof(answer), back.get()) < 0)
        return -2;
    return 0;
}

// Not inlined: the record is on the stack while a session's request is
// read, not below the login words.
__attribute__((noinline)) int ServeSessionRequest(int channel)
{
    PrivRequest req;
    return ServeRequest(channel, false, req);
}

int ServeOneRequest(int channel, bool front)
{
    if (front)
        return ServeRequest(channel, true, gFrontRequest.priv);
    return ServeSessionRequest(channel);
}

struct SavedHandlers {
    struct sigaction forwarded[std::size(kForwardedSignals)];
    struct sigaction hup;
};

ON_LOGIN_PAGES SavedHandlers gSavedHandlers;      // the pool child's own, while a process is waited for
int gWatchedChannel = -1;           // the channel and pidfd of the process waited for
int gWatchedPidfd = -1;

void InstallForwarding(SavedHandlers *saved)
{
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = ForwardSignal;
    for (size_t i = 0; i < std::size(kForwardedSignals); i++)
        sigaction(kForwardedSignals[i], &sa, &saved->forwarded[i]);
    sa.sa_handler = NoteReload;
    sigaction(SIGHUP, &sa, &saved->hup);
}

void RestoreHandlers(const SavedHandlers &saved)
{
    for (size_t i = 0; i < std::size(kForwardedSignals); i++)
        sigaction(kForwardedSignals[i], &saved.forwarded[i], nullptr);
    sigaction(SIGHUP, &saved.hup, nullptr);
}

int PidFd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Waits up to millis for a child to end on its own, then ends it and every
// process it started: the child leads a process group of its own, whose
// members cannot leave it (no setsid, no setpgid after a login).  The group
// is ended while the child's pid is still held, unreaped, so that the
// number names no other group.  watched is the child's pidfd when the
// caller holds one already, else -1.
void ReapWithin(pid_t pid, int millis, int *status, int watched = -1)
{
    UniqueFd own(watched < 0 ? PidFd(pid) : -1);
    struct pollfd p = {watched >= 0 ? watched : own.get(), POLLIN, 0};
    if (p.fd >= 0) {
        while (poll(&p, 1, millis) < 0 && errno == EINTR) {
        }
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        if (info.si_pid == 0)
            kill(pid, SIGKILL);
        kill(-pid, SIGKILL);
    }
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
        // it has ended or ends now
    }
}

// Before a login the process waited for is the front; a login hands the
// session to the user's process, and the front, under TLS, relays for it.
struct Watched {
    pid_t pid;
    int channel;
    UniqueFd pidfd;
    bool handedOver = false;    // a login made the user's process the one waited for
    pid_t front = 0;            // then: the front, relaying or on its way out (0 once reaped)
};

void WatchProcess(Watched *w, pid_t pid, int channel)
{
    w->pid = pid;
    w->channel = channel;
    w->pidfd.reset(PidFd(pid));
    gSessionProcess = pid;
    gWatchedChannel = channel;
    gWatchedPidfd = w->pidfd.get();
}

}  // namespace

// Answers the channel until the session's process has ended, then ends the
// session on this side.
void WaitForSessionProcess(pid_t pid, int channel, const sigset_t &oldMask, time_t loginDeadline, bool front)
{
    InstallForwarding(&gSavedHandlers);
    Watched w;
    w.handedOver = !front;
    WatchProcess(&w, pid, channel);
    gDeathSignal = 0;
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    bool orderly = false, open = true;
    int status = 0, endedHere = -1;
    long long killAt = 0;       // after a shutdown signal: the last moment the process may take
    // The front ends itself at its login time-out; one that has not gone
    // soon after holds this pool child no longer.
    const long long frontEndAt = loginDeadline != 0
        ? MonotonicMillis() + static_cast<long long>(loginDeadline - ShmTime(nullptr)) * 1000 + kFrontEndMillis
        : 0;
    for (;;) {
        if (gDeathSignal != 0 && killAt == 0)
            killAt = MonotonicMillis() + kSessionEndMillis;
        if (killAt != 0 && MonotonicMillis() >= killAt)
            kill(w.pid, SIGKILL);
        if (frontEndAt != 0 && !w.handedOver && MonotonicMillis() >= frontEndAt) {
            kill(w.pid, SIGKILL);
            endedHere = kEndLoginTimeout;
            break;
        }
        // What the process records (a transfer's progress) shows within a second.
        ShmPublishMailbox(w.handedOver);
        // A front without TLS to relay is gone after the hand-over: no zombie is kept.
        if (w.front != 0 && waitpid(w.front, nullptr, WNOHANG) == w.front)
            w.front = 0;
        int wait = w.pidfd.ok() && killAt == 0 ? kPublishMillis : 200;
        if (frontEndAt != 0 && !w.handedOver) {
            const long long left = frontEndAt - MonotonicMillis();
            wait = static_cast<int>(left <= 0 ? 0 : left < wait ? left : wait);
        }
        struct pollfd p[3] = {{open ? w.channel : -1, POLLIN, 0}, {w.pidfd.get(), POLLIN, 0},
                              {LogChannelToWatch(), 0, 0}};
        const int n = poll(p, 3, wait);
        if (n < 0 && errno != EINTR)
            break;
        // A lost log channel: the session goes on; this child leaves after it.
        if (n > 0 && NoteLogChannel(p[2].revents) && p[0].revents == 0 && p[1].revents == 0)
            continue;
        // The channel first: a process that said it is done and exited at
        // once wakes both.
        if (open && p[0].revents != 0) {
            const int rc = ServeOneRequest(w.channel, !w.handedOver);
            if (rc == kLoginHandOver) {
                close(w.channel);
                w.front = w.pid;
                w.handedOver = true;
                WatchProcess(&w, HandOverPid(), HandOverChannel());
                continue;
            }
            if (rc == kLoginEnded) {
                endedHere = LoginEndReason();
                break;
            }
            if (rc == -2)
                kill(w.pid, SIGKILL);
            if (rc < 0)
                open = false;   // the process is ending; its exit follows
            else if (rc == 1)
                orderly = true;
            continue;
        }
        if (p[1].revents != 0 || (!w.pidfd.ok() && waitpid(w.pid, &status, WNOHANG) == w.pid))
            break;
    }
    // A front told to end writes its last replies and goes.
    ReapWithin(w.pid, endedHere >= 0 ? static_cast<int>(kSessionEndMillis) : -1, &status, w.pidfd.get());
    ShmPublishMailbox(w.handedOver);        // the statistics of its end
    if (w.front != 0) {
        int ignored;
        ReapWithin(w.front, kRelayEndMillis, &ignored);   // its close_notify first
    }
    sigset_t forwarded;
    sigemptyset(&forwarded);
    for (int sig : kForwardedSignals)
        sigaddset(&forwarded, sig);
    sigprocmask(SIG_BLOCK, &forwarded, nullptr);
    gSessionProcess = 0;
    RestoreHandlers(gSavedHandlers);
    close(w.channel);
    w.pidfd.reset();      // the end below jumps away: no destructor runs
    gWatchedChannel = gWatchedPidfd = -1;
    EndRequestAnswers();
    const int death = gDeathSignal;
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    if (endedHere >= 0)
        DoneConnection(endedHere);
    MonitorSessionEnded(status, orderly, death);
}

namespace {

// The pool child lets go of the connections: the session's process alone
// holds them now.  Nothing is shut down or sent: the descriptors and the
// TLS state are only forgotten here.
void LeaveConnectionsToSessionProcess()
{
    TlsDrop(kTlsData);
    TlsDrop(kTlsControl);
    for (int *fd : {&gData, &gPassiveData, &gCtrl}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

[[noreturn]] void SeparationFailed(const char *what)
{
    LogPerror("%s", what);
    Reply("451 Login failed, local error.\r\n");
    DoneConnection(kEndIdentity);
}

}  // namespace

void PrepareRequestAnswers()
{
    EndRequestAnswers();
    if (gIsAnon && gFTPHome[0] == '/')
        gAnonRootFd = open(gFTPHome, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void EndRequestAnswers()
{
    ReleaseAreaLock();          // one the session's process left held
    ForgetGivenAway();
    if (gAnonRootFd >= 0)
        close(gAnonRootFd);
    gAnonRootFd = -1;
}

PrivAnswer AnswerPrivRequest(const PrivRequest &req, int fd, int *answerFd)
{
    *answerFd = -1;
    switch (req.op) {
    case kPrivBindDataPort:
        return BindDataPort(fd, answerFd);
    case kPrivChown:
        return GiveAway(fd, req.uid, req.gid, req.data, static_cast<size_t>(req.length));
    case kPrivSetTimes:
        return SetTimesOfGivenAway(fd, req.times);
    case kPrivQueueEvent:
        return QueueEvent(req.data, static_cast<size_t>(req.length));
    default:
        return Refused(EINVAL);
    }
}

pid_t ForkWithChannel(int *channel, sigset_t *oldMask)
{
    ShmRefreshMailbox();        // the new process's slot starts as this one's
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0)
        return -1;
    // Until each side has its handlers, a signal of the master waits.
    sigset_t block;
    sigemptyset(&block);
    for (int sig : kForwardedSignals)
        sigaddset(&block, sig);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, oldMask);
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        close(pair[0]);
        close(pair[1]);
        sigprocmask(SIG_SETMASK, oldMask, nullptr);
        errno = err;
        return -1;
    }
    // Whatever the new process starts stays in its group, ended with it
    // (set on both sides: either may run first).
    (void) setpgid(pid == 0 ? 0 : pid, pid == 0 ? 0 : pid);
    if (pid > 0) {
        close(pair[1]);
        *channel = pair[0];
        return pid;
    }
    close(pair[0]);
    gPrivChannel = pair[1];
    // What the pool child holds while it waits for another process is not
    // this one's: the front's channel, its handlers.
    if (gWatchedChannel >= 0) {
        close(gWatchedChannel);
        close(gWatchedPidfd);
        gWatchedChannel = gWatchedPidfd = -1;
        gSessionProcess = 0;
        RestoreHandlers(gSavedHandlers);
    }
    CloseMasterDescriptors();
    ForgetLogHandOver();        // the pool child's alone: no other process hands the logger a descriptor
    PamForget();
    ForgetAreaLocks();          // the pool child takes an area's lock for its session
    return 0;
}

void SeparateSession()
{
    if (!gRunningAsRoot) {
        SwitchToUserIdentity();
        return;
    }
    const pid_t poolChild = getpid();
    int channel = -1;
    sigset_t oldMask;
    const pid_t pid = ForkWithChannel(&channel, &oldMask);
    if (pid < 0)
        SeparationFailed("fork");
    if (pid == 0) {
        TakeOverControl();      // a login made for the front: the connection is this process's now
        if (gCtrl >= 0)
            (void) fcntl(gCtrl, F_SETOWN, getpid());   // urgent data (ABOR) now signals this process
        // The status area is read-only to the session: its slot is the mailbox
        // (attached as root: an anonymous-only server's child runs as its account).
        if ((geteuid() != 0 && seteuid(0) < 0) || ShmUseMailbox() < 0)
            SeparationFailed("status area");
        ForgetSessionIndex();
        // The tables the sessions share are written by the pool child alone.
        QuotaTableForget();
        ReadOnlyDirGenerations();
        // The server's TLS key stays with the pool child and the front.
        TlsKeepOnlyResumption();
        (void) EmptyBoundingSet();
        SwitchToUserIdentity();
        // The session ends with its pool child (kill -9 of the pid the status
        // area and the PID file show); set after the switch, which clears it.
        (void) prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != poolChild)
            _exit(1);
        (void) LimitUserProcess();
        FinishTakeOver();
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        return;
    }
    alarm(0);
    LeaveConnectionsToSessionProcess();
    PrepareRequestAnswers();
    if (RunningLoginWord()) {
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        HandOver(pid, channel);
    }
    WaitForSessionProcess(pid, channel, oldMask, 0, false);
}

// A client's reverse name, looked up in a helper forked for it (resolver.h).
//
// The helper drops its parent's signal handlers, the shared tables and every
// descriptor but its record's pipe, confines itself (EnterLookupConfinement),
// makes the look-ups its caller made before and writes one record (in one
// write, less than a pipe's atomic size).  The parent waits for that record
// with a time-out, always ends and reaps the helper by its pid, then reads
// what the helper left in the pipe and checks every field before it uses
// one.  The pool child waits for nothing else meanwhile; the master goes on
// with its loop, and its own wait for any child hands a helper it reaps to
// NoteLookupReaped.  Neither has a SIGCHLD handler.
#include "process/resolver.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include "Strn.h"
#include "base/exit.h"
#include "base/process.h"
#include "log/log.h"
#include "paths/uniquefd.h"
#include "process/sandbox.h"
#include "quota/shared.h"
#include "status/dirgen.h"
#include "status/sessionindex.h"
#include "status/shm.h"
#include "sio.h"
#include "tls/tls.h"
#include "base/clock.h"

namespace {

constexpr int kRecordFd = 3;                // the helper's one descriptor besides /dev/null
constexpr int kConfinementFailed = 3;       // its exit status when it could not confine itself

// ---- The helper ------------------------------------------------------------------------------

// Its parent's handlers would run the parent's code (a jump back into the
// server's loop): every signal is the kernel's default again, then let in.
void ForgetParentsSignals()
{
    struct sigaction dflt {};
    dflt.sa_handler = SIG_DFL;
    sigemptyset(&dflt.sa_mask);
    for (int sig = 1; sig < NSIG; sig++)
        (void) sigaction(sig, &dflt, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The status area, the session index, the directory generations and the
// quota records are the pool's: not even readable here.  Nor is the TLS
// key, which code taken over by an answer could send anywhere.
void ForgetSharedTables()
{
    ShmLetGo();
    ForgetSessionIndex();
    ForgetDirGenerations();
    QuotaTableForget();
    TlsForgetKeys();
}

// /dev/null on 0 to 2, the record's pipe on kRecordFd, nothing else: not
// the client's connection, not the listening sockets, not the log pipe (the
// helper logs nothing; a stray line goes to /dev/null).  The /dev/null kept
// since start-up serves a server chrooted into an anonymous area without one.
[[nodiscard]] bool KeepOnlyRecordPipe(int fd)
{
    gLogPipe = -1;
    gLogStopPipe = -1;
    const int record = fcntl(fd, F_DUPFD, kRecordFd);
    const int null = gDevNull >= 0 ? gDevNull : open("/dev/null", O_RDWR);
    if (record < 0 || null < 0)
        return false;
    for (int std = 0; std < kRecordFd; std++) {
        if (dup2(null, std) < 0)
            return false;
    }
    if (record != kRecordFd && dup2(record, kRecordFd) < 0)
        return false;
    return close_range(kRecordFd + 1, ~0U, 0) == 0;
}

// What ResolveClient and ClientHostName did themselves before: the reverse
// name, and unless it is too long, whether it leads back.
void LookUp(const SioAddr &a, size_t longest, ReverseName *r)
{
    const struct hostent *hp = SioAddrIsV6(&a) ? gethostbyaddr(&a.in6.sin6_addr, sizeof(a.in6.sin6_addr), AF_INET6)
                                               : gethostbyaddr(&a.in.sin_addr, sizeof(a.in.sin_addr), AF_INET);
    if (hp == nullptr || hp->h_name == nullptr || hp->h_name[0] == '\0')
        return;
    const std::string name(hp->h_name);     // the forward look-up may reuse the answer's space
    r->length = static_cast<uint32_t>(std::min<size_t>(name.size(), UINT32_MAX));
    Strncpy(r->name, name.c_str());
    if (name.size() > longest) {
        r->verdict = kReverseTooLong;
        return;
    }
    r->verdict = SioNameLeadsBack(name.c_str(), &a) ? kReverseLeadsBack : kReverseNotBack;
}

[[noreturn]] void RunHelper(const SioAddr &addr, size_t longest, int recordFd, pid_t parent)
{
    ForgetParentsSignals();
    ForgetSharedTables();
    if (!KeepOnlyRecordPipe(recordFd) || EnterLookupConfinement(parent) < 0)
        _exit(kConfinementFailed);
    ReverseName r {};
    LookUp(addr, longest, &r);
    _exit(write(kRecordFd, &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r)) ? 0 : 1);
}

// ---- The parent ------------------------------------------------------------------------------

bool gFailureLogged;     // a helper's failure is logged once per process

int NotStarted(const char *what)
{
    if (!gFailureLogged)
        LogPerror("Cannot start the helper that looks client names up (%s); the address is used", what);
    gFailureLogged = true;
    return -1;
}

// A helper that ended before it was sent its signal tells why, once: a
// time-out, a record that fails its checks or a name refused say nothing
// (a client's reverse zone can cause them at will).
void NoteHelperEnd(int status)
{
    if (gFailureLogged)
        return;
    if (WIFEXITED(status) && WEXITSTATUS(status) == kConfinementFailed)
        Log(kLogMisc, "The helper that looks client names up could not confine itself; the address is used.\n");
    else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
        Log(kLogMisc, "The helper that looks client names up made a call outside its list; the address is used.\n");
    else
        return;
    gFailureLogged = true;
}

// Waits until the helper's record (or the end of its pipe) can be read,
// at most timeoutSeconds.
void WaitReadable(int fd, int timeoutSeconds)
{
    const long long deadline = MonotonicMillis() + static_cast<long long>(timeoutSeconds) * 1000;
    for (;;) {
        const long long left = deadline - MonotonicMillis();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != -1 || errno != EINTR)
            return;
    }
}

// Ends the helper, whatever it is doing, and reaps it by its pid; its wait
// status.  A server that runs as the anonymous account has root's uid only
// as its real and saved one: it takes it back for the signal.
int EndHelper(pid_t pid)
{
    if (kill(pid, SIGKILL) < 0 && errno == EPERM && getuid() == 0) {
        const uid_t saved = geteuid();
        if (seteuid(0) == 0) {
            (void) kill(pid, SIGKILL);
            if (seteuid(saved) < 0) {
                LogPerror("cannot restore euid %u", static_cast<unsigned>(saved));
                Exit(1);
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        // it ends now
    }
    return status;
}

bool HostNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

}  // namespace

bool TakeReverseRecord(const void *bytes, size_t n, size_t longest, ReverseName *out)
{
    *out = ReverseName {};
    if (n != sizeof(ReverseName))
        return false;
    ReverseName r;
    memcpy(&r, bytes, sizeof(r));
    const char *end = static_cast<const char *>(memchr(r.name, '\0', sizeof(r.name)));
    if (end == nullptr)
        return false;
    const size_t shown = static_cast<size_t>(end - r.name);
    if (r.verdict == kReverseNone)
        return r.length == 0 && shown == 0;
    if (r.verdict != kReverseLeadsBack && r.verdict != kReverseTooLong && r.verdict != kReverseNotBack)
        return false;
    // The name is the whole one, or its first kReverseNameRoom - 1
    // characters; only a name over the caller's longest is too long.
    if (shown == 0 || shown != std::min<size_t>(r.length, kReverseNameRoom - 1))
        return false;
    if ((r.verdict == kReverseTooLong) != (r.length > longest))
        return false;
    if (!std::all_of(static_cast<const char *>(r.name), end, HostNameCharacter))
        return false;
    out->verdict = r.verdict;
    out->length = r.length;
    memcpy(out->name, r.name, shown);
    return true;
}

int StartReverseLookup(const SioAddr &addr, size_t longest, PendingLookup *l)
{
    *l = PendingLookup {};
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        return NotStarted("pipe");
    UniqueFd fromHelper(ends[0]), toParent(ends[1]);
    // Until the helper has dropped its parent's handlers, a signal waits.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        RunHelper(addr, longest, toParent.get(), parent);
    const int err = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        errno = err;
        return NotStarted("fork");
    }
    l->pid = pid;
    l->fd = fromHelper.release();
    return 0;
}

void NoteLookupReaped(PendingLookup *l, int status)
{
    l->pid = 0;
    l->status = status;
}

int FinishReverseLookup(PendingLookup *l, size_t longest, ReverseName *out)
{
    *out = ReverseName {};
    UniqueFd fromHelper(l->fd);
    const int status = l->pid > 0 ? EndHelper(l->pid) : l->status;
    *l = PendingLookup {};
    char record[sizeof(ReverseName)];
    // Read once the helper has ended: no writer is left, so the read ends at
    // the pipe's end.
    const int got = PRead(fromHelper.get(), record, sizeof(record), 1);
    if (got > 0 && TakeReverseRecord(record, static_cast<size_t>(got), longest, out))
        return 0;
    NoteHelperEnd(status);
    return -1;
}

int ConfinedReverseName(const SioAddr &addr, size_t longest, int timeoutSeconds, ReverseName *out)
{
    *out = ReverseName {};
    PendingLookup l;
    if (StartReverseLookup(addr, longest, &l) < 0)
        return -1;
    WaitReadable(l.fd, timeoutSeconds);
    return FinishReverseLookup(&l, longest, out);
}

// The logger process: reads records from the log pipe, stamps them and appends
// them to the file their type and domain set name, expanding each file's
// strftime pattern with the current date; ticks the shared time cache; runs the
// event-processor programs.  It never stops for a log-file problem: a file that
// cannot be opened loses its records, reported on standard error.
#include "logger/logger.h"

#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "status/dirgen.h"
#include "status/sessionindex.h"
#include "status/shm.h"
#include "sio.h"
#include "base/exit.h"
#include "base/process.h"

namespace {

constexpr int kNumFileTypes = 4;                 // misc, transfer, session, statistics
constexpr int kTickMicroseconds = 900000;
constexpr int kSelectSeconds = 3;                // wait limit while event processors exist
constexpr int kReapSeconds = 3;
constexpr int kMaxFractionDigits = 6;            // the clock has microseconds
constexpr int kMaxEventFields = 63;
constexpr int kLineSize = 1024;                  // stamp, tag and 738 bytes of text fit

struct LogFile {
    char pattern[kLogPathSize];  // strftime pattern; written only when it begins with '/'
    char path[kLogPathSize];     // expanded path of the open file
    int fd;
    time_t lastWrite;
};

struct DomainLogs {
    LogFile file[kNumFileTypes];
};

std::vector<DomainLogs> gLogFiles;
volatile time_t gLogClock = 0;
int gFractionDigits = 0;
int gKeeper = -1;               // the logger's end of its keeper's socket; -1: none (not root)

int DefaultNumDomains()
{
    return 1;
}

const char *DefaultPathPattern(int domain, int type)
{
    if (domain != 0)
        return nullptr;
    if (type == kLogMisc)
        return gLogMiscPath;
    if (type == kLogStat)
        return gLogStatPath;
    return nullptr;
}

int DefaultReload()
{
    return 0;
}

int SystemClock(struct timeval *tv)
{
    return gettimeofday(tv, nullptr);
}

// ---- Clock ---------------------------------------------------------------------------------

void Tick(int)
{
    const int savedErrno = errno;
    struct timeval tv {};
    gLoggerClock(&tv);
    gLogClock = tv.tv_sec;
    ShmHeader *h = ShmHead();
    if (h != nullptr)
        __atomic_store_n(&h->timeCache, static_cast<int64_t>(tv.tv_sec), __ATOMIC_RELAXED);
    errno = savedErrno;
}

void StartClock()
{
    struct sigaction sa {};
    sa.sa_handler = Tick;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval it {};
    it.it_interval.tv_usec = kTickMicroseconds;
    it.it_value.tv_usec = kTickMicroseconds;
    setitimer(ITIMER_REAL, &it, nullptr);
    Tick(SIGALRM);
}

// "now" of one record, with microseconds only when fractions are printed.
struct timeval RecordTime()
{
    struct timeval tv {};
    if (gFractionDigits > 0)
        gLoggerClock(&tv);
    else
        tv.tv_sec = LogTime();
    return tv;
}

// "%Y-%m-%d %H:%M:%S " or, with fractional seconds, the time followed by the
// fraction's digits (truncated, so that the seconds never need carrying).
void Stamp(char *dst, size_t size, const struct timeval &tv)
{
    struct tm tm {};
    localtime_r(&tv.tv_sec, &tm);
    if (strftime(dst, size, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        dst[0] = '\0';
    if (gFractionDigits > 0) {
        long fraction = static_cast<long>(tv.tv_usec);
        for (int i = gFractionDigits; i < kMaxFractionDigits; i++)
            fraction /= 10;
        char digits[16];
        snprintf(digits, sizeof(digits), ".%0*ld", gFractionDigits, fraction);
        Strncat(dst, digits, size);
    }
    Strncat(dst, " ", size);
}

// ---- Files -----------------------------------------------------------------------------------

void LoadPatterns()
{
    int n = gLoggerDomains.numDomains();
    if (n < 1)
        n = 1;
    gLogFiles.assign(static_cast<size_t>(n), DomainLogs {});
    for (int d = 0; d < n; d++) {
        for (int t = 0; t < kNumFileTypes; t++) {
            LogFile &f = gLogFiles[d].file[t];
            const char *p = gLoggerDomains.pathPattern(d, t);
            Strncpy(f.pattern, p != nullptr ? p : "", sizeof(f.pattern));
            f.path[0] = '\0';
            f.fd = -1;
            f.lastWrite = 0;
        }
    }
}

int KeeperReload();

void ReloadDomains()
{
    CloseAllLogs();
    if (gKeeper >= 0) {
        (void) KeeperReload();
        return;
    }
    gLoggerDomains.reload();
    // The reload logs its outcome, which reopened a file under the old pattern.
    CloseAllLogs();
    LoadPatterns();
}

bool LogOwnerSet()
{
    return gLogOwner != static_cast<uid_t>(-1);
}

// A log file is written only when it is a plain file with one name, owned by
// the server's user or by log-owner: anything else in its place was put
// there by someone who can write the log directory.
bool OurLogFile(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return false;
    return st.st_uid == geteuid() || (LogOwnerSet() && st.st_uid == gLogOwner);
}

// A directory that nobody but root, the server's user or log-owner can
// change.
bool TrustedDirectory(const struct stat &st)
{
    const bool owner = st.st_uid == 0 || st.st_uid == geteuid() || (LogOwnerSet() && st.st_uid == gLogOwner);
    return owner && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A link is followed only in a directory root or the server's user alone can
// change: log-owner is an ordinary account, and a link it puts in its own
// directory must not lead the root logger to a file it could not reach.
bool FollowableDirectory(const struct stat &st)
{
    return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens the directory part of the absolute path one component at a time,
// making the missing ones (modes from the umask, "log-umask" here). A link
// is followed only where it stands in a directory nobody else can change:
// below one that others can write, they could swap a component for a link
// that leads anywhere. Returns an O_PATH descriptor, the last component in
// *last and whether the directory itself is trusted; -1 with errno.
int OpenLogDirectory(const char *path, const char **last, bool *trusted)
{
    const char *slash = strrchr(path, '/');
    if (path[0] != '/' || slash == nullptr || slash[1] == '\0') {
        errno = EINVAL;
        return -1;
    }
    int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    for (const char *p = path + 1; fd >= 0 && p <= slash; ) {
        const char *end = strchr(p, '/');
        char name[NAME_MAX + 1];
        const size_t len = static_cast<size_t>(end - p);
        if (len > NAME_MAX) {
            close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, p, len);
        name[len] = '\0';
        p = end + 1;
        if (len == 0)
            continue;
        const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC |
                          (fstat(fd, &st) == 0 && FollowableDirectory(st) ? 0 : O_NOFOLLOW);
        int next = openat(fd, name, flags);
        if (next < 0 && errno == ENOENT && (mkdirat(fd, name, 0777) == 0 || errno == EEXIST))
            next = openat(fd, name, flags);
        const int err = errno;
        close(fd);
        fd = next;
        errno = err;
    }
    if (fd < 0)
        return -1;
    *trusted = fstat(fd, &st) == 0 && TrustedDirectory(st);
    *last = slash + 1;
    return fd;
}

// Opens the log file for appending, or returns -1 with errno; a link in
// the last place gives ELOOP, a FIFO planted there does not block.
int OpenAppendOnce(const char *path)
{
    const char *last = nullptr;
    bool trusted = false;
    const int dirFd = OpenLogDirectory(path, &last, &trusted);
    if (dirFd < 0)
        return -1;
    if (!trusted)
        fprintf(stderr, "Warning: log directory %.*s can be changed by others.\n",
                static_cast<int>(last - path > 1 ? last - path - 1 : 1), path);
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = openat(dirFd, last, kFlags, 0666);
    const int err = errno;
    close(dirFd);
    errno = err;
    return fd;
}

int OpenAppend(const char *path)
{
    int fd = OpenAppendOnce(path);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
        CloseOldestLog();
        fd = OpenAppendOnce(path);
    }
    if (fd < 0 && errno != ELOOP)
        return -1;
    if (fd < 0 || !OurLogFile(fd)) {
        if (fd >= 0)
            close(fd);
        errno = EPERM;
        fprintf(stderr, "Log file %.128s is not a plain file of this server's or log-owner's; not writing it.\n", path);
        return -1;
    }
    (void) fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

// Expands a file's pattern at now; false (reported) when the name does not fit.
bool ExpandPattern(const char *pattern, time_t now, char (&path)[kLogPathSize])
{
    struct tm tm {};
    localtime_r(&now, &tm);
    if (strftime(path, sizeof(path), pattern, &tm) != 0)
        return true;
    fprintf(stderr, "Could not open %.128s for writing: %.64s\n", pattern, strerror(ENAMETOOLONG));
    return false;
}

// Opens a log file for appending, created with log-owner and log-group.
int OpenOwnedLog(const char *path)
{
    const int fd = OpenAppend(path);
    if (fd >= 0 && (gLogOwner != static_cast<uid_t>(-1) || gLogGroup != static_cast<gid_t>(-1)) &&
        fchown(fd, gLogOwner, gLogGroup) < 0) {
        // The file is still written, owned as it is.
    }
    return fd;
}

pid_t ForkOrExit()
{
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        Exit(1);
    }
    return pid;
}

int KeeperOpen(int domain, int type, time_t now, char (&path)[kLogPathSize]);
void KeeperEvent(const char *record);

bool EchoOn()
{
    return gLogToTTY == 2 || (gLogToTTY == 1 && gWasATTY2);
}

// Appends one finished line to the file of (domain, type).  The misc log falls
// back to standard error when it has no file.
void WriteLine(int domain, int type, const char *line, size_t n, time_t now)
{
    LogFile &f = gLogFiles[domain].file[type];
    if (f.pattern[0] != '/') {
        if (type == kLogMisc)
            WriteFully(2, line, n);
        return;
    }
    const int fd = OpenLog(domain, type, now);
    if (fd < 0)
        return;
    if (PWrite(fd, line, n) != static_cast<int>(n)) {
        fprintf(stderr, "PWrite error: %s\n", strerror(errno));
        sleep(3);
    }
    f.lastWrite = now;
    if (type == kLogMisc && EchoOn())
        WriteFully(2, line, n);
}

bool EventProcessorsConfigured()
{
    return gDownloadEventProcessor[0] != '\0' || gUploadEventProcessor[0] != '\0' ||
           gLoginEventProcessor[0] != '\0' || gLogoutEventProcessor[0] != '\0';
}

void ReapChildren()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// ---- Records ---------------------------------------------------------------------------------

// Stamps one record and writes it where its type and domain set say.
// A domain set number beyond those known: domain.cf may have grown since it
// was read, but at most once a second is it read again for that, so that a
// stream of bogus numbers cannot keep the keeper re-reading it.
bool KnownDomain(int domain)
{
    static time_t lastTry;
    if (domain < static_cast<int>(gLogFiles.size()))
        return true;
    const time_t now = LogTime();
    if (now == lastTry)
        return false;
    lastTry = now;
    ReloadDomains();
    return domain < static_cast<int>(gLogFiles.size());
}

// A child's record keeps its tag only when it names the child whose pipe
// it came on ("#u3     | " on child 3's); otherwise the tag says only
// that, as "#?3     | ".  child 0: a pipe of no known child.
void SenderTag(char *tag, size_t size, const LogRecordHeader &hdr, int child)
{
    char claimed[kLogTagSize + 1];
    memcpy(claimed, hdr.tag, kLogTagSize);
    claimed[kLogTagSize] = '\0';
    char *end = nullptr;
    const long n = claimed[0] == '#' && isalpha(static_cast<unsigned char>(claimed[1])) ? strtol(claimed + 2, &end, 10) : 0;
    if (child > 0 && n == child && end != nullptr && *end == ' ' && strchr(claimed, '|') != nullptr)
        Strncpy(tag, claimed, size);
    else
        snprintf(tag, size, "#?%-5d | ", child);
}

// What a process other than the master sends is one line: a line feed or
// other control character inside it cannot start a line of its own choosing.
void FlattenText(char *body, int len)
{
    for (int i = 0; i < len - 1; i++) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            body[i] = '?';
    }
}

void ProcessRecord(const LogRecordHeader &hdr, const char *text, int len, bool trusted, int child = 0)
{
    const int type = hdr.type;
    if (type < 0 || type >= kLogNumTypes || len < 0 || len > kLogTextMax)
        return;
    const int domain = (type == kLogXfer || type == kLogSession) ? hdr.domain : 0;
    if (domain < 0 || !KnownDomain(domain))
        return;

    char body[kLogTextMax + 2];
    memcpy(body, text, static_cast<size_t>(len));
    if (len >= 2 && body[len - 2] == '\r' && body[len - 1] == '\n') {
        body[len - 2] = '\n';
        len--;
    } else if (len == 0 || body[len - 1] != '\n') {
        body[len++] = '\n';
    }
    body[len] = '\0';
    char tag[kLogTagSize + 1];
    if (trusted) {
        memcpy(tag, hdr.tag, kLogTagSize);
        tag[kLogTagSize] = '\0';
    } else {
        FlattenText(body, len);
        SenderTag(tag, sizeof(tag), hdr, child);
    }

    if (type == kLogEvent) {
        if (gKeeper >= 0)
            KeeperEvent(body);
        else
            EventProcessor(body);
        return;
    }

    const struct timeval tv = RecordTime();
    char line[kLineSize];
    size_t n = 0;
    if (type != kLogStat) {
        Stamp(line, sizeof(line), tv);
        n = strlen(line);
        const size_t tagLen = strlen(tag);
        memcpy(line + n, tag, tagLen);
        n += tagLen;
    }
    memcpy(line + n, body, static_cast<size_t>(len));
    n += static_cast<size_t>(len);
    WriteLine(domain, type, line, n, tv.tv_sec);
}

// The logger's own Log calls come here instead of going through the pipe.
void LocalRecord(const LogRecordHeader *hdr, const char *text)
{
    ProcessRecord(*hdr, text, hdr->length, true);
}

// The logger's end of each child's channel, by child number (fd -1: none),
// and the domain set its records are filed under.  A pool child with a
// client of another set hands over a new channel for that set (UseLogChannelOf).
struct ChildChannel {
    int fd = -1;
    int domain = 0;
    int handOver = -1;      // the pool child's hand-over socket (-1: none)
};
std::vector<ChildChannel> gChildChannels;

// What the master hands the logger for child n: the logger's end of its
// channel, or of its hand-over socket.
enum : int32_t { kNoticeChannel = 0, kNoticeHandOver = 1 };
struct ChildSocketNotice {
    int32_t number;
    int32_t kind;
};
constexpr int32_t kMaxChildPipes = 1 << 20;

// Root started the server: each child's channel is written by its pool child
// (root) and by the front and the session's process it forks (never root).
// Else every process has the one uid and the sender's word is all there is.
bool gSeparated = false;

// The pool child's new channel for the set of its next client: a packet of
// this type (and no text) from root on the child's hand-over socket, with
// the logger's end riding along.  Never written to a file.
constexpr int32_t kLogNewChannel = 100;

// SO_PASSRIGHTS (Linux 6.16): 0 makes the kernel refuse any descriptor
// sent to the socket.  A descriptor the logger received and closed last
// would be closed in the logger: a socket that lingers on close for a peer
// that never reads, or another socket with such a one in flight, would
// hold it, and every writer behind it.
#ifndef SO_PASSRIGHTS
#define SO_PASSRIGHTS 83
#endif

// Records of a child: a socket pair in packet mode (each write is one
// record, each read takes one) whose logger's end gets the sender's ids
// with each record.  A record of 738 bytes takes some 2.3 kB of the
// writers' room: room for 256 of them, as a pipe of 256 pages had (less if
// the system allows less: then writers wait, as on a full pipe).
constexpr int kChildChannelRoom = 256 * 2304 / 2;     // the kernel doubles it

int MakeChildChannel(int fds[2])
{
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) < 0)
        return -1;
    const int on = 1;
    const int off = 0;
    const int room = kChildChannelRoom;
    if (setsockopt(fds[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) < 0
        || (setsockopt(fds[0], SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof(off)) < 0 && errno != ENOPROTOOPT)) {
        const int err = errno;
        close(fds[0]);
        close(fds[1]);
        errno = err;
        return -1;
    }
    (void) setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    return 0;
}

// A pool child's hand-over socket: packets that may carry a descriptor,
// written by the pool child alone; the logger's end gets the sender's ids.
int MakeHandOver(int fds[2])
{
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) < 0)
        return -1;
    const int on = 1;
    if (setsockopt(fds[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) < 0) {
        const int err = errno;
        close(fds[0]);
        close(fds[1]);
        errno = err;
        return -1;
    }
    return 0;
}

// The set of the pool child's own channel (UseLogChannelOf); a new child's
// channel starts at set 0.
int gChannelDomain = 0;

// What woke the logger: a record on the master's pipe (child 0) or on a
// child's, a message on the channel the master hands the children's pipes
// over, the stop, or the clock.
enum class Wake { kRecord, kChannel, kStop, kTimeout };

// Waits for one of them, up to 3 seconds when withLimit (the clock's ticks
// do not restart the wait), else for ever.  *child: the child whose
// channel woke it, or minus the child whose hand-over socket did.  The stop channel's end (the
// master gone) is no stop: sessions may still log.
Wake WaitForRecord(const LogInputs &in, int *stopFd, bool withLimit, int *child)
{
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<struct pollfd> pfd;
    std::vector<int> childOf;
    for (;;) {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        const long left = kSelectSeconds * 1000L - elapsed;
        if (withLimit && left <= 0)
            return Wake::kTimeout;
        pfd.assign({{*stopFd, POLLIN, 0}, {in.childPipes, POLLIN, 0}, {in.master, POLLIN, 0}});
        childOf.assign(3, 0);
        for (size_t n = 0; n < gChildChannels.size(); n++) {
            if (gChildChannels[n].fd >= 0) {
                pfd.push_back({gChildChannels[n].fd, POLLIN, 0});
                childOf.push_back(static_cast<int>(n));
            }
            if (gChildChannels[n].handOver >= 0) {
                pfd.push_back({gChildChannels[n].handOver, POLLIN, 0});
                childOf.push_back(-static_cast<int>(n));
            }
        }
        const int r = poll(pfd.data(), pfd.size(), withLimit ? static_cast<int>(left) : -1);
        if (r == 0)
            return Wake::kTimeout;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            perror("poll");
            Exit(1);
        }
        if (*stopFd >= 0 && pfd[0].revents != 0) {
            char byte;
            if (read(*stopFd, &byte, 1) == 1)
                return Wake::kStop;
            close(*stopFd);
            *stopFd = -1;
        }
        if (pfd[1].revents != 0)
            return Wake::kChannel;
        for (size_t i = 2; i < pfd.size(); i++) {
            if (pfd[i].revents != 0) {
                *child = childOf[i];
                return Wake::kRecord;
            }
        }
    }
}

void CheckReload()
{
    if (!gReloadConfiguration)
        return;
    gReloadConfiguration = 0;
    ReloadDomains();
}

int HighestOpenFd()
{
    for (int fd = static_cast<int>(sysconf(_SC_OPEN_MAX)) - 1; fd >= 0; fd--) {
        if (fcntl(fd, F_GETFD) >= 0)
            return fd;
    }
    return -1;
}

// ---- Event processors ----------------------------------------------------------------------

// The grandchild: detached from the logger, no descriptors but the null device
// and the close-on-exec pipe that reports a failed exec.
[[noreturn]] void RunProgram(const char *program, char **fields, int n, int report)
{
    const int rep = fcntl(report, F_DUPFD_CLOEXEC, 3);
    if (rep > 3)
        close_range(0, static_cast<unsigned>(rep) - 1, 0);
    else
        close_range(0, 2, 0);
    close_range(static_cast<unsigned>(rep) + 1, ~0U, 0);
    const int null = open("/dev/null", O_RDWR);
    if (null == 0) {
        dup2(0, 1);
        dup2(0, 2);
    }
    if (chdir("/") < 0) {
        // exec still works with an absolute path
    }
    char *argv[kMaxEventFields + 2];
    argv[0] = const_cast<char *>(program);
    for (int i = 0; i < n; i++)
        argv[i + 1] = fields[i];
    argv[n + 1] = nullptr;
    execv(program, argv);
    const int err = errno;
    if (rep >= 0 && write(rep, &err, sizeof(err)) < 0) {
        // nobody to tell
    }
    _exit(127);
}

// Forks twice so that the program is not the logger's child; returns 0, or -1
// with errno when it could not be started.
int StartProgram(const char *program, char **fields, int n)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        close(report[0]);
        close(report[1]);
        errno = err;
        return -1;
    }
    if (pid == 0) {
        close(report[0]);
        // The session of its own is made before the program's process exists:
        // from this one's end on, that process is the master's child, and the
        // master ends any child in its own session that a pool child left.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild == 0)
            RunProgram(program, fields, n, report[1]);
        if (grandchild < 0) {
            const int err = errno;
            if (write(report[1], &err, sizeof(err)) < 0) {
                // nobody to tell
            }
        }
        _exit(0);
    }
    close(report[1]);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t got;
    do {
        got = read(report[0], &err, sizeof(err));
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof(err))) {
        errno = err;
        return -1;
    }
    return 0;
}

}  // namespace

LoggerDomainHooks gLoggerDomains = {DefaultNumDomains, DefaultPathPattern, DefaultReload};
int (*gLoggerClock)(struct timeval *tv) = SystemClock;

time_t LogTime()
{
    const time_t t = gLogClock;
    if (t != 0)
        return t;
    struct timeval tv {};
    gLoggerClock(&tv);
    return tv.tv_sec;
}

void EnableTraceHandler()
{
    struct sigaction sa {};
    sa.sa_handler = SigTrace;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
}

int OpenLog(int domain, int type, time_t now)
{
    if (domain < 0 || domain >= static_cast<int>(gLogFiles.size()) || type < 0 || type >= kNumFileTypes)
        return -1;
    LogFile &f = gLogFiles[domain].file[type];
    if (f.pattern[0] != '/')
        return -1;
    char path[kLogPathSize];
    if (!ExpandPattern(f.pattern, now, path))
        return -1;
    if (f.fd >= 0 && strcmp(path, f.path) == 0)
        return f.fd;
    if (f.fd >= 0) {
        close(f.fd);
        f.fd = -1;
    }
    f.path[0] = '\0';
    const int fd = gKeeper >= 0 ? KeeperOpen(domain, type, now, path) : OpenOwnedLog(path);
    if (fd < 0) {
        fprintf(stderr, "Could not open %.128s for writing: %.64s\n", path, strerror(errno));
        return -1;
    }
    Strncpy(f.path, path);
    f.fd = fd;
    return fd;
}

int OpenMiscLog(time_t now)
{
    return OpenLog(0, kLogMisc, now);
}

void CloseDomainLog(int domain)
{
    if (domain < 0 || domain >= static_cast<int>(gLogFiles.size()))
        return;
    for (LogFile &f : gLogFiles[domain].file) {
        if (f.fd >= 0)
            close(f.fd);
        f.fd = -1;
        f.path[0] = '\0';
    }
}

void CloseOldestLog()
{
    LogFile *oldest = nullptr;
    for (DomainLogs &d : gLogFiles) {
        for (LogFile &f : d.file) {
            if (f.fd >= 0 && (oldest == nullptr || f.lastWrite < oldest->lastWrite))
                oldest = &f;
        }
    }
    if (oldest != nullptr) {
        close(oldest->fd);
        oldest->fd = -1;
        oldest->path[0] = '\0';
    }
}

void CloseAllLogs()
{
    for (int d = 0; d < static_cast<int>(gLogFiles.size()); d++)
        CloseDomainLog(d);
}

int EventProcessor(const char *record)
{
    char text[kLogTextMax + 2];
    Strncpy(text, record);

    // Fields end at tabs, line feeds and carriage returns; empty ones inside count.
    char *fields[kMaxEventFields];
    int n = 0;
    char *p = text;
    while (n < kMaxEventFields) {
        fields[n++] = p;
        p += strcspn(p, "\t\n\r");
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    while (n > 0 && fields[n - 1][0] == '\0')
        n--;
    if (n < 2)
        return -1;

    const char *kind = fields[0];
    char *program = nullptr;
    if (strncmp(kind, "DO", 2) == 0)
        program = gDownloadEventProcessor;
    else if (kind[0] == 'U')
        program = gUploadEventProcessor;
    else if (kind[0] == 'L' && strlen(kind) >= 4 && kind[3] == 'I')
        program = gLoginEventProcessor;
    else if (kind[0] == 'L' && strlen(kind) >= 4 && kind[3] == 'O')
        program = gLogoutEventProcessor;
    if (program == nullptr || program[0] == '\0')
        return -1;

    if (StartProgram(program, fields, n) < 0) {
        LogPerror("%.300s", program);
        program[0] = '\0';
        return -1;
    }
    return 0;
}

int gLogChildChannel = -1;

int gLogHandOver = -1;

void ForgetLogHandOver()
{
    if (gLogHandOver >= 0)
        close(gLogHandOver);
    gLogHandOver = -1;
}

namespace {

// Hands the logger's end of a socket of child n to the logger (and closes
// it here); false when it was not handed.
bool HandToLogger(int n, int32_t kind, int fd)
{
    const ChildSocketNotice notice {n, kind};
    const bool handed = SendWithFd(gLogChildChannel, &notice, sizeof(notice), fd) == static_cast<int>(sizeof(notice));
    close(fd);
    return handed;
}

}  // namespace

int NewChildLogChannel(int n, int *handOver)
{
    *handOver = -1;
    int p[2];
    if (gLogChildChannel < 0 || MakeChildChannel(p) < 0)
        return -1;
    if (!HandToLogger(n, kNoticeChannel, p[0])) {
        close(p[1]);
        return -1;
    }
    int h[2];
    if (MakeHandOver(h) == 0) {
        if (HandToLogger(n, kNoticeHandOver, h[0]))
            *handOver = h[1];
        else
            close(h[1]);
    }
    return p[1];
}

int LogChannelToWatch()
{
    return gChild > 0 && !gKillMyselfAtTheEarliestConvenience ? gLogPipe : -1;
}

bool NoteLogChannel(short revents)
{
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) == 0)
        return false;
    gKillMyselfAtTheEarliestConvenience = 1;
    return true;
}

int UseLogChannelOf(int domain)
{
    if (domain == gChannelDomain || gLogPipe < 0)
        return 0;
    if (gLogHandOver < 0) {
        errno = EPIPE;
        return -1;
    }
    int p[2];
    if (MakeChildChannel(p) < 0)
        return -1;
    LogRecordHeader hdr {};
    Strncpy(hdr.tag, gLogHeader, sizeof(hdr.tag));
    hdr.type = kLogNewChannel;
    hdr.domain = domain;
    hdr.magic = kLogMagic;
    const bool handed = SendWithFd(gLogHandOver, &hdr, sizeof(hdr), p[0]) == static_cast<int>(sizeof(hdr));
    close(p[0]);
    // The old channel is closed with the swap: the logger no longer reads it.
    if (!handed || dup3(p[1], gLogPipe, O_CLOEXEC) < 0) {
        const int err = errno;
        close(p[1]);
        errno = err;
        return -1;
    }
    close(p[1]);
    gChannelDomain = domain;
    return 0;
}

int MakeLogPipe(int fds[2])
{
    // Packet mode: each write of a record is one packet, each read takes
    // one.  A packet takes a page of the pipe whatever its size, so the pipe
    // gets room for 256 (less if the system allows less: then writers wait).
    if (pipe2(fds, O_DIRECT) < 0)
        return -1;
    (void) fcntl(fds[1], F_SETPIPE_SZ, 256 * 4096);
    return 0;
}

void OpenLogger()
{
    int own[2];
    int channel[2];
    int stop[2];
    if (MakeLogPipe(own) < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) < 0
        || pipe2(stop, O_CLOEXEC) < 0) {
        perror("pipe");
        Exit(1);
    }
    const pid_t pid = ForkOrExit();
    if (pid == 0) {
        // Sessions must not reach the logger's memory (root until its keeper is forked).
        (void) prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
        // Of the tables the sessions share it keeps the status area alone,
        // whose clock it ticks.
        ForgetSessionIndex();
        ForgetDirGenerations();
        close(own[1]);
        close(channel[1]);
        close(stop[1]);
        gLoggerPID = getpid();
        LogServer(LogInputs{own[0], channel[0]}, stop[0]);
    }
    close(own[0]);
    close(channel[0]);
    close(stop[0]);
    gLogStopPipe = stop[1];
    // Programs that children run (archivers) must not keep the logger alive.
    fcntl(own[1], F_SETFD, FD_CLOEXEC);
    gLogPipe = own[1];
    gLogChildChannel = channel[1];
    gLoggerPID = pid;
}

namespace {

struct Packet {
    LogRecordHeader hdr;
    char text[kLogTextMax + 1];     // one byte more: a longer packet shows
};

// A packet is one record: a session can neither run one record into the
// next nor make one swallow what follows.  false (reported) for a packet of
// n bytes that is no record.
bool WellFramed(const Packet &rec, ssize_t n)
{
    if (n < static_cast<ssize_t>(sizeof(rec.hdr))) {
        Log(kLogMisc, "Warning:  Short message header received by logger.  Logger may be out of sync.\n");
        return false;
    }
    const LogRecordHeader &hdr = rec.hdr;
    if (hdr.magic != kLogMagic || hdr.length < 0 || hdr.length > kLogTextMax
        || hdr.length != n - static_cast<ssize_t>(sizeof(hdr))) {
        Log(kLogMisc, "Warning:  Bogus message received by logger.  Logger may be out of sync.\n");
        return false;
    }
    return true;
}

// Reads and writes one record of the master's own pipe, believed as it
// stands; false at the end of the pipe.  A stop record is not obeyed here:
// only the master may stop the logger, through its own channel.
bool ReadMasterRecord(int fd)
{
    Packet rec;
    ssize_t n;
    do {
        n = read(fd, &rec, sizeof(rec));
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return false;
    if (n < 0) {
        perror("read");
        Exit(1);
    }
    if (WellFramed(rec, n)) {
        CheckReload();
        ProcessRecord(rec.hdr, rec.text, rec.hdr.length, true);
    }
    return true;
}

// One packet of a child's channel with the real uid of the process that
// sent it, as the kernel knows it (-1 when none came), and a descriptor
// that came with it (-1: none; any others are closed).  Its length, 0 at
// the end of the channel.
ssize_t ReceivePacket(int fd, Packet *rec, uid_t *uid, int *passed)
{
    struct iovec iov = {rec, sizeof(*rec)};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(2 * sizeof(int))];
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    *uid = static_cast<uid_t>(-1);
    *passed = -1;
    if (n < 0)
        return n;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len == CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            *uid = cred.uid;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; i++) {
                int got;
                memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(got));
                if (*passed < 0)
                    *passed = got;
                else
                    close(got);
            }
        }
    }
    return n;
}

// Reads and writes one record of child's channel; false at its end, when
// the caller closes it.  On a separated server the set of a transfer or
// session record is the channel's unless root (the pool child) sent it:
// the front and the session's process write on it too, and what they name
// is not believed.  A descriptor sent along (on a kernel that lets one
// through) is closed.
bool ReadChildRecord(int child)
{
    ChildChannel &ch = gChildChannels[static_cast<size_t>(child)];
    Packet rec;
    uid_t uid;
    int passed;
    const ssize_t n = ReceivePacket(ch.fd, &rec, &uid, &passed);
    if (passed >= 0)
        close(passed);
    if (n == 0) {
        // An empty record, which any writer may send, or the end: every
        // writer gone, or one that shut the channel down, which leaves it
        // of no use to the others.  Closing it shows them that (LogChannelToWatch).
        struct pollfd pfd {ch.fd, POLLIN | POLLRDHUP, 0};
        return poll(&pfd, 1, 0) >= 0 && (pfd.revents & (POLLHUP | POLLRDHUP)) == 0;
    }
    if (n < 0) {
        perror("read");
        Exit(1);
    }
    const bool framed = WellFramed(rec, n);
    const bool fromRoot = gSeparated && uid == 0;
    if (!framed || rec.hdr.type == kLogNewChannel)
        return true;
    if (gSeparated && !fromRoot)
        rec.hdr.domain = ch.domain;
    CheckReload();
    ProcessRecord(rec.hdr, rec.text, rec.hdr.length, false, child);
    return true;
}

// Reads what a child's channel holds now, a bounded number of records, so
// that sessions still logging cannot hold the caller.
void DrainChild(int child)
{
    for (int i = 0; gChildChannels[static_cast<size_t>(child)].fd >= 0 && i < 10000; i++) {
        struct pollfd pfd {gChildChannels[static_cast<size_t>(child)].fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || !ReadChildRecord(child))
            break;
    }
}

// Reads one packet of child's hand-over socket: a new channel from root
// for the set it names.  The old channel's records so far are written
// under its own set first; then it is closed, so that a descriptor of it
// kept by a process of an earlier client reaches nothing any more.  false
// at the socket's end (the pool child gone), when the caller closes it.
bool ReadHandOver(int child)
{
    ChildChannel &ch = gChildChannels[static_cast<size_t>(child)];
    Packet rec;
    uid_t uid;
    int passed;
    const ssize_t n = ReceivePacket(ch.handOver, &rec, &uid, &passed);
    const bool newChannel = n > 0 && passed >= 0 && WellFramed(rec, n) && rec.hdr.type == kLogNewChannel
                            && (!gSeparated || uid == 0) && rec.hdr.length == 0 && rec.hdr.domain >= 0;
    if (!newChannel) {
        if (passed >= 0)
            close(passed);
        return n > 0 || (n < 0 && errno == EAGAIN);
    }
    DrainChild(child);
    if (ch.fd >= 0)
        close(ch.fd);
    ch.fd = passed;
    ch.domain = rec.hdr.domain;
    return true;
}

// At the master's stop: the records already in the pipes (its own last ones
// among them) are written first, a bounded number so that sessions still
// logging cannot hold the exit.
void DrainRecords(const LogInputs &in)
{
    for (int i = 0; in.master >= 0 && i < 10000; i++) {
        struct pollfd pfd {in.master, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || !ReadMasterRecord(in.master))
            break;
    }
    for (size_t n = 0; n < gChildChannels.size(); n++)
        DrainChild(static_cast<int>(n));
}

// A new child's channel from the master: its number and the logger's end.
// A channel of an earlier child of that number is read out and closed
// first.  false at the end of the master's channel.
bool TakeChildPipe(int channel)
{
    ChildSocketNotice notice {};
    int fd = -1;
    const int got = RecvWithFd(channel, &notice, sizeof(notice), &fd);
    if (got <= 0)
        return false;
    if (fd < 0)
        return true;
    const int32_t n = notice.number;
    if (got != static_cast<int>(sizeof(notice)) || n < 1 || n >= kMaxChildPipes
        || (notice.kind != kNoticeChannel && notice.kind != kNoticeHandOver)) {
        close(fd);
        return true;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (static_cast<size_t>(n) >= gChildChannels.size())
        gChildChannels.resize(static_cast<size_t>(n) + 1);
    ChildChannel &ch = gChildChannels[static_cast<size_t>(n)];
    if (notice.kind == kNoticeHandOver) {
        if (ch.handOver >= 0)
            close(ch.handOver);
        ch.handOver = fd;
        return true;
    }
    if (ch.fd >= 0) {
        DrainChild(n);
        close(ch.fd);
    }
    if (ch.handOver >= 0)
        close(ch.handOver);     // an earlier child's; the new one's follows
    ch.handOver = -1;
    ch.fd = fd;
    ch.domain = 0;      // a new child's first records, like the master's table, start at set 0
    return true;
}

// ---- The keeper -----------------------------------------------------------------------------
// The logger parses what every session writes into the log pipe, so it gives
// up root.  What needs root -- making log directories and files, handing
// them to log-owner, re-reading domain.cf, starting the event programs -- its
// keeper does: a process forked before that, which reads nothing but these
// fixed-size requests of the logger.  A request names a (domain set, type)
// pair, never a path: the keeper expands that pair's configured pattern
// itself, so a logger taken over reaches no file but the configured logs.

enum : int32_t { kKeepOpen = 1, kKeepReload = 2, kKeepEvent = 3 };

struct KeeperRequest {
    int32_t op;
    int32_t domain;
    int32_t type;
    int32_t length;             // kKeepEvent: the bytes of the record that follow
    int64_t now;                // kKeepOpen: the time the pattern is expanded at
};

struct KeeperReply {
    int32_t err;                // 0, or the errno of the failure
    int32_t numDomains;         // kKeepReload: the patterns of so many sets follow
    char path[kLogPathSize];    // kKeepOpen: the file opened; its descriptor rides along
};

constexpr int32_t kMaxKeptDomains = 100000;

void KeeperGone()
{
    close(gKeeper);
    gKeeper = -1;               // from now on the logger opens what it can itself
}

bool KeeperAsk(const KeeperRequest &rq, KeeperReply *reply, int *fd)
{
    if (SendWithFd(gKeeper, &rq, sizeof(rq), -1) != static_cast<int>(sizeof(rq)) ||
        RecvWithFd(gKeeper, reply, sizeof(*reply), fd) != static_cast<int>(sizeof(*reply))) {
        KeeperGone();
        errno = EPIPE;
        return false;
    }
    reply->path[sizeof(reply->path) - 1] = '\0';
    return true;
}

int KeeperOpen(int domain, int type, time_t now, char (&path)[kLogPathSize])
{
    const KeeperRequest rq = {kKeepOpen, domain, type, 0, static_cast<int64_t>(now)};
    for (int attempt = 0; attempt < 2; attempt++) {
        KeeperReply reply {};
        int fd = -1;
        if (!KeeperAsk(rq, &reply, &fd))
            return -1;
        if (reply.err != 0 || fd < 0) {
            if (fd >= 0)
                close(fd);
            errno = reply.err != 0 ? reply.err : EMFILE;
            if (errno == EMFILE && attempt == 0) {
                CloseOldestLog();       // room for the descriptor the keeper sends
                continue;
            }
            return -1;
        }
        Strncpy(path, reply.path);
        return fd;
    }
    return -1;
}

void KeeperEvent(const char *record)
{
    const KeeperRequest rq = {kKeepEvent, 0, 0, static_cast<int32_t>(strlen(record)), 0};
    if (SendWithFd(gKeeper, &rq, sizeof(rq), -1) != static_cast<int>(sizeof(rq)) ||
        PWrite(gKeeper, record, static_cast<size_t>(rq.length)) != rq.length)
        KeeperGone();
}

// The keeper re-reads domain.cf and sends the patterns it now has.
int KeeperReload()
{
    const KeeperRequest rq = {kKeepReload, 0, 0, 0, 0};
    KeeperReply reply {};
    int fd = -1;
    if (!KeeperAsk(rq, &reply, &fd))
        return -1;
    if (fd >= 0)
        close(fd);
    if (reply.numDomains < 1 || reply.numDomains > kMaxKeptDomains) {
        KeeperGone();
        return -1;
    }
    std::vector<DomainLogs> files(static_cast<size_t>(reply.numDomains), DomainLogs {});
    for (DomainLogs &d : files) {
        for (LogFile &f : d.file) {
            if (PRead(gKeeper, f.pattern, sizeof(f.pattern), 1) != static_cast<int>(sizeof(f.pattern))) {
                KeeperGone();
                return -1;
            }
            f.pattern[sizeof(f.pattern) - 1] = '\0';
            f.fd = -1;
        }
    }
    gLogFiles = std::move(files);
    return 0;
}

void KeepOpen(int sock, const KeeperRequest &rq)
{
    KeeperReply reply {};
    int fd = -1;
    if (rq.domain < 0 || rq.domain >= static_cast<int>(gLogFiles.size()) || rq.type < 0 ||
        rq.type >= kNumFileTypes || gLogFiles[rq.domain].file[rq.type].pattern[0] != '/')
        reply.err = EINVAL;
    else if (!ExpandPattern(gLogFiles[rq.domain].file[rq.type].pattern, static_cast<time_t>(rq.now), reply.path))
        reply.err = ENAMETOOLONG;
    else if ((fd = OpenOwnedLog(reply.path)) < 0)
        reply.err = errno != 0 ? errno : EIO;
    (void) SendWithFd(sock, &reply, sizeof(reply), fd);
    if (fd >= 0)
        close(fd);
}

void KeepReload(int sock)
{
    ReloadDomains();
    KeeperReply reply {};
    reply.numDomains = static_cast<int32_t>(gLogFiles.size());
    if (SendWithFd(sock, &reply, sizeof(reply), -1) < 0)
        return;
    for (const DomainLogs &d : gLogFiles) {
        for (const LogFile &f : d.file)
            (void) PWrite(sock, f.pattern, sizeof(f.pattern));
    }
}

bool KeepEvent(int sock, const KeeperRequest &rq)
{
    char text[kLogTextMax + 2];
    if (rq.length < 1 || rq.length > kLogTextMax + 1 ||
        PRead(sock, text, static_cast<size_t>(rq.length), 1) != rq.length)
        return false;
    text[rq.length] = '\0';
    (void) EventProcessor(text);
    return true;
}

// The keeper's loop: ends with the logger, or at the first request that
// breaks the rules (the logger is not itself then).
[[noreturn]] void Keep(int sock)
{
    for (;;) {
        KeeperRequest rq {};
        if (PRead(sock, &rq, sizeof(rq), 1) != static_cast<int>(sizeof(rq)))
            _exit(0);
        if (rq.op == kKeepOpen)
            KeepOpen(sock, rq);
        else if (rq.op == kKeepReload)
            KeepReload(sock);
        else if (rq.op != kKeepEvent || !KeepEvent(sock, rq))
            _exit(1);
    }
}

// An id of the logger's own: no other process has it, so none can stop the
// logger (and with it every session that logs).  0 when there is none or an
// account or group holds it.
uid_t LoggerOwnId()
{
    const long id = LoggerReservedId();
    if (id <= 0 || getpwuid(static_cast<uid_t>(id)) != nullptr || getgrgid(static_cast<gid_t>(id)) != nullptr)
        return 0;
    return static_cast<uid_t>(id);
}

// The identity the logger keeps: an id of its own (the keeper opens the
// files and hands them to log-owner, so the logger needs no account's
// rights), else log-owner's (with log-group, else its own group), else
// nobody's; never root's.
void LoggerIdentity(uid_t *uid, gid_t *gid)
{
    constexpr uid_t kNobody = 65534;
    if (const uid_t own = LoggerOwnId(); own != 0) {
        *uid = own;
        *gid = static_cast<gid_t>(own);
        return;
    }
    const struct passwd *pw = LogOwnerSet() ? getpwuid(gLogOwner) : getpwnam("nobody");
    *uid = LogOwnerSet() ? gLogOwner : pw != nullptr ? pw->pw_uid : kNobody;
    *gid = pw != nullptr ? pw->pw_gid : kNobody;
    if (LogOwnerSet() && gLogGroup != static_cast<gid_t>(-1))
        *gid = gLogGroup;
    if (*uid == 0)
        *uid = kNobody;
    if (*gid == 0)
        *gid = kNobody;
}

bool GiveUpRoot()
{
    uid_t uid;
    gid_t gid;
    LoggerIdentity(&uid, &gid);
    if (setgroups(0, nullptr) < 0 || setresgid(gid, gid, gid) < 0 || setresuid(uid, uid, uid) < 0)
        return false;
    uid_t r, e, saved;
    if (getresuid(&r, &e, &saved) < 0 || r == 0 || e == 0 || saved == 0)
        return false;
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

// As root: forks the keeper, then gives up root for good.
void SplitOffKeeper(const LogInputs &in, int stopFd)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
        perror("socketpair");
        Exit(1);
    }
    if (ForkOrExit() == 0) {
        close(sv[0]);
        close(in.master);               // the keeper never reads a record
        if (in.childPipes >= 0)
            close(in.childPipes);
        if (stopFd >= 0)
            close(stopFd);
        signal(SIGHUP, SIG_IGN);        // reloads come from the logger
        signal(SIGUSR1, SIG_IGN);
        Keep(sv[1]);
    }
    close(sv[1]);
    gKeeper = sv[0];
    if (!GiveUpRoot()) {
        perror("Logger: cannot give up root");
        Exit(1);
    }
}

}  // namespace

void LogServer(LogInputs in, int stopFd)
{
    gChild = -1;
    Strncpy(gCoreSubDir, "logd");
    setpgid(0, 0);
    closelog();
    if (nice(1) == -1) {
        // Runs at the master's priority.
    }
    for (int fd : {in.master, in.childPipes})
        if (fd >= 0)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    Strncpy(gLogHeader, "(logd)  | ");
    umask(gLogUmask);
    gFractionDigits = gLogTimestampFractionalSeconds > kMaxFractionDigits ? kMaxFractionDigits
                                                                           : gLogTimestampFractionalSeconds;
    LoadPatterns();
    gLogPipe = -1;
    gLogSink = LocalRecord;
    gSeparated = geteuid() == 0;
    if (gSeparated)
        SplitOffKeeper(in, stopFd);
    Log(kLogMisc, "Started (pid=%d).\n", static_cast<int>(getpid()));
    if (gUseTimeCache)
        StartClock();

    const bool waitWithLimit = EventProcessorsConfigured();
    time_t lastReap = LogTime();
    for (;;) {
        int child = 0;
        const Wake wake = WaitForRecord(in, &stopFd, waitWithLimit, &child);
        if (wake == Wake::kTimeout) {
            ReapChildren();
            CheckReload();
            continue;
        }
        if (wake == Wake::kStop) {
            DrainRecords(in);
            break;
        }
        // The end of one pipe is not the end: the logger goes on while
        // anyone may still write into another.
        if (wake == Wake::kChannel) {
            if (!TakeChildPipe(in.childPipes)) {
                close(in.childPipes);
                in.childPipes = -1;
            }
        } else if (child == 0) {
            if (!ReadMasterRecord(in.master)) {
                close(in.master);
                in.master = -1;
            }
        } else if (child < 0) {
            if (!ReadHandOver(-child)) {
                ChildChannel &ch = gChildChannels[static_cast<size_t>(-child)];
                close(ch.handOver);
                ch.handOver = -1;
            }
        } else if (!ReadChildRecord(child)) {
            ChildChannel &ch = gChildChannels[static_cast<size_t>(child)];
            close(ch.fd);
            ch.fd = -1;
        }
        if (in.master < 0 && in.childPipes < 0
            && std::none_of(gChildChannels.begin(), gChildChannels.end(),
                            [](const ChildChannel &ch) { return ch.fd >= 0 || ch.handOver >= 0; }))
            break;
        const time_t now = LogTime();
        if (now - lastReap >= kReapSeconds) {
            ReapChildren();
            lastReap = now;
        }
    }

    char stamp[64], line[128];
    Stamp(stamp, sizeof(stamp), RecordTime());
    const int lastFd = HighestOpenFd();
    snprintf(line, sizeof(line), "%s(logd)  | Exiting; last fd=%d.\n", stamp, lastFd);
    WriteLine(0, kLogMisc, line, strlen(line), LogTime());
    Exit(0);
}

// Start-up shared by the password-database tools.
#include "toolstart.h"

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Spwd.h"
#include "Strn.h"
#include "environ.h"
#include "version.h"

const char *gToolName = "";
uid_t gRealUid, gEffectiveUid;
gid_t gRealGid, gEffectiveGid;
bool gReallyRoot;
bool gFakeSuperuser;
bool gCanModifyAnyRecord;
bool gAllowMkdirByFakeSuperuser;
bool gRunByWebServer;
char gPwFileName[1024];
char gExtraDirToMake[1024];
char gHomeBase[1024];
int gHSize = kDefaultHSize;
int gWarnings = 1;
int gVerbose;
alignas(8) OrmelHandle gDb;

namespace {

// The terminal state while echo is off, for the signal handler to restore.
struct termios gSavedTermios;
volatile sig_atomic_t gEchoOff;
volatile sig_atomic_t gGotSigusr1;
// Standard input's buffer is our own, so that the passwords read through it
// can be wiped at exit.
char gStdinBuffer[4096];
// While a LockHolderGuard keeps the output in memory: the real standard
// output and error (index 0 and 1), and the memory files that descriptors 1
// and 2 write into instead; -1 when not kept.
volatile sig_atomic_t gHeldRealFd[2] = {-1, -1};
volatile sig_atomic_t gHeldMemoryFd[2] = {-1, -1};
int gHoldDepth;

// ioprio_set(2): the calling process, and the I/O class that follows from
// the nice value (the default).
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassNone = 0;

void WriteStderr(const char *s)
{
    ssize_t unused = write(2, s, strlen(s));
    (void)unused;
}

void WriteAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        buf += n;
        len -= size_t(n);
    }
}

// Points descriptors 1 and 2 at memory files.  0, or -1 with errno (nothing
// diverted): the caller may have left no descriptor free.
int HoldOutput()
{
    fflush(stdout);
    fflush(stderr);
    int mem[2] = {-1, -1}, real[2] = {-1, -1};
    for (int i = 0; i < 2; i++) {
        mem[i] = memfd_create("held-output", MFD_CLOEXEC);
        real[i] = mem[i] < 0 ? -1 : fcntl(i + 1, F_DUPFD_CLOEXEC, 3);
        if (real[i] < 0) {
            const int err = errno;
            for (int j = 0; j <= i; j++) {
                if (mem[j] >= 0)
                    close(mem[j]);
                if (real[j] >= 0)
                    close(real[j]);
            }
            errno = err;
            return -1;
        }
    }
    for (int i = 0; i < 2; i++) {
        dup2(mem[i], i + 1);
        gHeldRealFd[i] = real[i];
        gHeldMemoryFd[i] = mem[i];
    }
    return 0;
}

// Puts the real descriptors back and writes out what was kept.  Only
// async-signal-safe calls: the exit on a signal uses it too.
void ReleaseOutput()
{
    for (int i = 0; i < 2; i++) {
        const int real = gHeldRealFd[i];
        const int mem = gHeldMemoryFd[i];
        if (real < 0)
            continue;
        gHeldRealFd[i] = -1;
        gHeldMemoryFd[i] = -1;
        dup2(real, i + 1);
        close(real);
        char buf[4096];
        off_t off = 0;
        for (ssize_t n; (n = pread(mem, buf, sizeof buf, off)) > 0; off += n)
            WriteAll(i + 1, buf, size_t(n));
        close(mem);
    }
}

// Undoes a slow-down the caller chose before: nice value 0, normal
// scheduling, and the I/O class that follows from them.  Root may raise its
// own priority.
void UndoSlowDown()
{
    (void)setpriority(PRIO_PROCESS, 0, 0);
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    if (policy == SCHED_IDLE || policy == SCHED_BATCH) {
        const struct sched_param normal {};
        (void)sched_setscheduler(0, SCHED_OTHER, &normal);
    }
    (void)syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassNone);
}

void RestoreEcho()
{
    if (gEchoOff) {
        tcsetattr(0, TCSANOW, &gSavedTermios);    // keeps answers typed ahead
        gEchoOff = 0;
    }
}

bool DatabaseOpen()
{
    return memcmp(gDb.magic, "_Ormel_", 7) == 0;
}

// The database is closed (its locks given back) before text kept while
// holding one is written out.
void CloseAtExit()
{
    RestoreEcho();
    explicit_bzero(gStdinBuffer, sizeof gStdinBuffer);
    const bool open = DatabaseOpen();
    if (open)
        Ormel_Close(&gDb);
    fflush(stdout);
    fflush(stderr);
    ReleaseOutput();
    if (open)
        fputs("Database closed.\n", stderr);
}

// Only async-signal-safe calls: the database library keeps a killed writer's
// file whole, and closing the descriptor releases its locks (first, before
// anything is written where the caller may block it).
void ExitOnSignal(int sig)
{
    char msg[64] = "\nCaught signal ";
    char digits[12];
    int n = 0;
    for (unsigned v = unsigned(sig); n == 0 || v != 0; v /= 10)
        digits[n++] = char('0' + v % 10);
    size_t len = strlen(msg);
    while (n > 0)
        msg[len++] = digits[--n];
    memcpy(msg + len, ", exiting.\n", sizeof ", exiting.\n");
    const bool open = DatabaseOpen();
    if (open)
        close(gDb.fd);
    ReleaseOutput();
    RestoreEcho();
    explicit_bzero(gStdinBuffer, sizeof gStdinBuffer);
    WriteStderr(msg);
    if (open)
        WriteStderr("Database closed.\n");
    _exit(3);
}

void OnSigusr1(int)
{
    gGotSigusr1 = 1;
}

void SetHandler(int sig, void (*fn)(int))
{
    struct sigaction sa {};
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void CheckStandardDescriptors()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0)
            _exit(12);   // nowhere to write a message
    for (int fd = 3; fd <= 252; fd++)
        close(fd);
}

// Runs "more" with its standard input on a pipe; -1 when it cannot be
// started.  The child gives up any set-user-ID identity first: a pager can
// run commands.
pid_t StartPager(int *toPager)
{
    int data[2], status[2];
    if (pipe2(data, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(status, O_CLOEXEC) != 0) {
        close(data[0]);
        close(data[1]);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        char *const argv[] = {const_cast<char *>("more"), nullptr};
        char *const envp[] = {nullptr};
        int err = 0;
        if (dup2(data[0], 0) < 0 || setgid(gRealGid) != 0 || setuid(gRealUid) != 0)
            err = errno;
        if (err == 0) {
            execve("/bin/more", argv, envp);
            execve("/usr/bin/more", argv, envp);
            err = errno;
        }
        ssize_t unused = write(status[1], &err, sizeof err);
        (void)unused;
        _exit(127);
    }
    close(data[0]);
    close(status[1]);
    int err = 0;
    const bool failed = pid < 0 || read(status[0], &err, sizeof err) > 0;
    close(status[0]);
    if (failed) {
        close(data[1]);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        return -1;
    }
    *toPager = data[1];
    return pid;
}

// One component of a walk: "name" below fd, made first when make says so.
// The new descriptor, or -1 with errno.
int StepDown(int fd, const char *name, const DirectoryMaker *make)
{
    if (strcmp(name, "..") == 0) {
        errno = EINVAL;
        return -1;
    }
    bool made = false;
    if (make != nullptr) {
        const mode_t oldMask = umask(0);
        made = mkdirat(fd, name, make->mode) == 0;
        const int err = errno;
        umask(oldMask);
        if (!made && err != EEXIST) {
            errno = err;
            return -1;
        }
    }
    // O_DIRECTORY with O_NOFOLLOW fails on a link, even with O_PATH.
    const int next = openat(fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next >= 0 && made && make->chown && fchownat(next, "", make->uid, make->gid, AT_EMPTY_PATH) != 0) {
        const int err = errno;
        close(next);
        errno = err;
        return -1;
    }
    return next;
}

bool IsWordSeparator(char c)
{
    return c == ' ' || c == ',' || c == '\t' || c == '\r' || c == '\n';
}

// The rights one access-file line grants, its first word already matched.
struct Grant {
    bool allowed = false;
    bool mkdir = false;
    bool keepExtraDir = false;
    bool anyRecord = false;
    const char *homeBase = nullptr;   // points into the line
};

void EvaluateWord(const char *word, Grant *g)
{
    if (strcmp(word, "ALL") == 0) {
        g->allowed = true;
    } else if (strcmp(word, "allow-mkdir") == 0) {
        g->mkdir = true;
    } else if (strcmp(word, "the-fund") == 0) {
        g->mkdir = true;
        g->keepExtraDir = true;
    } else if (strncmp(word, kHomeBaseWord, strlen(kHomeBaseWord)) == 0) {
        g->homeBase = word + strlen(kHomeBaseWord);
    } else if (strcmp(word, "allow-setuid-root") == 0 || strcmp(word, "allow-any-uids") == 0) {
        g->anyRecord = true;
    } else if (word[0] >= '0' && word[0] <= '9') {
        char *end = nullptr;
        errno = 0;
        const unsigned long uid = strtoul(word, &end, 10);
        if (*end == '\0' && errno == 0 && uid == gRealUid)
            g->allowed = true;
    } else {
        const struct passwd *pw = getpwnam(word);
        if (pw != nullptr && pw->pw_uid == gRealUid)
            g->allowed = true;
    }
}

// Splits line into words in place; true when its first word is path, with
// the other words evaluated into g.
bool LineGrants(char *line, const char *path, Grant *g)
{
    char *p = line;
    bool first = true;
    while (*p != '\0') {
        while (*p != '\0' && IsWordSeparator(*p))
            p++;
        if (*p == '\0')
            break;
        char *word = p;
        while (*p != '\0' && !IsWordSeparator(*p))
            p++;
        if (*p != '\0')
            *p++ = '\0';
        if (first) {
            if (strcmp(word, path) != 0)
                return false;
            first = false;
        } else {
            EvaluateWord(word, g);
        }
    }
    return !first;
}

[[noreturn]] void NotListed(int code)
{
    fprintf(stderr, "%s is not listed in %s, so you cannot modify it.\n", gPwFileName, kPwAccessFile);
    exit(code);
}

void CheckAccessFile()
{
    if (gPwFileName[0] != '/') {
        fprintf(stderr, "Use an absolute pathname for the database file you specify with -f.\n");
        exit(6);
    }
    FILE *f = fopen(kPwAccessFile, "re");
    struct stat st;
    if (f == nullptr)
        NotListed(7);
    if (fstat(fileno(f), &st) != 0) {
        fclose(f);
        NotListed(7);
    }
    if (st.st_uid != 0 || (st.st_mode & 077) != 0 || !S_ISREG(st.st_mode)) {
        fclose(f);
        fprintf(stderr, "The %s file must be owned by root and be mode 0600.\n", kPwAccessFile);
        exit(8);
    }
    char line[2048];
    Grant g;
    bool listed = false;
    while (!listed && fgets(line, sizeof line, f) != nullptr)
        listed = LineGrants(line, gPwFileName, &g);
    fclose(f);
    if (!listed)
        NotListed(10);
    gAllowMkdirByFakeSuperuser = g.mkdir;
    gHomeBase[0] = '\0';
    if (g.homeBase != nullptr && g.homeBase[0] == '/' && strlen(g.homeBase) < sizeof gHomeBase)
        Strncpy(gHomeBase, g.homeBase);
    gCanModifyAnyRecord = g.anyRecord;
    if (!g.keepExtraDir)
        gExtraDirToMake[0] = '\0';
    if (!g.allowed) {
        fprintf(stderr,
                "There is an entry in %s for the file %s,\nbut your UID (%u) does not match any of the "
                "corresponding allowed users, so you may not modify %s.\n",
                kPwAccessFile, gPwFileName, unsigned(gRealUid), gPwFileName);
        exit(9);
    }
}

// Opens the directory part of the absolute path without following a link
// and points *last at the final component.  -1 with errno (EINVAL for an
// empty, "." or ".." final component).
int OpenDirectoryWithoutLinks(const char *path, const char **last)
{
    const char *slash = strrchr(path, '/');
    if (path[0] != '/' || slash == nullptr || slash[1] == '\0' || strcmp(slash + 1, ".") == 0 ||
        strcmp(slash + 1, "..") == 0) {
        errno = EINVAL;
        return -1;
    }
    char dir[sizeof gPwFileName];
    const size_t len = size_t(slash - path) + 1;   // with the slash: "/" for "/name"
    if (len >= sizeof dir) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, path, len);
    dir[len] = '\0';
    *last = slash + 1;
    return WalkDirectories(-1, dir, nullptr);
}

// A database of a set-user-ID run must be a regular file with one name,
// owned by root or by the caller: another name of it could be a database
// delegated to no one, and a file of another user's is not the caller's to
// give records to.
bool DelegatedFileAcceptable(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           (st.st_uid == 0 || st.st_uid == gRealUid);
}

// Opens the delegated database of a set-user-ID run by its descriptors only:
// the path is walked once without following links, the file is opened
// without following one, and a new database is made (temporary file and
// rename) only in a directory the caller cannot change.  0, the library's
// (negative) code with errno set, or 1 after printing why.
int OpenDelegatedDatabase(int flags)
{
    const char *last = nullptr;
    const int dirFd = OpenDirectoryWithoutLinks(gPwFileName, &last);
    if (dirFd < 0) {
        fprintf(stderr, "%s: the database's directory cannot be reached without following a link: %s.\n",
                gPwFileName, strerror(errno));
        return 1;
    }
    // faccessat checks the real ids: can the caller change the directory?
    const bool callerMayWrite = faccessat(dirFd, ".", W_OK, 0) == 0;
    int rc = Ormel_OpenAt(&gDb, dirFd, last, (flags & ~kOrmelCreate) | kOrmelNoFollow, 0600, gHSize);
    if (rc == kOrmelErrOpen && errno == ENOENT && (flags & kOrmelCreate) != 0) {
        if (callerMayWrite) {
            fprintf(stderr, "%s does not exist, and you may change its directory: it is not created there.\n",
                    gPwFileName);
            close(dirFd);
            return 1;
        }
        rc = Ormel_OpenAt(&gDb, dirFd, last, flags | kOrmelNoFollow, 0600, gHSize);
    }
    const int savedErrno = errno;
    close(dirFd);
    if (rc == 0 && !DelegatedFileAcceptable(gDb.fd)) {
        Ormel_Close(&gDb);
        fprintf(stderr, "%s must be a regular file with one name, owned by root or by you.\n", gPwFileName);
        return 1;
    }
    errno = savedErrno;
    return rc;
}

// Length of the well-formed UTF-8 sequence of two or more bytes at p (end
// excluded), or 0.
size_t Utf8SequenceLength(const unsigned char *p, const unsigned char *end)
{
    const unsigned c = p[0];
    const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || size_t(end - p) < n)
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    const bool overlongOrOutside = (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F) ||
                                   (c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F);
    return overlongOrOutside ? 0 : n;
}

}  // namespace

bool HasTerminalControl(const char *text, size_t len)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + len;
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F))
            return true;
        const size_t n = c >= 0x80 ? Utf8SequenceLength(p, end) : 0;
        if (c == 0xC2 && n == 2 && p[1] <= 0x9F)
            return true;   // U+0080..U+009F
        p += n > 0 ? n : 1;
    }
    return false;
}

int WalkDirectories(int fd, const char *path, const DirectoryMaker *make)
{
    if (fd < 0) {
        if (path[0] != '/') {
            errno = EINVAL;
            return -1;
        }
        fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    for (const char *p = path; fd >= 0 && *p != '\0';) {
        while (*p == '/')
            p++;
        const size_t len = strcspn(p, "/");
        if (len == 0)
            break;
        char name[NAME_MAX + 1];
        if (len > NAME_MAX) {
            close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, p, len);
        name[len] = '\0';
        p += len;
        const int next = StepDown(fd, name, make);
        const int err = errno;
        close(fd);
        fd = next;
        errno = err;
    }
    return fd;
}

void ToolStart(const char *toolName, int argc, char **argv)
{
    gToolName = toolName;
    alarm(0);
    gRealUid = getuid();
    gEffectiveUid = geteuid();
    gRealGid = getgid();
    gEffectiveGid = getegid();
    gReallyRoot = gRealUid == 0 && gEffectiveUid == 0;
    gFakeSuperuser = gRealUid != 0 && gEffectiveUid == 0;
    CheckStandardDescriptors();
    if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0')
        exit(11);
    gRunByWebServer = RunByWebServer();
    if (PurgeEnvironment() != 0) {
        fprintf(stderr, "Failed to purge the enviornment variables.\n");
        exit(13);
    }
    SetHandler(SIGALRM, SIG_DFL);
    SetHandler(SIGQUIT, SIG_DFL);
    SetHandler(SIGINT, SIG_DFL);
    SetHandler(SIGHUP, SIG_DFL);
    SetHandler(SIGTSTP, SIG_IGN);
    setvbuf(stdin, gStdinBuffer, _IOFBF, sizeof gStdinBuffer);
    atexit(CloseAtExit);
    SpwdLibraryInit(argc, argv);
    umask(077);
}

void CatchExitSignals()
{
    SetHandler(SIGHUP, ExitOnSignal);
    SetHandler(SIGINT, ExitOnSignal);
    SetHandler(SIGTERM, ExitOnSignal);
}

void WaitForSigusr1()
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &old);
    SetHandler(SIGUSR1, OnSigusr1);
    printf("Waiting for SIGUSR1.  Do \"kill -%d %u\" to continue...\n", SIGUSR1, unsigned(getpid()));
    fflush(stdout);
    while (!gGotSigusr1)
        sigsuspend(&old);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void PrintToolVersion()
{
    printf("%s version corresponding to %.16s.\n", gToolName, gVersion);
}

void PageText(const char *text)
{
    fflush(stdout);
    int fd = -1;
    const pid_t pid = StartPager(&fd);
    if (pid < 0) {
        fputs(text, stdout);
        fflush(stdout);
        return;
    }
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);   // the reader may quit early
    for (size_t done = 0, len = strlen(text); done < len;) {
        const ssize_t n = write(fd, text + done, len - done);
        if (n <= 0 && errno != EINTR)
            break;
        if (n > 0)
            done += size_t(n);
    }
    close(fd);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    sigaction(SIGPIPE, &old, nullptr);
}

void CheckPwFileName(void (*usage)())
{
    if (gPwFileName[0] == '\0') {
        fprintf(stderr, "No password database file specified.\n");
        sleep(2);
        usage();
        exit(5);
    }
    if (!gFakeSuperuser) {
        gCanModifyAnyRecord = gReallyRoot;
        return;
    }
    CheckAccessFile();
}

int OpenToolDatabase(ToolOpenMode mode)
{
    static constexpr int kFlags[] = {0, kOrmelReadWrite, kOrmelWrite | kOrmelCreate};
    errno = 0;
    const int rc = gFakeSuperuser ? OpenDelegatedDatabase(kFlags[mode])
                                  : Ormel_Open(&gDb, gPwFileName, kFlags[mode], 0600, gHSize);
    if (rc >= 0)
        return rc == 0 ? 0 : -1;
    const int savedErrno = errno;
    if (rc == kOrmelErrGdbm) {
        fprintf(stderr, "This database format is obselete.\nConvert it to the current format using the "
                        "\"dbmigrate\" utility program,\nthen try again.\n");
        return -1;
    }
    const char *why = Ormel_Strerror(rc);
    if (mode == kToolOpenCreate)
        fprintf(stderr, "Could not open %s for writing: %s\n", gPwFileName, why);
    else if (mode == kToolOpenReadWrite)
        fprintf(stderr, "Could not open %s for read/write: %s.\n", gPwFileName, why);
    else
        fprintf(stderr, "Could not open %s for reading: %s.\n", gPwFileName, why);
    if (rc == kOrmelErrOpen)
        fprintf(stderr, "open: %s\n", strerror(savedErrno));
    return -1;
}

int CloseToolDatabase()
{
    return DatabaseOpen() ? Ormel_Close(&gDb) : 0;
}

void ForgetToolDatabase()
{
    if (DatabaseOpen())
        close(gDb.fd);
    memset(&gDb, 0, sizeof gDb);
}

int UpdateStoredRecord(const char *name, bool (*change)(Hpwd *p, const void *arg), const void *arg)
{
    LockHolderGuard holder;
    if (Ormel_ExclusiveLock(&gDb, kOrmelWriteLock) != 0) {
        fprintf(stderr, "Could not lock %s.\n", gPwFileName);
        return 1;
    }
    int result = 1;
    Hpwd rec;
    OrmelDatum d{};
    const int rc = Ormel_Query(&gDb, name, int(strlen(name)), &d);
    if (rc == kOrmelErrNotFound) {
        fprintf(stderr, "The record for %s was deleted meanwhile; nothing written.\n", name);
    } else if (rc != 0) {
        fprintf(stderr, "Could not query record for \"%s\" : %s.\n", name, Ormel_Strerror(rc));
    } else {
        const bool ok = ParseStoredRecord(d.data, &rec) && CheckModifyPermission(&rec, "modify");
        explicit_bzero(d.data, size_t(d.len));
        free(d.data);
        if (ok && change(&rec, arg))
            result = ReplaceRecord(&rec);
        explicit_bzero(rec.passwd, sizeof rec.passwd);
    }
    (void)Ormel_ExclusiveLock(&gDb, kOrmelUnlock);
    return result;
}

FILE *OpenAsCaller(const char *path)
{
    const uid_t euid = geteuid();
    const gid_t egid = getegid();
    if (setegid(gRealGid) != 0 || seteuid(gRealUid) != 0) {
        perror("seteuid");
        exit(1);
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    const int err = errno;
    if (seteuid(euid) != 0 || setegid(egid) != 0) {
        perror("seteuid");
        exit(1);
    }
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "r");
    if (fd >= 0 && f == nullptr)
        close(fd);
    errno = fd < 0 ? err : errno;
    return f;
}

void DropPrivileges()
{
    if (setresgid(gRealGid, gRealGid, gRealGid) != 0) {
        perror("setgid");
        exit(1);
    }
    if (setresuid(gRealUid, gRealUid, gRealUid) != 0) {
        perror("setuid");
        exit(1);
    }
    // A set-user-ID root identity must be gone for good.
    if (gRealUid != 0 && (setuid(0) == 0 || geteuid() != gRealUid)) {
        fprintf(stderr, "setuid: %s\n", strerror(EPERM));
        exit(1);
    }
}

bool RootGuardsLock()
{
    struct stat st;
    return gFakeSuperuser && DatabaseOpen() && fstat(gDb.fd, &st) == 0 && st.st_uid == 0;
}

void ActAsCaller()
{
    uid_t ruid, euid, suid;
    if (!RootGuardsLock() || getresuid(&ruid, &euid, &suid) != 0 || suid != 0) {
        DropPrivileges();
        return;
    }
    if (setresgid(gRealGid, gRealGid, gRealGid) != 0) {
        perror("setgid");
        exit(1);
    }
    if (setresuid(gRealUid, gRealUid, 0) != 0) {
        perror("setuid");
        exit(1);
    }
}

LockHolderGuard::LockHolderGuard()
{
    if (gHoldDepth++ > 0 || !RootGuardsLock())
        return;
    outermost_ = true;
    if (getresuid(&uids_[0], &uids_[1], &uids_[2]) != 0 || getresgid(&gids_[0], &gids_[1], &gids_[2]) != 0 ||
        setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0) {
        perror("setuid");
        exit(1);
    }
    UndoSlowDown();
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTTOU, &ignore, &oldTtou_);
    sigaction(SIGTTIN, &ignore, &oldTtin_);
    if (HoldOutput() != 0) {
        fprintf(stderr, "Cannot keep the output while the database is locked: %s.\n", strerror(errno));
        exit(1);
    }
}

LockHolderGuard::~LockHolderGuard()
{
    gHoldDepth--;
    if (!outermost_)
        return;
    fflush(stdout);
    fflush(stderr);
    sigaction(SIGTTOU, &oldTtou_, nullptr);
    sigaction(SIGTTIN, &oldTtin_, nullptr);
    const bool back = setresgid(gids_[0], gids_[1], gids_[2]) == 0 && setresuid(uids_[0], uids_[1], uids_[2]) == 0;
    const int err = errno;
    ReleaseOutput();
    if (!back) {
        fprintf(stderr, "setuid: %s\n", strerror(err));
        exit(1);
    }
}

bool MayActOnRecord(const Hpwd *p, RecordAction action)
{
    if (gCanModifyAnyRecord || uid_t(p->uid) == gRealUid)
        return true;
    return action == kRecordReplace && gid_t(p->gid[0]) == gRealGid;
}

bool CheckRecordPermission(const Hpwd *p, RecordAction action)
{
    if (MayActOnRecord(p, action))
        return true;
    switch (action) {
    case kRecordView:
        fprintf(stderr, "Record for %s exists, but you don't have permission to view it.\n", p->username);
        break;
    case kRecordReplace:
        fprintf(stderr, "Record for %s exists, but you don't have permission to replace it.\n", p->username);
        break;
    case kRecordDelete:
        fprintf(stderr, "Record for %s exists, but you don't have permission to delete it.\n", p->username);
        break;
    }
    return false;
}

bool CheckModifyPermission(const Hpwd *p, const char *verb)
{
    if (MayActOnRecord(p, kRecordView))
        return true;
    fprintf(stderr, "Cannot %s record for %s: %s.\n", verb, p->username, "permission denied");
    return false;
}

int ReadWithoutEcho(const char *prompt, char *buf, size_t size)
{
    // Echo goes off before the prompt shows and nothing typed is flushed: a
    // password typed as soon as the prompt appears is neither shown nor lost.
    struct termios t;
    const bool terminal = tcgetattr(0, &t) == 0;
    if (terminal) {
        gSavedTermios = t;
        t.c_lflag &= ~tcflag_t(ECHO);
        gEchoOff = 1;
        tcsetattr(0, TCSANOW, &t);
    }
    fputs(prompt, stderr);
    fflush(stderr);
    const int rc = ReadLine(stdin, buf, size);
    if (terminal) {
        RestoreEcho();
        fputc('\n', stderr);
    }
    return rc == 1 ? 0 : -1;
}

int ReadLine(FILE *f, char *buf, size_t size)
{
    if (fgets(buf, int(size), f) == nullptr) {
        buf[0] = '\0';
        return 0;
    }
    const size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') {
        buf[len - 1] = '\0';
        return 1;
    }
    if (len + 1 < size)
        return 1;   // the last line, without a newline
    // Too long: consume the rest of the line and refuse it whole.
    explicit_bzero(buf, size);
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
    }
    return -1;
}

void SetPwFileName(const char *path)
{
    if (strlen(path) >= sizeof gPwFileName) {
        fprintf(stderr, "%s: the database path is too long.\n", gToolName);
        exit(1);
    }
    Strncpy(gPwFileName, path);
}

bool ParseStoredRecord(const char *data, Hpwd *p)
{
    char line[kOrmelMaxDataLen + 1];
    snprintf(line, sizeof line, "%s", data);
    const bool ok = ParseHpwdLine(p, line, 0, 0) == 0;
    explicit_bzero(line, strlen(line));
    if (!ok)
        printf("Corrupt: %s\n", data);
    return ok;
}

int ReplaceRecord(const Hpwd *p)
{
    char line[2048];
    UnparseHpwdEntry(line, sizeof line, p);
    const size_t len = strlen(line);
    int rc = kOrmelErrRecordTooLarge;
    if (len < size_t(kHpwdLineSize))
        rc = Ormel_Insert(&gDb, p->username, int(strlen(p->username)), line, int(len + 1), 1);
    explicit_bzero(line, sizeof line);
    if (rc != 0) {
        fprintf(stderr, "Could not update record for \"%s\" : %s.\n", p->username, Ormel_Strerror(rc));
        return 1;
    }
    return 0;
}

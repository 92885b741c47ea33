// Directory downloads: suffix recognition, the permission to archive a
// directory, and the archiver processes that make the archive.
#include "transfer/archive.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "session/shell.h"

pid_t gArchiverPids[kMaxArchivers];

namespace {

// Per process of gArchiverPids: exit status 2 means success too.  compress
// ends with 2 when its output is not smaller than its input, which it still
// writes whole.
bool gArchiverExit2Succeeds[kMaxArchivers];

// In the order they are tried.
constexpr const char *kSuffixes[] = {".tar.gz", ".tar.Z", ".tar", ".zip", ".tgz"};

bool IsZip(const char *sfx)
{
    return strcasecmp(sfx, ".zip") == 0;
}

// The compressor of a tar suffix: nullptr for plain tar, "" when the one it
// needs is not configured.
const char *Compressor(const char *sfx)
{
    if (strcasecmp(sfx, ".tar.gz") == 0 || strcasecmp(sfx, ".tgz") == 0)
        return gGzipPath;
    if (strcasecmp(sfx, ".tar.Z") == 0)
        return gCompressPath;
    return nullptr;
}

// The child's side of a start that failed: the parent learns it through the
// status pipe (which closes unwritten when the program starts).
[[noreturn]] void ArchiverFailed(int status)
{
    const int err = errno;
    if (write(status, &err, sizeof(err)) < 0) {
        // The parent then sees the pipe close and the child gone.
    }
    _exit(1);
}

// How one archiver process is run.
struct ArchiverRun {
    const char *const *argv;
    const char *dir;          // it runs from here
    int in;                   // standard input, -1 for the null device
    int out;                  // standard output
    bool isZip;               // for the log text
    long long maxFileSize;    // its limit on file sizes, 0 for none
};

// The child's side: runs argv with in and out as standard input and output,
// standard error on the null device, from dir, niced, with the real user
// and group set to the effective ones.  status is the close-on-exec write
// end of the status pipe.
[[noreturn]] void RunArchiver(const ArchiverRun &run, int status)
{
    const char *const *argv = run.argv;
    const char *dir = run.dir;
    const bool isZip = run.isZip;
    const int in = run.in;
    const int out = run.out;
    signal(SIGPIPE, SIG_DFL);
    signal(SIGURG, SIG_DFL);
    signal(SIGALRM, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    if (run.maxFileSize > 0) {
        // Past it a write ends the program with SIGXFSZ: a failed archive.
        const struct rlimit limit = {static_cast<rlim_t>(run.maxFileSize), static_cast<rlim_t>(run.maxFileSize)};
        if (setrlimit(RLIMIT_FSIZE, &limit) < 0)
            ArchiverFailed(status);
    }
    // Its parent is link-free as checked; a link there now means the tree
    // changed since.  (The archivers store the directory itself as a link
    // if it became one: neither follows a link it is given.)
    if (SafeChdir(dir) < 0) {
        if (isZip)
            LogPerror("zip chdir to %.300s failed", dir);
        else
            LogPerror("tar chdir to %.300s failed", dir);
        ArchiverFailed(status);
    }
    if (nice(kArchiverNice) < 0 && errno != 0) {
        // A priority that cannot be lowered does not stop the archive.
    }
    // The group first: once the real user is no longer root it could not
    // be changed.  A session's own process already has no other ids.
    const gid_t egid = getegid();
    const uid_t euid = geteuid();
    if ((getgid() != egid && setregid(egid, egid) < 0) || (getuid() != euid && setreuid(euid, euid) < 0))
        ArchiverFailed(status);
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(in >= 0 ? in : null, 0) < 0 || dup2(out, 1) < 0 || dup2(null, 2) < 0)
        ArchiverFailed(status);
    // Nothing but standard input, output and error reaches the program; the
    // log pipe and the status pipe stay usable until it starts.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execv(argv[0], const_cast<char *const *>(argv));
    LogPerror("%.300s", argv[0]);
    ArchiverFailed(status);
}

// Waits until the child has started its program (the status pipe closes
// unwritten) or has failed to (it writes its errno).  0 or -1.
int ArchiverStarted(int status)
{
    int err = 0;
    ssize_t n;
    while ((n = read(status, &err, sizeof(err))) < 0 && errno == EINTR) {
    }
    return n == 0 ? 0 : -1;
}

// Forks one archiver; the parent remembers it.  -1 when fork fails or the
// program cannot be started.
int StartArchiver(int slot, const ArchiverRun &run, bool exit2Succeeds)
{
    int status[2];
    if (pipe2(status, O_CLOEXEC) < 0) {
        LogPerror("pipe");
        return -1;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        LogPerror("fork");
        close(status[0]);
        close(status[1]);
        return -1;
    }
    if (pid == 0) {
        close(status[0]);
        RunArchiver(run, status[1]);
    }
    close(status[1]);
    const int rc = ArchiverStarted(status[0]);
    close(status[0]);
    if (rc < 0) {
        // It is ending by itself: no need to stop it.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    gArchiverPids[slot] = pid;
    gArchiverExit2Succeeds[slot] = exit2Succeeds;
    return 0;
}

// Waits for one archiver: true when it ended successfully.
bool ArchiverSucceeded(int slot)
{
    const pid_t pid = gArchiverPids[slot];
    int status = 0;
    pid_t rc;
    while ((rc = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (rc != pid) {
        LogPerror("wait for archiver %d", static_cast<int>(pid));
        return false;
    }
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == 0 || (code == 2 && gArchiverExit2Succeeds[slot]))
            return true;
        Log(kLogMisc, "Archiver %d failed with exit status %d.\n", static_cast<int>(pid), code);
    } else {
        Log(kLogMisc, "Archiver %d ended by signal %d.\n", static_cast<int>(pid),
            WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    return false;
}

// name with the wildcard characters of the archivers' patterns escaped, so
// that it matches only itself.  false when it does not fit (dst then holds
// a cut pattern that must not be used).
bool LiteralPattern(char *dst, size_t size, const char *name)
{
    size_t n = 0;
    const char *cp = name;
    for (; *cp != '\0' && n + 2 < size; cp++) {
        if (strchr("*?[\\", *cp) != nullptr)
            dst[n++] = '\\';
        dst[n++] = *cp;
    }
    dst[n] = '\0';
    return *cp == '\0';
}

// The words of one archiver's argument vector, bounded.
struct ArgList {
    const char **argv;
    int n;
    bool full;
    void Add(const char *word)
    {
        if (n < kMaxArchiverArgs - 1)
            argv[n++] = word;
        else
            full = true;
    }
};

// Makes pattern (of kArchiverPatternSize) from option, the literal member
// name dir/rel and an ending; false when it does not fit.
bool MemberPattern(char *pattern, const char *option, const char *name, const char *rel, const char *ending)
{
    char member[kArchiverPatternSize];
    if (snprintf(member, sizeof(member), "%s/%s", name, rel) >= static_cast<int>(sizeof(member)))
        return false;
    char literal[kArchiverPatternSize];
    if (!LiteralPattern(literal, sizeof(literal), member))
        return false;
    return snprintf(pattern, kArchiverPatternSize, "%s%s%s", option, literal, ending) <
           static_cast<int>(kArchiverPatternSize);
}

// The patterns of the refused trees (one or two per tree, in words.refused):
// for tar options anchored at the start of a member name, for zip patterns of
// the whole name.  false when one does not fit.
bool AddRefusedPatterns(ArgList &args, bool zip, const char *name, const ArchiveExclusions &ex,
                        ArchiverWords &words)
{
    int w = 0;
    for (int i = 0; i < ex.numRefused; i++) {
        const RefusedTree &tree = ex.refused[i];
        const char *option = zip ? "" : "--exclude=";
        // The tree itself, or every name that begins with the text.
        if (!MemberPattern(words.refused[w], option, name, tree.rel, tree.namePrefix ? "*" : ""))
            return false;
        args.Add(words.refused[w++]);
        // tar does not enter a directory it leaves out; zip matches each
        // name on its own.
        if (zip && !tree.namePrefix) {
            if (!MemberPattern(words.refused[w], option, name, tree.rel, "/*"))
                return false;
            args.Add(words.refused[w++]);
        }
    }
    return true;
}

void CloseIfOpen(int fd)
{
    if (fd >= 0)
        close(fd);
}

}  // namespace

int RetrDirSuffix(char *path, char *sfx, size_t sfxSize)
{
    const size_t len = strlen(path);
    for (const char *s : kSuffixes) {
        const size_t n = strlen(s);
        if (len > n && strcasecmp(path + len - n, s) == 0) {
            Strncpy(sfx, path + len - n, sfxSize);
            path[len - n] = '\0';
            return 1;
        }
    }
    return 0;
}

int MayRetrDir(const char *dir)
{
    char notar[kPathBufSize];
    Strncpy(notar, dir);
    Strncat(notar, "/.notar");
    // Only a ".notar" that is surely absent lets the archive be made (a
    // link met on the way means the tree changed since the check).
    struct stat st;
    if (SafeLstat(notar, &st) == 0 || errno != ENOENT)
        return -1;
    // Every path below it would be refused, or one of the trees that an
    // archive of it must leave out holds it.
    RefusedTree trees[kMaxRefusedTrees];
    if (RefusedTreesBelow(dir, trees, kMaxRefusedTrees) < 0) {
        _Trace(kLogMisc, "directory denied [%.400s]\n", dir);
        return -1;
    }
    if (gAllowTarRootDirs)
        return 0;
    char shown[kPathBufSize];
    VirtualPath(shown, sizeof(shown), dir);
    int slashes = 0;
    for (const char *cp = shown; *cp != '\0'; cp++)
        slashes += (*cp == '/');
    return slashes <= 1 ? -1 : 0;
}

ArchiveExclusions SessionArchiveExclusions(char *name, size_t size)
{
    ArchiveExclusions ex;
    if (!gIsAnon) {
        ex.dotFiles = gUPathnameFilter != 0;
        return ex;
    }
    ex.dotFiles = gAPathnameFilter != 0;
    // The incoming directory of the rule of single downloads (InIncomingDir):
    // its last component, wherever it stands, which can only leave out more.
    if (gAllowIncoming && !gAllowDownloadFromIncoming) {
        char dir[kConfigPathSize];
        Strncpy(dir, gAIncomingDir[0] != '\0' ? gAIncomingDir : gIncomingSubdir);
        size_t len = strlen(dir);
        while (len > 0 && dir[len - 1] == '/')
            dir[--len] = '\0';
        const char *slash = strrchr(dir, '/');
        Strncpy(name, slash != nullptr ? slash + 1 : dir, size);
        if (name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
            ex.incoming = name;
    }
    return ex;
}

int ArchiverCommands(const char *sfx, const char *name, const ArchiveExclusions &ex, ArchiverWords &words,
                     const char *argv[kMaxArchivers][kMaxArchiverArgs])
{
    memset(argv, 0, sizeof(const char *) * kMaxArchivers * kMaxArchiverArgs);
    const bool incoming = ex.incoming != nullptr && ex.incoming[0] != '\0';
    char literal[kArchiverWordSize - 16];
    if (incoming && !LiteralPattern(literal, sizeof(literal), ex.incoming))
        return -1;
    if (IsZip(sfx)) {
        if (gZipPath[0] == '\0')
            return 0;
        ArgList zip{argv[0], 0, false};
        zip.Add(gZipPath);
        zip.Add("-rqyy");
        zip.Add("-");
        zip.Add(name);
        // The list of -x runs to the end of the command line; each pattern
        // starts with "*/" or with the name, so none can be taken for an
        // option.
        if (incoming || ex.dotFiles || ex.numRefused > 0)
            zip.Add("-x");
        if (incoming) {
            Strncpy(words.zipIncoming, "*/");
            Strncat(words.zipIncoming, literal);
            Strncpy(words.zipIncomingTree, words.zipIncoming);
            Strncat(words.zipIncomingTree, "/*");
            zip.Add(words.zipIncoming);
            zip.Add(words.zipIncomingTree);
        }
        if (ex.dotFiles)
            zip.Add("*/.*");
        if (!AddRefusedPatterns(zip, true, name, ex, words) || zip.full)
            return -1;
        return 1;
    }
    const char *compressor = Compressor(sfx);
    if (gTarPath[0] == '\0' || (compressor != nullptr && compressor[0] == '\0'))
        return 0;
    ArgList tar{argv[0], 0, false};
    tar.Add(gTarPath);
    tar.Add("cf");
    tar.Add("-");
    // Patterns without a slash: the name at any depth below the directory.
    if (incoming) {
        Strncpy(words.tarIncoming, "--exclude=");
        Strncat(words.tarIncoming, literal);
        tar.Add(words.tarIncoming);
    }
    if (ex.dotFiles)
        tar.Add("--exclude=.*");
    // The refused trees: whole member names, from their start (this option
    // applies to the patterns after it).
    if (ex.numRefused > 0)
        tar.Add("--anchored");
    if (!AddRefusedPatterns(tar, false, name, ex, words))
        return -1;
    tar.Add(name);
    if (tar.full)
        return -1;
    if (compressor == nullptr)
        return 1;
    argv[1][0] = compressor;
    if (compressor == gGzipPath) {
        argv[1][1] = "-3";
        argv[1][2] = "-c";
    } else {
        argv[1][1] = "-c";
    }
    return 2;
}

int ArchiverConfigured(const char *sfx)
{
    static ArchiverWords words;
    const char *argv[kMaxArchivers][kMaxArchiverArgs];
    return ArchiverCommands(sfx, "x", ArchiveExclusions{}, words, argv) > 0;
}

namespace {

// Starts tar and its compressor, writing into a pipe: its read end, or -1.
int StreamArchive(const char *parent, const char *const argv[kMaxArchivers][kMaxArchiverArgs], int n)
{
    int out[2] = {-1, -1};
    int mid[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) < 0 || (n == 2 && pipe2(mid, O_CLOEXEC) < 0)) {
        LogPerror("pipe");
        CloseIfOpen(out[0]);
        CloseIfOpen(out[1]);
        return -1;
    }
    int rc = StartArchiver(0, {argv[0], parent, -1, n == 2 ? mid[1] : out[1], false, 0}, false);
    if (rc == 0 && n == 2)
        rc = StartArchiver(1, {argv[1], parent, mid[0], out[1], false, 0}, argv[1][0] == gCompressPath);
    CloseIfOpen(mid[0]);
    CloseIfOpen(mid[1]);
    close(out[1]);
    if (rc < 0) {
        close(out[0]);
        StopArchivers();
        return -1;
    }
    return out[0];
}

// An unnamed file for a zip archive: on disk in the first temporary
// directory there is (a large archive must not take a gigabyte of memory
// per session), else in memory (a chroot without one).
int OpenZipSpool()
{
    for (const char *dir : {"/var/tmp", "/tmp"}) {
        const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
    }
    const int fd = memfd_create("zip-archive", MFD_CLOEXEC);
    if (fd < 0)
        LogPerror("memfd_create");
    return fd;
}

// Runs zip to its end into an unnamed file that no other process can name:
// the file, read from its start, or -1.  zip seeks back in its output to
// store a symbolic link as a link, which a pipe does not allow.
int SpoolZipArchive(const char *parent, const char *const *argv)
{
    const int spool = OpenZipSpool();
    if (spool < 0)
        return -1;
    if (StartArchiver(0, {argv, parent, -1, spool, true, kZipSpoolLimit}, false) < 0 || ReapArchivers() < 0 ||
        lseek(spool, 0, SEEK_SET) != 0) {
        close(spool);
        return -1;
    }
    return spool;
}

}  // namespace

int RetrOpenDir(const char *dir, const char *sfx)
{
    char parent[kPathBufSize];
    Strncpy(parent, dir);
    char *slash = strrchr(parent, '/');
    const char *name = slash != nullptr ? slash + 1 : "";
    // A name the archiver could take for an option, or none at all.
    if (slash == nullptr || *name == '\0' || *name == '-') {
        Log(kLogMisc, "invalid pathname [%.300s]\n", dir);
        return -1;
    }
    char base[kPathBufSize];
    Strncpy(base, name);
    if (slash == parent)
        slash[1] = '\0';
    else
        *slash = '\0';

    char incoming[kConfigPathSize];
    ArchiveExclusions ex = SessionArchiveExclusions(incoming, sizeof(incoming));
    static RefusedTree refused[kMaxRefusedTrees];
    ex.numRefused = RefusedTreesBelow(dir, refused, kMaxRefusedTrees);
    ex.refused = refused;
    if (ex.numRefused < 0) {
        Log(kLogMisc, "invalid pathname [%.300s]\n", dir);
        return -1;
    }
    static ArchiverWords words;
    const char *argv[kMaxArchivers][kMaxArchiverArgs];
    const int n = ArchiverCommands(sfx, base, ex, words, argv);
    if (n <= 0)
        return -1;
    memset(gArchiverPids, 0, sizeof(gArchiverPids));
    return IsZip(sfx) ? SpoolZipArchive(parent, argv[0]) : StreamArchive(parent, argv, n);
}

int ReapArchivers()
{
    int rc = 0;
    for (int slot = 0; slot < kMaxArchivers; slot++) {
        if (gArchiverPids[slot] > 0 && !ArchiverSucceeded(slot))
            rc = -1;
        gArchiverPids[slot] = 0;
    }
    return rc;
}

void StopArchivers()
{
    bool any = false;
    for (pid_t pid : gArchiverPids) {
        if (pid > 0 && kill(pid, SIGTERM) == 0)
            any = true;
    }
    if (any) {
        sleep(1);
        for (pid_t pid : gArchiverPids) {
            if (pid > 0)
                kill(pid, SIGKILL);
        }
    }
    // Stopped on purpose: how they ended tells nothing more.
    for (pid_t &pid : gArchiverPids) {
        if (pid > 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        pid = 0;
    }
}

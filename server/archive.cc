// Directory downloads: suffix recognition, the permission to archive a
// directory, and the archiver processes that make the archive.
#include "archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <strings.h>

#include "Strn.h"
#include "config.h"
#include "log.h"
#include "paths.h"
#include "shell.h"

pid_t gArchiverPids[kMaxArchivers];

namespace {

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

// The child's side: runs argv with in and out as standard input and output,
// standard error on the null device, from dir, niced, with the real user
// and group set to the effective ones.  status is the close-on-exec write
// end of the status pipe.
[[noreturn]] void RunArchiver(const char *const *argv, const char *dir, int in, int out, bool isZip, int status)
{
    signal(SIGPIPE, SIG_DFL);
    signal(SIGURG, SIG_DFL);
    signal(SIGALRM, SIG_DFL);
    if (chdir(dir) < 0) {
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
    // be changed.
    const gid_t egid = getegid();
    const uid_t euid = geteuid();
    if (setregid(egid, egid) < 0 || setreuid(euid, euid) < 0)
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
int StartArchiver(int slot, const char *const *argv, const char *dir, int in, int out, bool isZip)
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
        RunArchiver(argv, dir, in, out, isZip, status[1]);
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
    return 0;
}

// name with the wildcard characters of the archivers' patterns escaped, so
// that it matches only itself.
void LiteralPattern(char *dst, size_t size, const char *name)
{
    size_t n = 0;
    for (const char *cp = name; *cp != '\0' && n + 2 < size; cp++) {
        if (strchr("*?[\\", *cp) != nullptr)
            dst[n++] = '\\';
        dst[n++] = *cp;
    }
    dst[n] = '\0';
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
    struct stat st;
    if (lstat(notar, &st) == 0)
        return -1;
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
    if (!gIsAnon)
        return ex;
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
    if (incoming)
        LiteralPattern(literal, sizeof(literal), ex.incoming);
    int i = 0;
    if (IsZip(sfx)) {
        if (gZipPath[0] == '\0')
            return 0;
        const char **zip = argv[0];
        zip[i++] = gZipPath;
        zip[i++] = "-rqyy";
        zip[i++] = "-";
        zip[i++] = name;
        // The list of -x runs to the end of the command line; each pattern
        // starts with "*/", so none can be taken for an option.
        if (incoming || ex.dotFiles)
            zip[i++] = "-x";
        if (incoming) {
            Strncpy(words.zipIncoming, "*/");
            Strncat(words.zipIncoming, literal);
            Strncpy(words.zipIncomingTree, words.zipIncoming);
            Strncat(words.zipIncomingTree, "/*");
            zip[i++] = words.zipIncoming;
            zip[i++] = words.zipIncomingTree;
        }
        if (ex.dotFiles)
            zip[i++] = "*/.*";
        return 1;
    }
    const char *compressor = Compressor(sfx);
    if (gTarPath[0] == '\0' || (compressor != nullptr && compressor[0] == '\0'))
        return 0;
    const char **tar = argv[0];
    tar[i++] = gTarPath;
    tar[i++] = "cf";
    tar[i++] = "-";
    // Patterns without a slash: the name at any depth below the directory.
    if (incoming) {
        Strncpy(words.tarIncoming, "--exclude=");
        Strncat(words.tarIncoming, literal);
        tar[i++] = words.tarIncoming;
    }
    if (ex.dotFiles)
        tar[i++] = "--exclude=.*";
    tar[i++] = name;
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
    ArchiverWords words;
    const char *argv[kMaxArchivers][kMaxArchiverArgs];
    return ArchiverCommands(sfx, "x", ArchiveExclusions{}, words, argv) > 0;
}

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
    const ArchiveExclusions ex = SessionArchiveExclusions(incoming, sizeof(incoming));
    ArchiverWords words;
    const char *argv[kMaxArchivers][kMaxArchiverArgs];
    const int n = ArchiverCommands(sfx, base, ex, words, argv);
    if (n == 0)
        return -1;

    int out[2] = {-1, -1};
    int mid[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) < 0 || (n == 2 && pipe2(mid, O_CLOEXEC) < 0)) {
        LogPerror("pipe");
        CloseIfOpen(out[0]);
        CloseIfOpen(out[1]);
        return -1;
    }
    memset(gArchiverPids, 0, sizeof(gArchiverPids));
    int rc = StartArchiver(0, argv[0], parent, -1, n == 2 ? mid[1] : out[1], IsZip(sfx));
    if (rc == 0 && n == 2)
        rc = StartArchiver(1, argv[1], parent, mid[0], out[1], false);
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

void ReapArchivers()
{
    for (pid_t &pid : gArchiverPids) {
        if (pid > 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        pid = 0;
    }
}

void StopArchivers()
{
    bool any = false;
    for (pid_t pid : gArchiverPids) {
        if (pid > 0 && kill(pid, SIGTERM) == 0)
            any = true;
    }
    if (!any) {
        ReapArchivers();
        return;
    }
    sleep(1);
    for (pid_t pid : gArchiverPids) {
        if (pid > 0)
            kill(pid, SIGKILL);
    }
    ReapArchivers();
}

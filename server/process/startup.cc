// Start-up and shutdown: Init, the two scans of the command line, the checks
// after the configuration files are read, daemonising, the start-up
// self-tests, and Exit/ExitStuff, the one way every process leaves.
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <limits.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Spwd.h"
#include "auth/authclient.h"
#include "auth/pam.h"
#include "base/clock.h"
#include "base/privchan.h"
#include "Strn.h"
#include "config/config.h"
#include "getopt.h"
#include "log/log.h"
#include "session/filecmds.h"
#include "listing/pwcache.h"
#include "session/shell.h"
#include "session/tcpwrappers.h"
#include "config/domain.h"
#include "events/events.h"
#include "logger/logger.h"
#include "process/master.h"
#include "status/shm.h"
#include "process/startup.h"
#include "quota/quota.h"
#include "tls/tls.h"
#include "config/userclass.h"
#include "sio.h"
#include "version.h"

int gChild = 0;
pid_t gMasterPID = 0, gMasterPPID = 0;
pid_t gLoggerPID = -1;
time_t gServerStartTime = 0;
const char *gProgName = "zorvad";
int gDaemon = 0;
int gLogToTTY = 1;
bool gWasATTY2 = false;
bool gInitialized = false;
int gDevNull = -1;
char gOurHostName[kHostNameSize];
char gSysInfo[kSysInfoSize];
unsigned gRandom32Bits = 0;
unsigned gRandomButPersistent16Bits = 0;
char gGeneralCfPath[256], gDomainCfPath[256];
int gAnonOnlyServer = 0;
int gHidePasswordsInVerboseLog = 1;
Spwd gFTPUser;
gid_t gFTPUserGroups[kFTPUserGroupsMax];
int gNumFTPUserGroups = 0;
char gDefaultFTPHome[512];
char *gScratch1 = nullptr, *gScratch2 = nullptr;
char *gXferBuf = nullptr;
volatile sig_atomic_t gExitInProgress = 0;
volatile sig_atomic_t gExitCode = 0;

namespace {

constexpr const char *kOptions = "adn:p:k:uvVJqQbeY";
constexpr key_t kDefaultShmKeyBase = 0x77C0FFEE;
constexpr rlim_t kWantedCoreSize = 1000000;

// Known-answer pairs of the two hashing self-tests.
constexpr const char *kSelfTestWord = "zorvad";
constexpr const char *kSelfTestDES = "ZvyvjER6sB6EM";
constexpr const char *kSelfTestMD5 = "$1$Zorvad01$jHg5MYcxkcmlDaDMm3/010";

bool IsDir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void RaiseCoreLimit()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_CORE, &rl) == 0 && rl.rlim_cur < kWantedCoreSize) {
        rl.rlim_cur = (rl.rlim_max == RLIM_INFINITY || rl.rlim_max > kWantedCoreSize) ? kWantedCoreSize : rl.rlim_max;
        setrlimit(RLIMIT_CORE, &rl);
    }
}

}  // namespace

int RunApart(int (*work)())
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work() & 0xff);
    int status = 0;
    pid_t reaped = -1;
    while (pid > 0 && (reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != pid)
        return work();      // no child, or reaped elsewhere: here then
    return WIFEXITED(status) ? WEXITSTATUS(status) : work();
}

namespace {

// Runs work(out) in a child of its own and takes back the size bytes of out
// it filled in: a name service that work loads (asking every account or
// group source loads each one the host lists, with the libraries it pulls
// in) stays in that child instead of being mapped, and copied again, by
// every process the master forks.  work's verdict, false also when the
// record did not come back whole.
template <typename Work>
bool FetchApart(Work work, void *out, size_t size)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return work(out);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const char found = work(out) ? 1 : 0;
        if (PWrite(fds[1], &found, 1) == 1 && found != 0)
            (void) PWrite(fds[1], out, size);
        _exit(0);
    }
    close(fds[1]);
    char found = 0;
    const bool whole = pid > 0 && PRead(fds[0], &found, 1, 1) == 1 &&
                       (found == 0 || PRead(fds[0], out, size, 1) == static_cast<int>(size));
    close(fds[0]);
    while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0)
        return work(out);
    return whole && found != 0;
}

// The first of the usual anonymous accounts that exists, else the account
// of the real uid when that is not root.  Looked up apart: an account that
// is not in the password file is asked of every other name service.
bool LookUpAnonymousAccount(void *out)
{
    static constexpr const char *kNames[] = {"ftp", "_ftp", "zorvad", "zorva", "www", "web", "daemon", "nobody"};
    Spwd *account = static_cast<Spwd *>(out);
    for (const char *name : kNames) {
        if (GetSpwdByName(name, account, 0, 0, 1) == 0)
            return true;
    }
    return getuid() != 0 && GetSpwdByUID(getuid(), account, 0, 0, 1) == 0;
}

struct GroupList {
    int32_t count;
    gid_t groups[kFTPUserGroupsMax];
};

void FindAnonymousAccount()
{
    if (!FetchApart(LookUpAnonymousAccount, &gFTPUser, sizeof(gFTPUser))) {
        fprintf(stderr, "User \"ftp\" not found in the password file.\n");
        fprintf(stderr, "Add a valid entry for the \"ftp\" user in the /etc/passwd file,\nand make sure its home directory exists.\n");
        Exit(1);
    }
    gFTPUser.username[sizeof(gFTPUser.username) - 1] = gFTPUser.homedir[sizeof(gFTPUser.homedir) - 1] = '\0';
    if (gFTPUser.uid == 0) {
        fprintf(stderr, "User \"%s\" found, but has UID 0 which is not allowed.\n", gFTPUser.username);
        Exit(1);
    }
    if (gFTPUser.gid[0] == 0) {
        fprintf(stderr, "User \"%s\" found, but has GID 0 which is not allowed.\n", gFTPUser.username);
        Exit(1);
    }
    GroupList list{};
    const bool listed = FetchApart([](void *out) {
        GroupList *l = static_cast<GroupList *>(out);
        int n = kFTPUserGroupsMax;
        if (getgrouplist(gFTPUser.username, static_cast<gid_t>(gFTPUser.gid[0]), l->groups, &n) < 0)
            return false;
        l->count = n;
        return true;
    }, &list, sizeof(list));
    gNumFTPUserGroups = listed && list.count > 0 && list.count <= kFTPUserGroupsMax ? list.count : 0;
    if (gNumFTPUserGroups > 0)
        memcpy(gFTPUserGroups, list.groups, sizeof(gid_t) * static_cast<size_t>(gNumFTPUserGroups));
}

// First of the conventional anonymous roots, in the order they are tried.
void UsualFTPHome(bool tryRootDirs)
{
    if (tryRootDirs && IsDir("/ftp"))
        Strncpy(gDefaultFTPHome, "/ftp");
    else if (tryRootDirs && IsDir("/export/ftp"))
        Strncpy(gDefaultFTPHome, "/export/ftp");
    else if (IsDir("/export/home"))
        Strncpy(gDefaultFTPHome, "/export/home/ftp");
    else if (IsDir("/home"))
        Strncpy(gDefaultFTPHome, "/home/ftp");
    else if (IsDir("/usr/local"))
        Strncpy(gDefaultFTPHome, "/usr/local/ftp");
    else
        Strncpy(gDefaultFTPHome, "/usr/ftp");
}

void ChooseDefaultFTPHome()
{
    const char *name = gFTPUser.username;
    const char *home = gFTPUser.homedir;
    if (strcmp(name, "www") == 0 && strcmp(home, "/Library/WebServer") == 0) {
        Strncpy(gDefaultFTPHome, "/Library/WebServer/Documents");
    } else if (strcmp(name, "zorvad") == 0 || strcmp(name, "zorva") == 0) {
        if (IsDir(home))
            Strncpy(gDefaultFTPHome, home);
        else
            UsualFTPHome(false);
    } else if (strcmp(name, "ftp") == 0 && strcmp(home, "/var/empty") != 0 && strcmp(home, "/") != 0) {
        Strncpy(gDefaultFTPHome, home);
    } else {
        UsualFTPHome(true);
    }
}

void PwCacheLog(const char *text)
{
    Log(kLogMisc, "%s", text);
}

void PwCacheTrace(const char *text)
{
    if (gTraceLogging)
        Log(kLogMisc, "%s", text);
}

time_t PwCacheNow()
{
    return ShmTime(nullptr);
}

// "-k" takes hexadecimal with or without "0x".
key_t ParseKey(const char *text)
{
    return static_cast<key_t>(strtoul(text, nullptr, 16));
}

// "-n XX[,YY]": XX >= 1 and 1 <= YY <= XX; with XX only, YY = XX.
void ParseUsers(const char *text)
{
    int max = atoi(text), min = max;
    const char *comma = strchr(text, ',');
    if (comma != nullptr)
        min = atoi(comma + 1);
    if (max < 1 || min < 1 || min > max)
        Usage();
    gNumChildren = max;
    gMinChildren = min;
}


// Standard input and output are of no use to a daemon; they are pointed at
// /dev/null rather than left closed, so a stray write to them can never
// land on a socket that reuses the number. Standard error follows unless
// echoing was forced or it is a terminal.
void SetUpStandardDescriptors()
{
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return;
    dup2(fd, 0);
    dup2(fd, 1);
    if (gLogToTTY <= 1 && !gWasATTY2)
        dup2(fd, 2);
    if (fd <= 2)
        fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    else
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    gDevNull = fd;
}

void Daemonise()
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        Exit(1);
    }
    if (pid > 0)
        _exit(0);   // the parent owns nothing yet that must be undone
    setsid();
    gMasterPID = getpid();
    gMasterPPID = getppid();
}

int ProbeEncryptedPasswords()
{
    unsigned checked = 0;
    int timedOut = 0;
    if (CanGetEncryptedPasswords2(20, &checked, &timedOut) == 1)
        return 0;
    if (timedOut)
        Log(kLogMisc, "Gave up trying to determine if encrypted passwords are available (%u users checked).  If they aren't then /etc/passwd users will not be able to login!\n", checked);
    else
        Log(kLogMisc, "Cannot access the encrypted passwords -- /etc/passwd users will not be able to login (but anonymous and virtual users will be able to login)!\n");
    return 0;
}

// "Release: ..." (first line of /etc/release, when there is one) and
// "Uname: ...", logged now and kept for the verbose connection traces.
void LogSystemInfo()
{
    gSysInfo[0] = '\0';
    FILE *fp = fopen("/etc/release", "r");
    if (fp != nullptr) {
        char line[256];
        if (fgets(line, sizeof(line), fp) != nullptr) {
            char *cp = line + strspn(line, " \t");
            size_t n = strlen(cp);
            while (n > 0 && (cp[n - 1] == '\n' || cp[n - 1] == '\r' || cp[n - 1] == ' ' || cp[n - 1] == '\t'))
                cp[--n] = '\0';
            Log(kLogMisc, "Release: %s\n", cp);
            Strncat(gSysInfo, " Release: ");
            Strncat(gSysInfo, cp);
        }
        fclose(fp);
    }
    struct utsname u;
    if (uname(&u) == 0) {
        char text[sizeof(u) + 16];
        snprintf(text, sizeof(text), "%s|%s|%s|%s|%s", u.sysname, u.nodename, u.release, u.version, u.machine);
        Log(kLogMisc, "Uname: %s\n", text);
        Strncat(gSysInfo, " Uname: ");
        Strncat(gSysInfo, text);
    }
}

void TestDNS()
{
    Log(kLogMisc, "Testing DNS lookups...\n");
    static constexpr const char *kNames[] = {"www.debian.org", "www.kernel.org"};
    for (const char *name : kNames) {
        if (gethostbyname(name) != nullptr)
            return;
    }
    Log(kLogMisc, "External host DNS lookups don't seem to work.\n");
}

// Waits up to the given seconds for the children told to stop; those
// that ended are taken off the table.
void AwaitChildren(int seconds)
{
    // A deadline, not a count of naps: each child's end (SIGCHLD) cuts a nap
    // short, and a busy pool would leave the slowest child less time.
    const long long deadline = MonotonicMillis() + seconds * 1000LL;
    while (gChildren != nullptr && MonotonicMillis() < deadline) {
        bool left = false;
        for (int n = 1; n <= gNumChildren; n++) {
            if (gChildren[n] <= 1)
                continue;
            if (waitpid(gChildren[n], nullptr, WNOHANG) == 0)
                left = true;
            else
                gChildren[n] = 0;
        }
        if (!left)
            return;
        usleep(50000);
    }
}

int gChildrenList = -1;     // /proc's list of the master's children

}  // namespace

int OpenChildrenList()
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%d/children", static_cast<int>(gettid()));
    gChildrenList = open(path, O_RDONLY | O_CLOEXEC);
    return gChildrenList >= 0 ? 0 : -1;
}

void CloseChildrenList()
{
    if (gChildrenList >= 0)
        close(gChildrenList);
    gChildrenList = -1;
}

// Kills each child the kernel lists for the master, with its process group,
// unless spare says it is one to keep.  A child that leads its group (a
// front, a session's process) ends with it; so does one whose group's
// leader has gone, reached through its members alone.  One whose leader is
// still there is that leader's: listed too when it is the master's, else a
// live session's, which its pool child ends (nor are the master's group
// and the logger's ever killed).  Each child listed is still the master's,
// alive or unreaped, so neither its number nor its group's can have passed
// to another process.
void KillListedChildren(bool (*spare)(pid_t))
{
    if (gChildrenList < 0 || lseek(gChildrenList, 0, SEEK_SET) < 0)
        return;
    char list[256];
    ssize_t n;
    size_t kept = 0;
    while ((n = read(gChildrenList, list + kept, sizeof(list) - 1 - kept)) > 0) {
        list[kept + static_cast<size_t>(n)] = '\0';
        char *p = list, *end;
        long number;
        while ((number = strtol(p, &end, 10)) > 1 && (*end == ' ' || *end == '\n')) {
            const pid_t child = static_cast<pid_t>(number);
            const pid_t group = getpgid(child);
            if (!spare(child) && group > 1 && (group == child || (kill(group, 0) < 0 && errno == ESRCH))) {
                killpg(group, SIGKILL);
                kill(child, SIGKILL);
            }
            p = end + 1;
        }
        // A number cut at the buffer's end is read again whole.
        kept = strlen(p);
        memmove(list, p, kept);
    }
}

namespace {

// At the stop the master keeps the logger, which ends after it, and the
// programs the logger started in sessions of their own.
bool LoggerOrItsProgram(pid_t pid)
{
    return pid == gLoggerPID || getsid(pid) != getsid(0);
}

// Kills every child still on the table with its process group, reaps it,
// then what it leaves to the master: the groups of the processes it forked.
void KillChildGroups()
{
    for (int n = 1; gChildren != nullptr && n <= gNumChildren; n++) {
        if (gChildren[n] <= 1)
            continue;
        if (killpg(gChildren[n], SIGKILL) < 0)
            kill(gChildren[n], SIGKILL);
        (void) waitpid(gChildren[n], nullptr, 0);
        gChildren[n] = 0;
    }
    KillListedChildren(LoggerOrItsProgram);
}

// Waits up to the given seconds for the logger to end; true when it did.
bool AwaitLogger(int seconds)
{
    for (int tick = 0; tick < seconds * 20; tick++) {
        if (waitpid(gLoggerPID, nullptr, WNOHANG) != 0)
            return true;
        usleep(50000);
    }
    return false;
}

// The libraries only some configurations use are opened now, as root and
// before a chroot, so that the children share them; the others never map
// them.  0, or -1 after saying why.
int LoadConfiguredLibraries()
{
    char why[256];
    if (gUseTCPWrappers && TCPWrappers_Load(why, sizeof(why)) < 0) {
        fprintf(stderr, "tcp-wrappers is set, but %s cannot be loaded: %s.\n", kTcpWrappersLibrary, why);
        return -1;
    }
    if (gUsePam && PamLoad(why, sizeof(why)) < 0) {
        fprintf(stderr, "use-pam is set, but %s cannot be loaded: %s.\n", kPamLibrary, why);
        return -1;
    }
    return 0;
}

}  // namespace

// The PID file must be named; a directory part must be writable; on another
// port than 21 the standard name gets the port number.  Root runs the file
// to stop the server, so its directory must be one only root can change.
void CheckPIDFile()
{
    if (gPIDFile[0] == '\0') {
        fprintf(stderr, "Please specify a valid pathname for `pid-file'.\n");
        Exit(1);
    }
    char *slash = strrchr(gPIDFile, '/');
    if (slash != nullptr && slash != gPIDFile) {
        char dir[kPIDFileSize];
        Strncpy(dir, gPIDFile);
        dir[slash - gPIDFile] = '\0';
        if (access(dir, W_OK) < 0) {
            perror(dir);
            fprintf(stderr, "Please specify a valid pathname for `pid-file'.\n");
            Exit(1);
        }
        if (gServerPort != 21 && strcmp(slash + 1, "zorvad.pid.sh") == 0) {
            char name[64];
            snprintf(name, sizeof(name), "zorvad-%u.pid.sh", static_cast<unsigned>(gServerPort));
            slash[1] = '\0';
            Strncat(gPIDFile, name);
        }
    }
    char bad[PATH_MAX];
    const int fd = OpenPIDFileDirectory(bad, sizeof(bad));
    if (fd >= 0) {
        close(fd);
        return;
    }
    if (errno == EPERM || errno == ELOOP) {
        fprintf(stderr, "%s can be changed by users other than root; the `pid-file' needs a directory only root can write.\n", bad);
    } else {
        perror(bad);
        fprintf(stderr, "Please specify a valid pathname for `pid-file'.\n");
    }
    Exit(1);
}

void DeriveShmKeyBase()
{
    if (gServerPort != 21 && gShmKeyBase == kDefaultShmKeyBase)
        gShmKeyBase = static_cast<key_t>(0x77C0FE9E + 16 * gServerPort);
}

void Init(const char *progname)
{
    gProgName = progname;
    gCoreSubDir[0] = '\0';
    gReloadConfiguration = 0;
    gKillMyselfAtTheEarliestConvenience = 0;
    RaiseCoreLimit();

    gServerStartTime = time(nullptr);
    SetConfigDefaults();   // also empties the user-class table
    InitAuthHandling();

    gWasATTY2 = isatty(2) != 0;
    if (geteuid() == 0 && setuid(0) < 0)
        perror("setuid");

    gChild = 0;
    gMasterPID = getpid();
    srandom(static_cast<unsigned>(gMasterPID));
    gMasterPPID = getppid();
    setpgid(0, 0);
    gRandom32Bits = (static_cast<unsigned>(random()) << 16) ^ static_cast<unsigned>(random());
    struct stat st;
    gRandomButPersistent16Bits = 425 ^ (stat("/etc", &st) == 0 ? static_cast<unsigned>(st.st_ino) : 0);

    InitEventHandling();
    GetOurHostName(gOurHostName, sizeof(gOurHostName));
    InitLogger();
    openlog("Zorvad", LOG_PID, LOG_DAEMON);

    FindAnonymousAccount();
    ChooseDefaultFTPHome();

    gScratch1 = static_cast<char *>(calloc(1, kScratchBufSize));
    gScratch2 = static_cast<char *>(calloc(1, kScratchBufSize));
    gXferBuf = static_cast<char *>(calloc(1, kXferBufSize));
    if (gScratch1 == nullptr || gScratch2 == nullptr || gXferBuf == nullptr) {
        fprintf(stderr, "Memory allocation for the scratch buffers failed.\n");
        Exit(1);
    }
    SpwdSetScratchBuffer(gXferBuf, kXferBufSize);
}

void Usage()
{
    fprintf(stderr, "Usage:  %s [flags] <general.cf> <domain.cf>\n", gProgName);
    fputs("\nOptional Flags (usually set in general config file):\n", stderr);
    fputs("  -p XX      : Use port XX for control connection (and XX - 1 for data).\n", stderr);
    fputs("  -n XX[,YY] : Allow maximum of XX concurrent server users (max-users); keep\n               at least YY processes running to serve users (min-users).\n", stderr);
    fputs("  -v         : Increase logging verbosity.\n", stderr);
    fputs("  -q         : Do not echo log messages to the screen.\n", stderr);
    fputs("  -Q         : Force echo of log messages to the screen, even if not a tty\n               (Default is to echo automatically if it is a terminal).\n", stderr);
    fputs("  -e         : Print the detected hostname and exit.\n", stderr);
    fputs("  -b         : Print the version information and exit.\n", stderr);
    fputs("  -d         : Run as background daemon.\n", stderr);
    Exit(2);
}

int PreScanOptions(int argc, char **argv)
{
    GetoptReset();
    int c;
    while ((c = Getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
        case 'J':
            printf("%s\n", gNotice);
            Exit(0);
        case 'b':
            printf("%.28s for %s\n", gVersion, PlatformText());
            Exit(0);
        case 'e':
            printf("%s\n", gOurHostName);
            Exit(0);
        case '?':
            Usage();
        default:
            break;
        }
    }
    if (argc - gOptInd < 2)
        Usage();
    return gOptInd;
}

void ScanOptions(int argc, char **argv)
{
    GetoptReset();
    int c;
    while ((c = Getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
        case 'p': gServerPort = atoi(gOptArg); break;
        case 'n': ParseUsers(gOptArg); break;
        case 'k': gShmKeyBase = ParseKey(gOptArg); break;
        case 'a': gAnonOnlyServer = 1; break;
        case 'u': gAnonOnlyServer = 0; break;
        case 'd': gDaemon++; break;
        case 'v': gTraceLogging++; break;
        case 'V': gTraceLogging = 0; break;
        case 'q': gLogToTTY = 0; break;
        case 'Q': gLogToTTY = 2; break;
        case 'Y': gHidePasswordsInVerboseLog = 0; break;
        case 'b':
        case 'e':
        case 'J':
            break;
        default:
            Usage();
        }
    }
}

void SwapConfigArgs(char **first, char **second)
{
    char a[256], b[256];
    Strncpy(a, *first);
    Strncpy(b, *second);
    if (basename(a)[0] == 'd' && basename(b)[0] == 'g') {
        char *t = *first;
        *first = *second;
        *second = t;
    }
}

int HashSelfTests()
{
    int failed = 0;
    if (CheckPassword(kSelfTestWord, kSelfTestDES, 0, 0) != 0) {
        Log(kLogMisc, "Note: password crypt function is not traditional DES crypt (or does not work!).\n");
        failed++;
    }
    if (CheckPassword(kSelfTestWord, kSelfTestMD5, 0, 0) != 0) {
        Log(kLogMisc, "Note: password md5_crypt function does not work.\n");
        failed++;
    }
    return failed;
}

void PostReadConfigInit()
{
    DeriveShmKeyBase();
    CheckPIDFile();

    if (gLogMiscPath[0] == '\0') {
        fprintf(stderr, "You must set the `log-misc' variable.\n");
        Exit(1);
    }
    InitConnectHeader();
    if (gMinChildren > gNumChildren) {
        fprintf(stderr, "min-users cannot be greater than max-users.\n");
        Exit(1);
    }
    if (!FrontIdRangeValid()) {
        fprintf(stderr, "front-uid-base plus max-users plus 1 must stay below 2147483647, and the ids between "
                        "must not take in 65534.\n");
        Exit(1);
    }

    if (getuid() != 0) {
        if (gAnonOnlyServer && gServerPort < 1024) {
            fprintf(stderr, "You need to be superuser to bind an FTP server to port %u (or any < 1024).\n", static_cast<unsigned>(gServerPort));
            Exit(1);
        }
        if (!gAnonOnlyServer) {
            fprintf(stderr, "You need to be superuser to run a non-anonymous FTP server.\n");
            Exit(1);
        }
    }

    if (!gAllowPORT && !gAllowPASV) {
        fprintf(stderr, "You must set either allow-port or allow-pasv to yes.\n");
        Exit(1);
    }

    // The certificate and key are read now, as root, and must work before
    // any child is made.
    if (TlsPrepare() < 0)
        Exit(1);

    if (gUseTCPWrappers)
        gDNSLookup = 1;
    if (LoadConfiguredLibraries() < 0)
        Exit(1);
    if (InitAuthAddr() < 0)
        Exit(1);
    if (InitEventAddr() < 0)
        Exit(1);

    // Anonymous users of an anonymous-only server started as root with a
    // single domain set are confined by a real chroot (ServerInit makes it).
    gChrootedAtStart = gAnonOnlyServer && geteuid() == 0 && gNumDomains == 1;
    PostReadDomainConfigInit();
    InitSharedMemory();
    ShmRecordConfigPaths(gGeneralCfPath, gDomainCfPath);
    gInitialized = true;
    if (gSyslog)
        syslog(LOG_INFO, "%.28s for %s starting...", gVersion, PlatformText());

    SetUpStandardDescriptors();
    if (gDaemon)
        Daemonise();

    ConnectLogsToDomains();
    OpenLogger();
    // Made after the logger's fork: code that took the logger over through
    // a record must not reach the quota records or the areas' locks.
    QuotaCreateSharedTable();
    if (CreateAreaLocks() < 0)
        LogPerror("Cannot make the table of the areas' locks; each area's root is locked instead");
    usleep(234567);     // the logger gets ready
    if (gTraceLogging)
        Log(kLogMisc, "Verbose logging mode is set to level %d.\n", gTraceLogging);
    Log(kLogMisc, "%.28s for %s.\n", gVersion, PlatformText());
    WarnOfRemoteAuthService();

    // A file that cannot be loaded is forgotten by the loader itself.
    LoadRefuseConnectionsMsg(gRefuseMessageFile);
    if (CloseUserClasses() < 0)
        Exit(1);
    if (gTraceLogging)
        DumpUserClasses();
    if (!gAnonOnlyServer) {
        LoadEtcFtpusers();
        LoadEtcShells();
    }

    // The session's directory as a new client's reset leaves it, set before
    // any child is forked: the reset then writes nothing of the page that
    // a session's process writes.
    Strncpy(gCwd, "/");
    if (InitSReadlineInfo(&gSrl, -1, nullptr, 1024, gIdleTimeout) < 0) {
        fprintf(stderr, "Memory allocation for line buffer failed.\n");
        Exit(1);
    }

    (void) RunApart(ProbeEncryptedPasswords);
    (void) RunApart(HashSelfTests);     // the system crypt stays out of the master
    if (InitEventSock() < 0)
        Exit(1);
    LogSystemInfo();
    if (gDNSLookup)
        TestDNS();

    gPwCacheEnv.anonNames = &gAnonPwNames;
    gPwCacheEnv.userNames = &gNonAnonPwNames;
    gPwCacheEnv.isAnon = &gIsAnon;
    gPwCacheEnv.now = PwCacheNow;
    gPwCacheEnv.log = PwCacheLog;
    gPwCacheEnv.trace = PwCacheTrace;
    Log(kLogMisc, "Preloading users and groups...\n");
    gPwCacheEnv.apart = true;       // a session's reload lists them itself
    PwLoad();
    gPwCacheEnv.apart = false;
}

void ExitStuff()
{
    if (gExitInProgress)
        _exit(gExitCode);   // a second entry, from a signal during shutdown
    gExitInProgress = 1;
    gSioCanJmp = 0;         // a timed call left by a signal's jump is over

    alarm(5);
    if (geteuid() != 0 && getuid() == 0 && seteuid(0) < 0) {
        // Go on with what this identity may do.
    }
    if (!EnterCoreDirectory() && chdir("/tmp") < 0 && chdir("/") < 0) {
        // Nowhere to go; stay.
    }

    FreeSharedMemory();

    if (gChild == 0) {
        alarm(0);
        RemovePIDFile();
        if (SignalChildren(SIGTERM) > 0)
            AwaitChildren(2);
        // A child still there (or a session's process that set the signal
        // aside) ends now, with everything in its process group.
        KillChildGroups();
        alarm(5);
        // Start-up errors print their one message and nothing more.
        if (gInitialized)
            Log(kLogMisc, "Exiting.\n");
        if (gLoggerPID >= 2) {
            CloseLog();
            if (!AwaitLogger(1)) {
                kill(gLoggerPID, SIGTERM);
                if (!AwaitLogger(1))
                    kill(gLoggerPID, SIGKILL);
            }
        }
    } else if (gPrivChannel < 0) {
        // A child ended in the middle of a session (a signal, a fatal
        // error) closes its PAM session as DoneConnection would.  A
        // session's own process leaves that, its PID-file line and the
        // last word to its pool child, which ends the same way.
        PamEndSession();
        WritePIDFile(1);
        Log(kLogMisc, "Exiting.\n");
    }
}

void Exit(int code)
{
    if (gExitInProgress)
        _exit(code);
    gExitCode = code;
    ExitStuff();
    umask(077);
    alarm(5);
    exit(code);
}

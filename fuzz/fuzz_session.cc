// A whole control session fed from the input: the bytes are the client's side
// of a socket pair, the session runs in this process (Shell(), the greeting,
// the command cycle and the command table) against a scratch tree until the
// input ends.  Logins work: "anonymous" (the anonymous area is the scratch
// home) and the virtual user "alice" with the password "secret"; the session
// really switches its effective IDs to them, and the harness becomes root
// again after each run.
//
// What the fuzz build changes (this file only):
// - DoneConnection() and Exit() return here (fuzzenv.h) instead of ending
//   the process; the harness then undoes what the real one would (identity,
//   the message file, the current directory, the umask).
// - OpenData() is replaced: every data connection fails with the real 550
//   reply, so the fuzzer never connects to or waits for another socket.
// - sleep() and nanosleep() return at once on the session's thread: the
//   refusal and login pauses would only slow the runs.
// - Log records are dropped (no logger process).
// - seteuid(), setegid() and setgroups() change the calling thread only (the
//   system calls themselves): the daemon is single-threaded, and the C
//   library's way of changing every thread of the fuzzer costs more than the
//   rest of a short session.
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <crypt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Hpwd.h"
#include "Strn.h"
#include "base/process.h"
#include "config/config.h"
#include "config/domain.h"
#include "fuzzenv.h"
#include "listing/pwcache.h"
#include "log/log.h"
#include "session/messages.h"
#include "session/shell.h"
#include "status/shm.h"
#include "transfer/data.h"

// True on the thread running a session: only its pauses are skipped
// (libFuzzer's own threads sleep through the same calls).
thread_local bool tInSession;

extern "C" int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (tInSession)
        return 0;
    return static_cast<int>(syscall(SYS_nanosleep, req, rem));
}

extern "C" unsigned sleep(unsigned seconds)
{
    if (tInSession)
        return 0;
    struct timespec ts = {static_cast<time_t>(seconds), 0};
    while (syscall(SYS_nanosleep, &ts, &ts) < 0 && errno == EINTR) {
    }
    return 0;
}

extern "C" int seteuid(uid_t uid)
{
    return static_cast<int>(syscall(SYS_setresuid, -1, uid, -1));
}

extern "C" int setegid(gid_t gid)
{
    return static_cast<int>(syscall(SYS_setresgid, -1, gid, -1));
}

extern "C" int setgroups(size_t n, const gid_t *list)
{
    return static_cast<int>(syscall(SYS_setgroups, n, list));
}

extern "C" int __wrap__Z8OpenDataPKcl(const char *, int64_t)
{
    Reply("550 Cannot create data connection.\r\n");
    return -1;
}

namespace {

constexpr uid_t kNobody = 65534;
gid_t gRootGroups[64];
int gNumRootGroups;
int gFuzzerCwd = -1;    // libFuzzer's directory: its relative paths must keep working
ShmSlot gSlot;

// Log records are dropped, or shown on standard error with the replies.
void DropRecord(const LogRecordHeader *, const char *text)
{
    static const bool show = getenv("ZORVAD_FUZZ_SHOW_REPLIES") != nullptr;
    if (show)
        fputs(text, stderr);
}
unsigned NoPause(unsigned) { return 0; }
time_t Now() { return time(nullptr); }
void Quiet(const char *) {}

void WriteText(const std::string &path, const std::string &text)
{
    if (FuzzWriteFile(path.c_str(), reinterpret_cast<const uint8_t *>(text.data()), text.size()) < 0)
        abort();
}

// The virtual user's database: alice, password "secret", nobody's IDs.
void MakePasswordDatabase(const std::string &db, const std::string &home)
{
    OrmelHandle h {};
    if (OpenHpwd(&h, db.c_str(), "w") != 0)
        abort();
    const char *hash = crypt("secret", "$1$fuzzsalt$");
    const std::string line = "alice:" + std::string(hash) + ":65534:65534:Alice:" + home + ":/bin/sh";
    if (Ormel_Insert(&h, "alice", 5, line.c_str(), static_cast<int>(line.size() + 1), 1) != 0)
        abort();
    (void) CloseHpwd(&h);
    chmod(db.c_str(), 0600);    // the server refuses a database others may read
}

void SetUpServer()
{
    const std::string dir = FuzzScratchDir();
    const std::string &home = FuzzScratchTree();
    chmod(dir.c_str(), 0755);    // the session's users must reach their tree
    gLogSink = DropRecord;
    gDataSleep = NoPause;
    gChild = 1;
    gRunningAsRoot = geteuid() == 0;    // so that logins switch the effective IDs
    gScratch1 = static_cast<char *>(calloc(1, kScratchBufSize));
    gScratch2 = static_cast<char *>(calloc(1, kScratchBufSize));
    gXferBuf = static_cast<char *>(calloc(1, kXferBufSize));
    gNumRootGroups = getgroups(64, gRootGroups);
    gFuzzerCwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);

    MakePasswordDatabase(dir + "/passwd.db", home);
    WriteText(dir + "/general.cf",
              "noop-delay 0\n"
              "idle-timeout 5\n"
              "login-timeout 5\n"
              "cd-message .message\n"
              "allowed-site-commands chmod umask utime quota rbuf\n"
              "a-password-mode any\n"
              "u-valid-user-shell-file /etc/shells\n");
    WriteText(dir + "/domain.cf",
              "set-name = fuzz\n"
              "server-address = 127.0.0.1\n"
              "server-type = all-users\n"
              "ftp-home = " + home + "\n"
              "passwd = " + dir + "/passwd.db\n");
    SetConfigDefaults();
    if (FuzzCatchExit([&] { ReadConfigFile((dir + "/general.cf").c_str()); }) != 0)
        abort();
    InitDomains();
    if (FuzzCatchExit([&] {
            (void) ReadDomainConfigFile((dir + "/domain.cf").c_str());
            PostReadDomainConfigInit();
        }) != 0)
        abort();
    gCurDomain = GetFirstDomain();

    InitSpwdStruct(&gFTPUser);
    Strncpy(gFTPUser.username, "ftp");
    gFTPUser.uid = kNobody;
    gFTPUser.gid[0] = kNobody;
    gFTPUser.nGids = 1;
    Strncpy(gFTPUser.homedir, home.c_str());
    Strncpy(gDefaultFTPHome, home.c_str());

    gShmSlot = gRUserPtr = &gSlot;
    gRemoteCtrlAddr.in.sin_family = gLocalCtrlAddr.in.sin_family = AF_INET;
    gRemoteCtrlAddr.in.sin_addr.s_addr = gLocalCtrlAddr.in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    gRemoteCtrlAddr.in.sin_port = htons(40000);
    gLocalCtrlAddr.in.sin_port = htons(21);
    Strncpy(gSlot.host, "localhost");
    Strncpy(gSlot.addr, "127.0.0.1");
    gPwCacheEnv.now = Now;
    gPwCacheEnv.log = Quiet;
    gPwCacheEnv.trace = Quiet;
    if (InitSReadlineInfo(&gSrl, -1, nullptr, 1024, 5) < 0)
        abort();
}

// Shows the replies the session left in the socket on standard output when
// ZORVAD_FUZZ_SHOW_REPLIES is set (to see what an input does:
// ZORVAD_FUZZ_SHOW_REPLIES=1 fuzz_session FILE).
void ShowReplies(int fd)
{
    static const bool show = getenv("ZORVAD_FUZZ_SHOW_REPLIES") != nullptr;
    char buf[8192];
    ssize_t n;
    while (show && (n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
        if (write(1, buf, static_cast<size_t>(n)) < 0)
            break;
    }
}

// What the real DoneConnection would have undone before the next session.
void BecomeRootAgain()
{
    if (seteuid(0) < 0 || setegid(0) < 0 || setgroups(gNumRootGroups, gRootGroups) < 0)
        abort();
    CloseReplyFile();
    umask(022);
    if (fchdir(gFuzzerCwd) < 0)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    SetUpServer();
    return 0;
}

// The replies stay queued in the socket until the run ends instead of being
// read by a second thread: a reply stream of a session fed with at most a
// few kilobytes stays far below the buffer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        abort();
    const int big = 1 << 30;
    (void) setsockopt(sv[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof(big));
    (void) setsockopt(sv[1], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof(big));
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(sv[0], data + done, size - done);
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
    shutdown(sv[0], SHUT_WR);

    gCtrl = sv[1];
    tInSession = true;
    (void) FuzzCatchExit([] { Shell(); });
    tInSession = false;
    BecomeRootAgain();
    close(sv[1]);
    gCtrl = -1;
    ShowReplies(sv[0]);
    close(sv[0]);
    return 0;
}

// The prologue and error replies the file-management commands share.
#include "session/filecmds.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "base/privchan.h"
#include "base/process.h"
#include "config/userclass.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "quota/quota.h"
#include "session/login.h"
#include "session/shell.h"

bool PathPrologue(const char *arg, int perm, const char *reason, char *real, size_t size)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return false;
    }
    if (arg[0] == '\0') {
        BadArgs();
        return false;
    }
    if (perm >= 0 && !gAllow[perm]) {
        PermissionDenied(reason);
        return false;
    }
    if (CheckPathName(real, size, gCwd, arg) < 0 || real[0] == '\0') {
        PermissionDeniedBadPathname();
        return false;
    }
    return true;
}

bool HoldsRefusedTree(const char *real)
{
    RefusedTree trees[kMaxRefusedTrees];
    return RefusedTreesBelow(real, trees, kMaxRefusedTrees) != 0;
}

int UnresolvedPath(char *dst, size_t size, const char *arg)
{
    char joined[kPathBufSize];
    if (PathCat(joined, sizeof(joined), gCwd, arg) < 0)
        return -1;
    char *slash = strrchr(joined, '/');
    if (slash == nullptr || slash[1] == '\0') {   // "/" itself: no link to remove
        errno = EINVAL;
        return -1;
    }
    char last[kPathBufSize];
    Strncpy(last, slash + 1);
    if (slash == joined)
        slash[1] = '\0';
    else
        *slash = '\0';
    char parent[kPathBufSize];
    if (CheckRealPathName(parent, sizeof(parent), joined) < 0 || parent[0] == '\0') {
        errno = EACCES;
        return -1;
    }
    const size_t plen = strlen(parent);
    const int n = snprintf(dst, size, "%s%s%s", parent, parent[plen - 1] == '/' ? "" : "/", last);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

void ReplyFilesQuotaReached()
{
    char q[kNumQuotaStrings][kQuotaStringSize];
    GetQuotaStrings(q);
    Reply("450 Disk quota exceeded (%.32s files;  limit: %.32s).\r\n", q[kQuotaFilesUsed], q[kQuotaFilesHardLimit]);
}

void ReplySysError(int err, const char *notFound, const char *failFmt)
{
    if (err == EACCES || err == EPERM)
        PermissionDenied(nullptr);
    else if (err == ENOENT)
        Reply("%s", notFound);
    else
        Reply(failFmt, strerror(err));
}

const char *AreaRoot()
{
    if (gVChroot)
        return gFTPHome;
    if (gVChrootThisUser || gRestrictedUser)
        return gHomeDir;
    return "/";
}

namespace {

// The areas' locks are byte-range locks in a table no one outside the
// server can reach: a memory file the master makes before the first fork
// and any chroot.  Each child gets an open description of its own (the
// master opens the file again through /proc for it), so the children's
// locks exclude each other; a local user cannot take one, as it could lock
// the area's root directory itself.
int gAreaLockTable = -1;        // the master's table; in a child, its own description
int gProcFdDir = -1;            // master: /proc/self/fd
off_t gHeldOffset = -1;         // the byte this process holds, or -1
int gAreaLockFd = -1;           // without a table: the area's root, flock()ed
constexpr int kAreaLockTries = 1000;        // 10 ms apart: ten seconds
constexpr useconds_t kAreaLockPause = 10000;
constexpr off_t kAreaLockBytes = 1 << 20;

// The byte of the table that stands for the area at root.
off_t AreaByte(const char *root)
{
    struct stat st {};
    if (stat(root, &st) < 0)
        return 0;               // all such areas share one lock
    uint64_t h = static_cast<uint64_t>(st.st_ino) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(st.st_dev);
    h ^= h >> 31;
    return static_cast<off_t>(h % kAreaLockBytes);
}

bool LockByte(off_t at, short type)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    return fcntl(gAreaLockTable, F_OFD_SETLK, &fl) == 0;
}

bool gPoolHoldsAreaLocks;       // a front or session's process: the table is its pool child's
bool gAskedAreaLock;            // a session's process: its pool child holds the lock for it

// The pool child's try for its session's process.
bool AskAreaLock(bool *fatal)
{
    PrivRequest req {};
    req.op = kPrivAreaLock;
    req.uid = 1;
    if (PrivCall(req, -1) == 0) {
        gAskedAreaLock = true;
        return true;
    }
    *fatal = errno != EAGAIN && errno != EACCES && errno != EINTR;
    return false;
}

// One try at the lock: true when held, false when another holds it; *fatal
// when trying again cannot help.
bool TryAreaLock(const char *root, bool *fatal)
{
    if (gPoolHoldsAreaLocks)
        return AskAreaLock(fatal);
    if (gAreaLockTable >= 0) {
        const off_t at = AreaByte(root);
        if (LockByte(at, F_WRLCK)) {
            gHeldOffset = at;
            return true;
        }
        *fatal = errno != EAGAIN && errno != EACCES && errno != EINTR;
        return false;
    }
    if (gAreaLockFd < 0)
        gAreaLockFd = SafeOpen(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gAreaLockFd < 0)
        return true;            // not even readable: nothing to lock, as before
    if (flock(gAreaLockFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    *fatal = errno != EWOULDBLOCK && errno != EINTR;
    return false;
}

}  // namespace

int CreateAreaLocks()
{
    gAreaLockTable = memfd_create("zorvad-area-locks", MFD_CLOEXEC);
    gProcFdDir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gAreaLockTable >= 0 && gProcFdDir >= 0)
        return 0;
    if (gAreaLockTable >= 0)
        close(gAreaLockTable);
    gAreaLockTable = -1;
    return -1;
}

int OpenAreaLocksForChild()
{
    if (gAreaLockTable < 0 || gProcFdDir < 0)
        return -1;
    char name[16];
    snprintf(name, sizeof(name), "%d", gAreaLockTable);
    return openat(gProcFdDir, name, O_RDWR | O_CLOEXEC);
}

void AdoptAreaLocks(int own)
{
    if (gAreaLockTable >= 0)
        close(gAreaLockTable);
    if (gProcFdDir >= 0)
        close(gProcFdDir);
    gProcFdDir = -1;
    gAreaLockTable = own;
}

AreaLock::AreaLock()
{
    const char *root = AreaRoot();
    if (strcmp(root, "/") == 0)
        return;
    ReleaseAreaLock();
    for (int i = 0; i < kAreaLockTries; i++) {
        bool fatal = false;
        if (TryAreaLock(root, &fatal))
            return;
        if (fatal)
            break;
        usleep(kAreaLockPause);
    }
    ReleaseAreaLock();
    held_ = false;
}

AreaLock::~AreaLock()
{
    ReleaseAreaLock();
}

void ReleaseAreaLock()
{
    if (gAskedAreaLock) {
        gAskedAreaLock = false;
        PrivRequest req {};
        req.op = kPrivAreaLock;
        (void) PrivCall(req, -1);
    }
    if (gHeldOffset >= 0)
        (void) LockByte(gHeldOffset, F_UNLCK);
    gHeldOffset = -1;
    if (gAreaLockFd >= 0)
        close(gAreaLockFd);
    gAreaLockFd = -1;
}

namespace {

// The area's root as the pool child knows it from the login alone (the
// session's process finds its own by entering it, through links the user
// may have made): the anonymous root, a class's own root, or else the home
// of the password record, whole also where the user starts in a directory
// of it.  Every session of an area, in any pool child, names the same.
const char *PoolAreaRoot()
{
    if (gChroot)
        return "/";
    if (gVChroot)
        return gFTPHome;
    if (!gVChrootThisUser && !gRestrictedUser)
        return "/";
    if (gRestrictedUser && gHomeDirSubDir[0] == '/' && gSessionUserClass >= 0 &&
        gUserClasses[gSessionUserClass].dirSet)
        return gHomeDirSubDir;
    return gPass.homedir[0] != '\0' ? gPass.homedir : "/";
}

}  // namespace

int AnswerAreaLock(bool take)
{
    ReleaseAreaLock();
    if (!take)
        return 0;
    const char *root = PoolAreaRoot();
    if (strcmp(root, "/") == 0)
        return 0;
    if (gAreaLockTable < 0) {
        errno = EPERM;          // no table: the session's process locks the root itself
        return -1;
    }
    const off_t at = AreaByte(root);
    if (!LockByte(at, F_WRLCK))
        return -1;
    gHeldOffset = at;
    return 0;
}

void ForgetAreaLocks()
{
    gPoolHoldsAreaLocks = gAreaLockTable >= 0;
    AdoptAreaLocks(-1);
}

// The prologue and error replies the file-management commands share.
#include "session/filecmds.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/userclass.h"
#include "paths/paths.h"
#include "paths/safefs.h"
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

int gAreaLockFd = -1;
constexpr int kAreaLockTries = 1000;        // 10 ms apart: ten seconds
constexpr useconds_t kAreaLockPause = 10000;

}  // namespace

AreaLock::AreaLock()
{
    const char *root = AreaRoot();
    if (strcmp(root, "/") == 0)
        return;
    ReleaseAreaLock();
    // Without read access to its own root the session could not list it
    // either; nothing is locked then, as before.
    gAreaLockFd = SafeOpen(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gAreaLockFd < 0)
        return;
    for (int i = 0; i < kAreaLockTries; i++) {
        if (flock(gAreaLockFd, LOCK_EX | LOCK_NB) == 0)
            return;
        if (errno != EWOULDBLOCK && errno != EINTR)
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
    if (gAreaLockFd >= 0)
        close(gAreaLockFd);
    gAreaLockFd = -1;
}

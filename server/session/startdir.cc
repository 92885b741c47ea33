// The start directory of a login: the anonymous root, the user's home (or
// the restricted subdirectory or root of the user's class), then the
// configured start path.  Every failure replies and ends the session.
//
// Which calls may follow links: the anonymous root is a real path (resolved
// at start-up) and the start path has been checked, so both are entered
// through the link-safe door.  Homes and class roots are the
// administrator's and may be reached through links: the directory actually
// reached becomes the home, and the checks that follow confine the session
// to it.  A home subdirectory lies in the user's own tree, so the user may
// have made it a link: it is entered first and then must lie inside the
// home, a test of where the session is, not of a name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "log/log.h"
#include "session/login.h"
#include "base/exit.h"
#include "base/process.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "session/shell.h"
#include "status/shm.h"
#include "paths/uniquefd.h"
#include "config/userclass.h"

namespace {

[[noreturn]] void StartDirFailed()
{
    DoneConnection(kEndStartDir);
}

// Into the real chroot's "/", the anonymous root, or a class's own root;
// realPath: the directory is a real path, entered with links forbidden.
void EnterRoot(const char *dir, bool realPath)
{
    if ((realPath ? SafeChdir(dir) : chdir(dir)) < 0) {
        const int err = errno;
        LogPerror("Can't set startup dir to %.300s", dir);
        Reply("451 Login failed, can't set startup dir to %.300s: %s.\r\n", dir, strerror(err));
        StartDirFailed();
    }
    Strncpy(gCwd, dir);
}

void SetHomeDir(const char *dir)
{
    Strncpy(gHomeDir, dir);
    gHomeDirLen = static_cast<int>(strlen(gHomeDir));
    Strncpy(gCwd, gHomeDir);
}

// The restricted user's directory from u-restrict-mode, when the class has one.
const char *RestrictedStartDir()
{
    if (!gRestrictedUser || gHomeDirSubDir[0] == '\0' || gSessionUserClass < 0
        || !gUserClasses[gSessionUserClass].dirSet)
        return nullptr;
    return gHomeDirSubDir;
}

// chdir to a home that may not be a symbolic link itself (the directories
// above it may be): the name is opened without following a link in the last
// place, and the directory that was looked at is the one entered.
int ChdirNoLinkLast(const char *dir, bool *isLink)
{
    UniqueFd fd(open(dir, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) < 0)
        return -1;
    *isLink = S_ISLNK(st.st_mode);
    return *isLink ? -1 : fchdir(fd.get());
}

void EnterHome(const char *subDir)
{
    bool isLink = false;
    const int rc = gVirtualUser && !gUVuserHomedirCanBeSymlink ? ChdirNoLinkLast(gPass.homedir, &isLink)
                                                               : chdir(gPass.homedir);
    if (isLink) {
        Reply("451 Login failed, your home directory must not be a symbolic link.\r\n");
        StartDirFailed();
    }
    if (rc < 0) {
        Reply("451 Login failed, can't set startup dir to your home directory: %s.\r\n", strerror(errno));
        StartDirFailed();
    }
    char home[kSessionPathSize];
    Strncpy(home, GetCWD(nullptr));
    SetHomeDir(home);
    if (subDir == nullptr)
        return;

    // The user may have put a link here: what counts is where it led.
    if (chdir(subDir) < 0) {
        Reply("451 Login failed, can't set startup dir to %.300s/%s: %s.\r\n", home, subDir, strerror(errno));
        StartDirFailed();
    }
    const char *dir = GetCWD(nullptr);
    const size_t len = strlen(home);
    const bool inside = strcmp(home, "/") == 0
                        || (strncmp(dir, home, len) == 0 && (dir[len] == '\0' || dir[len] == '/'));
    if (!inside) {
        Log(kLogMisc, "Will not set startup dir for user %s to %s, which is outside their ~.\n", gPass.username, dir);
        Reply("451 Login failed, your startup dir is illegal.\r\n");
        StartDirFailed();
    }
    SetHomeDir(dir);
}

// u-start-path, with "@USERNAME@" standing for the user name.
void EnterStartPath()
{
    if (gUStartPath[0] == '\0')
        return;
    char path[kPathBufSize] = "";
    const char *p = gUStartPath;
    for (const char *at = strstr(p, "@USERNAME@"); at != nullptr; at = strstr(p, "@USERNAME@")) {
        const size_t before = static_cast<size_t>(at - p);
        const size_t used = strlen(path);
        if (used + before < sizeof(path)) {
            memcpy(path + used, p, before);
            path[used + before] = '\0';
        }
        Strncat(path, gPass.username);
        p = at + 10;
    }
    Strncat(path, p);

    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), gCwd, path) == 0 && SafeChdir(real) == 0)
        Strncpy(gCwd, real);
}

}  // namespace

void StartDir()
{
    if (gChroot) {
        EnterRoot("/", true);
    } else if (gIsAnon && gVChroot) {
        EnterRoot(gFTPHome, true);
    } else {
        const char *subDir = RestrictedStartDir();
        if (subDir != nullptr && subDir[0] == '/') {
            EnterRoot(subDir, false);
            SetHomeDir(GetCWD(nullptr));
        } else {
            EnterHome(subDir);
        }
        EnterStartPath();
    }
    Strncpy(gRUserPtr->cwd, gCwd);
}

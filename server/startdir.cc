// The start directory of a login: the anonymous root, the user's home (or
// the restricted subdirectory or root of the user's class), then the
// configured start path.  Every failure replies and ends the session.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Strn.h"
#include "config.h"
#include "domain.h"
#include "log.h"
#include "login.h"
#include "master.h"
#include "paths.h"
#include "shell.h"
#include "shm.h"
#include "userclass.h"

namespace {

[[noreturn]] void StartDirFailed()
{
    DoneConnection(kEndStartDir);
}

void EnterRoot(const char *dir)
{
    if (chdir(dir) < 0) {
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

void EnterHome(const char *subDir)
{
    if (gVirtualUser && !gUVuserHomedirCanBeSymlink) {
        struct stat st;
        if (lstat(gPass.homedir, &st) == 0 && S_ISLNK(st.st_mode)) {
            Reply("451 Login failed, your home directory must not be a symbolic link.\r\n");
            StartDirFailed();
        }
    }
    if (chdir(gPass.homedir) < 0) {
        Reply("451 Login failed, can't set startup dir to your home directory: %s.\r\n", strerror(errno));
        StartDirFailed();
    }
    char home[kSessionPathSize];
    Strncpy(home, GetCWD(nullptr));
    SetHomeDir(home);
    if (subDir == nullptr)
        return;

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
    if (CheckPathName(real, sizeof(real), gCwd, path) == 0 && chdir(real) == 0)
        Strncpy(gCwd, real);
}

}  // namespace

void StartDir()
{
    if (gChroot) {
        EnterRoot("/");
    } else if (gIsAnon && gVChroot) {
        EnterRoot(gFTPHome);
    } else {
        const char *subDir = RestrictedStartDir();
        if (subDir != nullptr && subDir[0] == '/') {
            EnterRoot(subDir);
            SetHomeDir(GetCWD(nullptr));
        } else {
            EnterHome(subDir);
        }
        EnterStartPath();
    }
    Strncpy(gRUserPtr->cwd, gCwd);
}

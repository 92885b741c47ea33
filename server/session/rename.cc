// RNFR and RNTO: renaming, with the switches an overwrite needs.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/userclass.h"
#include "listing/dircache.h"
#include "paths/safefs.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "status/shm.h"
#include "transfer/xferlog.h"

void Rnfr(char *arg)
{
    gRnfr[0] = '\0';   // a refused RNFR leaves no older source pending
    char real[kPathBufSize];
    if (!PathPrologue(arg, kPermRename, "no rename permission", real, sizeof(real)))
        return;
    if (strlen(real) >= sizeof(gRnfr) || HoldsRefusedTree(real)) {
        gRnfr[0] = '\0';
        PermissionDeniedBadPathname();
        return;
    }
    Strncpy(gRnfr, real);
    struct stat st;
    if (SafeLstat(gRnfr, &st) < 0) {
        const int err = errno;
        gRnfr[0] = '\0';
        if (err == ENOENT)
            Reply("550 No such file or directory.\r\n");
        else if (err == EACCES || err == EPERM)
            PermissionDenied(nullptr);
        else
            Reply("550 Cannot rename: %.420s.\r\n", strerror(err));
        return;
    }
    char shown[kSessionPathSize];
    VirtualPath(shown, sizeof(shown), gRnfr);
    Reply("350 You may attempt to rename %.420s.\r\n", shown);
}

void Rnto(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    if (gRnfr[0] == '\0') {
        Reply("503 Bad sequence of commands.\r\n");
        return;
    }
    // One RNTO per RNFR, whatever its outcome.
    char from[sizeof(gRnfr)];
    Strncpy(from, gRnfr);
    gRnfr[0] = '\0';
    char real[kPathBufSize];
    if (!PathPrologue(arg, kPermRename, "no rename permission", real, sizeof(real)))
        return;

    // An existing directory replaced here would take its refused entries along.
    if (HoldsRefusedTree(real)) {
        PermissionDeniedBadPathname();
        return;
    }
    ComputeQuota();   // before the change, so the walk does not miss it as well
    // What the name held before is replaced: its bytes go, unless it is the
    // very entry that moves (a rename onto itself or onto another link of it).
    struct stat st, moving;
    const bool existed = SafeLstat(real, &st) == 0;
    const bool replaces = existed && !(SafeLstat(from, &moving) == 0 && moving.st_ino == st.st_ino
                                       && moving.st_dev == st.st_dev);
    if ((!gAllow[kPermDelete] || !gAllow[kPermRmdir]) && existed) {
        if (S_ISDIR(st.st_mode) && !gAllow[kPermRmdir]) {
            PermissionDenied("no rmdir permission for existing destination dir");
            return;
        }
        if (!S_ISDIR(st.st_mode) && !gAllow[kPermDelete]) {
            PermissionDenied("no delete permission for existing destination file");
            return;
        }
    }
    if (SafeRename(from, real) < 0) {
        ReplySysError(errno, "550 No such file or directory.\r\n", "550 Rename failed: %.420s\r\n");
        return;
    }
    if (replaces)
        QuotaEntryRemoved(st);
    snprintf(gRUserPtr->command, sizeof(gRUserPtr->command), "Rnfr %.250s", from);
    LogItem(from, "OK", "to", real, 'N', "RENAME");
    PurgeDirCacheEntryContainingFile(from);
    PurgeDirCacheEntryContainingFile(real);
    PurgeDirCacheEntryByPath(from);
    Reply("250 Renamed.\r\n");
}

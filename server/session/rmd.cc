// RMD (XRMD): removing a directory, a link to one, or with recursive
// removal a whole tree.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/userclass.h"
#include "listing/dircache.h"
#include "paths/safefs.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "transfer/xferlog.h"

namespace {

struct DirCloser {
    DIR *dir;
    ~DirCloser()
    {
        if (dir != nullptr)
            closedir(dir);
    }
};

struct FreeGuard {
    char *p;
    ~FreeGuard() { free(p); }
};

// The removal of a directory that worked: its record, quota and listing.
void DirectoryRemoved(const char *real, const struct stat &st)
{
    LogDelete(real);
    QuotaEntryRemoved(st);
    PurgeDirCacheEntryByPath(real);
    PurgeDirCacheEntryContainingFile(real);
}

// A failure to examine or unlink the name as given.
void RemovalFailed(int err)
{
    if (err == EACCES)
        PermissionDenied(nullptr);
    else
        Reply("550 Directory removal failed: %.420s\r\n", strerror(err));
}

}  // namespace

int RRmd(const char *path, size_t len)
{
    DirCloser d {SafeOpendir(path)};
    if (d.dir == nullptr)
        return -1;
    size_t cap = len + 64;
    FreeGuard child {static_cast<char *>(malloc(cap))};
    if (child.p == nullptr)
        return -1;
    memcpy(child.p, path, len);
    child.p[len] = '/';

    for (const struct dirent *e; (e = readdir(d.dir)) != nullptr;) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        const size_t nameLen = strlen(e->d_name);
        const size_t childLen = len + 1 + nameLen;
        if (childLen + 1 > cap) {
            cap = childLen + 64;
            char *grown = static_cast<char *>(realloc(child.p, cap));
            if (grown == nullptr)
                return -1;
            child.p = grown;
        }
        memcpy(child.p + len + 1, e->d_name, nameLen + 1);

        struct stat st;
        if (SafeLstat(child.p, &st) < 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            RRmd(child.p, childLen);
            if (SafeRmdir(child.p) == 0) {
                LogDelete(child.p);
                QuotaEntryRemoved(st);
            }
        } else if (SafeUnlink(child.p) == 0) {
            LogDelete(child.p);
            QuotaEntryRemoved(st);
        }
    }
    PurgeDirCacheEntryByPath(path);
    return 0;
}

void Rmd(char *arg, int recursive)
{
    char real[kPathBufSize];
    if (!PathPrologue(arg, kPermRmdir, "no rmdir permission", real, sizeof(real)))
        return;

    ComputeQuota();   // before the change, so the walk does not miss it as well
    char named[kPathBufSize];
    struct stat st;
    if (UnresolvedPath(named, sizeof(named), arg) < 0 || SafeLstat(named, &st) < 0) {
        RemovalFailed(errno);
        return;
    }
    // A link to a directory goes, the directory stays.
    if (S_ISLNK(st.st_mode)) {
        if (SafeUnlink(named) < 0) {
            RemovalFailed(errno);
            return;
        }
        LogDelete(named);
        QuotaEntryRemoved(st);
        PurgeDirCacheEntryContainingFile(named);
        Reply("250 Symbolic link to directory removed.\r\n");
        return;
    }

    if (SafeRmdir(real) == 0) {
        DirectoryRemoved(real, st);
        Reply("250 Directory removed.\r\n");
        return;
    }
    switch (errno) {
    case EBUSY:
        Reply("450 Directory in use.\r\n");
        return;
    case ENOENT:
        Reply("550 No such directory.\r\n");
        return;
    case ENOTEMPTY:
    case EEXIST:
        break;
    default:
        ReplySysError(errno, "550 No such directory.\r\n", "550 Directory removal failed: %.420s\r\n");
        return;
    }
    if (!recursive) {
        Reply("550 Directory is not empty.\r\n");
        return;
    }
    if (!gAllow[kPermDelete]) {
        Reply("550 Directory is not empty, and you do not have permission to delete files.\r\n");
        return;
    }
    // Entries the session may not remove by name are not removed this way either.
    if (HoldsRefusedTree(real)) {
        PermissionDeniedBadPathname();
        return;
    }
    if (RRmd(real, strlen(real)) < 0 || SafeRmdir(real) < 0) {
        Reply("550 Could not remove entire contents of directory.\r\n");
        return;
    }
    DirectoryRemoved(real, st);
    Reply("250 Directory removed.\r\n");
}

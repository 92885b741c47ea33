// SITE SYMLINK: making a symbolic link.  The link is made at its parent,
// resolved and checked, under its own name as given, so that a link already
// standing there is replaced rather than followed.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/userclass.h"
#include "listing/dircache.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "session/site.h"
#include "transfer/xferlog.h"

namespace {

// The directory of a real path ("/" for a name at the root).
void DirectoryOf(char *dst, size_t size, const char *path)
{
    Strncpy(dst, path, size);
    char *slash = strrchr(dst, '/');
    if (slash == dst)
        slash[1] = '\0';
    else if (slash != nullptr)
        *slash = '\0';
}

// The text a link in the real directory dir needs to reach the real path
// target: relative, so that it names the same file to whoever follows it,
// a service that sees the host's tree as much as this session.  0, or -1
// when it does not fit.
int RelativeTarget(char *dst, size_t size, const char *dir, const char *target)
{
    const char *a = dir + 1;
    const char *b = target + 1;
    while (*a != '\0' && *b != '\0') {
        const size_t la = strcspn(a, "/");
        if (la != strcspn(b, "/") || memcmp(a, b, la) != 0)
            break;
        a += la + (a[la] == '/' ? 1 : 0);
        b += la + (b[la] == '/' ? 1 : 0);
    }
    size_t n = 0;
    dst[0] = '\0';
    for (; *a != '\0'; a += strcspn(a, "/"), a += *a == '/' ? 1 : 0) {
        if (n + 3 >= size)
            return -1;
        memcpy(dst + n, "../", 4);
        n += 3;
    }
    if (*b == '\0') {
        if (n == 0)
            Strncpy(dst, ".", size);
        else
            dst[n - 1] = '\0';   // "../.." names a directory above
        return 0;
    }
    if (n + strlen(b) >= size)
        return -1;
    Strncpy(dst + n, b, size - n);
    return 0;
}

// The link at place holding source; a link already there is replaced.
// 0, or -1 with errno; *replaced tells whether one was.
int MakeLink(const char *source, const char *place, bool *replaced)
{
    *replaced = false;
    if (SafeSymlink(source, place) == 0)
        return 0;
    if (errno != EEXIST)
        return -1;
    struct stat st;
    if (SafeLstat(place, &st) < 0 || !S_ISLNK(st.st_mode)) {
        errno = EEXIST;   // a file or directory stands there
        return -1;
    }
    if (SafeUnlink(place) < 0)
        return -1;
    *replaced = true;
    return SafeSymlink(source, place);
}

}  // namespace

void DoSymlink(const char *source, const char *link)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    QuotaRefreshIfShared();   // other sessions of the user may have added files
    if (gUserFilesUsageHardLimit >= 1 && IsUserOverFilesQuota()) {
        ReplyFilesQuotaReached();
        return;
    }
    // A link named as the directory message would show whatever it points
    // to as a message.
    if (gCdMessage[0] != '\0' && strstr(link, gCdMessage) != nullptr) {
        PermissionDeniedBadPathname();
        return;
    }
    if (!gAllow[kPermLink]) {
        PermissionDenied("no symlink permission");
        return;
    }
    char checked[kPathBufSize];
    char place[kPathBufSize];
    if (CheckPathName(checked, sizeof(checked), gCwd, link) < 0 || checked[0] == '\0' ||
        UnresolvedPath(place, sizeof(place), link) < 0) {
        PermissionDeniedBadPathname();
        return;
    }
    // The source is checked as the link will be read: from its directory.
    char dir[kPathBufSize];
    DirectoryOf(dir, sizeof(dir), place);
    // What goes on disk is the checked place, never the text as typed: "/x"
    // means the area's /x to the session but the host's /x to anyone else.
    char target[kPathBufSize];
    char stored[kPathBufSize];
    if (CheckPathName(target, sizeof(target), dir, source) < 0 || target[0] == '\0' ||
        RelativeTarget(stored, sizeof(stored), dir, target) < 0) {
        PermissionDeniedBadPathname();
        return;
    }

    // A move that another session has checked and not yet made must not
    // carry this link along: links are made under the area's lock, as moves
    // are, and the lock is given back before the reply.
    // The link is charged before it is made (parallel sessions of the user
    // cannot each take the last file); one that only replaced a link, or
    // failed, gives it back.
    bool replaced = false;
    int rc = -1;
    int err = EDQUOT;
    if (QuotaReserveFiles(1)) {
        err = EBUSY;
        const AreaLock lock;
        if (lock.held()) {
            rc = MakeLink(stored, place, &replaced);
            err = errno;
        }
    }
    if (err != EDQUOT && (rc < 0 || replaced))
        QuotaAddFiles(-1);
    if (rc < 0) {
        switch (err) {
        case EDQUOT:
            ReplyFilesQuotaReached();
            break;
        case EBUSY:     // the area's lock was not to be had
        case ETXTBSY:
            Reply("450 File in use.\r\n");
            break;
        case ELOOP:
            Reply("553 Will not create a symbolic link loop.\r\n");
            break;
        case EEXIST:
            Reply("553 Will not replace a file with a link.\r\n");
            break;
        default:
            ReplySysError(err, "550 No such file.\r\n", "550 Could not symlink: %.420s\r\n");
            break;
        }
        return;
    }
    LogItem(place, "OK", "to", stored, 'L', "SYMLINK");
    PurgeDirCacheEntryContainingFile(place);
    Reply("250 Symlinked.\r\n");
}

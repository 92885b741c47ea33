// RNFR and RNTO: renaming, with the switches an overwrite needs.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/userclass.h"
#include "listing/dircache.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "paths/treewalk.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "status/shm.h"
#include "transfer/xferlog.h"

namespace {

// A link made here holds a relative text ("../../x") that is right for the
// directory it stands in; whatever follows it on disk (a web server, a
// backup) reads it from there.  A rename that carries it higher up would
// let that text climb out of the area the session is confined to.

int Components(const char *path)
{
    int n = 0;
    for (const char *p = path; *p != '\0'; p++)
        if (*p != '/' && (p == path || p[-1] == '/'))
            n++;
    return n;
}

// How many levels below the area's root the directory holding the real path
// lies, or -1 when the path is not inside the area.
int ParentDepth(const char *real)
{
    const char *root = AreaRoot();
    const size_t len = strlen(root);
    if (strcmp(root, "/") != 0 && (strncmp(real, root, len) != 0 || (real[len] != '/' && real[len] != '\0')))
        return -1;
    return Components(real) - Components(root) - 1;
}

// How many levels above its own directory a link's text reaches at most:
// 2 for "../../x", 1 for "a/../../x", 0 for "x" or an absolute text, which
// names the same place wherever the link stands.
int Climb(const char *text)
{
    if (text[0] == '/')
        return 0;
    int level = 0;
    int lowest = 0;
    for (const char *p = text; *p != '\0';) {
        const size_t n = strcspn(p, "/");
        if (n == 2 && p[0] == '.' && p[1] == '.')
            lowest = --level < lowest ? level : lowest;
        else if (n > 0 && !(n == 1 && p[0] == '.'))
            level++;
        p += n + (p[n] == '/' ? 1 : 0);
    }
    return -lowest;
}

struct LinkCheck {
    int newDepth;   // the depth of the directory the moved entry goes to
    bool climbsOut;
    bool unreadable;
};

// For each link in the moved tree: whether it would climb out at its new place.
bool CheckMovedEntry(const TreeWalkEntry &e, void *ctx)
{
    LinkCheck *c = static_cast<LinkCheck *>(ctx);
    if (c->climbsOut || !S_ISLNK(e.st->st_mode))
        return !c->climbsOut;
    char text[kPathBufSize];
    const ssize_t n = readlinkat(e.dirFd, e.name, text, sizeof(text) - 1);
    if (n < 0) {
        c->unreadable = true;
        return false;
    }
    text[n] = '\0';
    c->climbsOut = Climb(text) > c->newDepth + e.depth;
    return false;
}

// true when moving the entry at the real path from to the real path to would
// leave a link in it (or the entry itself, a link) reaching above the area;
// also when that cannot be told.  Moves that do not go higher up keep every
// link's reach inside and are not walked.
bool MoveLetsLinkClimbOut(const char *from, const char *to, const struct stat &moving)
{
    const int oldDepth = ParentDepth(from);
    const int newDepth = ParentDepth(to);
    if (oldDepth < 0 || newDepth < 0)
        return true;
    if (newDepth >= oldDepth || !(S_ISLNK(moving.st_mode) || S_ISDIR(moving.st_mode)))
        return false;
    LinkCheck c{newDepth, false, false};
    if (S_ISLNK(moving.st_mode)) {
        char text[kPathBufSize];
        const ssize_t n = SafeReadlink(from, text, sizeof(text) - 1);
        if (n < 0)
            return true;
        text[n] = '\0';
        return Climb(text) > newDepth;
    }
    const int fd = SafeOpen(from, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return true;
    TreeWalkStats stats;
    const int rc = WalkTree(fd, CheckMovedEntry, &c, &stats);
    close(fd);
    return rc < 0 || c.climbsOut || c.unreadable;
}

// A link is renamed, or replaced, itself, never what it points to: real
// becomes the link's own path when arg names one (after the checks on what
// it points to have passed).
void KeepLinkItself(const char *arg, char *real, size_t size)
{
    char named[kPathBufSize];
    struct stat st;
    if (UnresolvedPath(named, sizeof(named), arg) == 0 && SafeLstat(named, &st) == 0 && S_ISLNK(st.st_mode))
        Strncpy(real, named, size);
}

enum class Move { kDone, kBusy, kClimbs, kNoRmdir, kNoDelete, kFailed };

// The checks of a move and the move itself, under the area's lock: from the
// check of what moves to the move no other session of the area may move
// anything (a directory it moved in meanwhile would come along unchecked).
// The lock is given back before any reply.  *replaced: what the target
// name held, *replaces when that goes; *err with kFailed.
Move MoveUnderLock(const char *from, const char *to, struct stat *replaced, bool *replaces, int *err)
{
    const AreaLock lock;
    if (!lock.held())
        return Move::kBusy;
    struct stat moving;
    if (SafeLstat(from, &moving) < 0) {
        *err = errno;
        return Move::kFailed;
    }
    if (MoveLetsLinkClimbOut(from, to, moving))
        return Move::kClimbs;
    // What the name held before is replaced: its bytes go, unless it is the
    // very entry that moves (a rename onto itself or onto another link of it).
    const bool existed = SafeLstat(to, replaced) == 0;
    *replaces = existed && !(moving.st_ino == replaced->st_ino && moving.st_dev == replaced->st_dev);
    if (existed && S_ISDIR(replaced->st_mode) && !gAllow[kPermRmdir])
        return Move::kNoRmdir;
    if (existed && !S_ISDIR(replaced->st_mode) && !gAllow[kPermDelete])
        return Move::kNoDelete;
    if (SafeRename(from, to) < 0) {
        *err = errno;
        return Move::kFailed;
    }
    return Move::kDone;
}

}  // namespace

void Rnfr(char *arg)
{
    gRnfr[0] = '\0';   // a refused RNFR leaves no older source pending
    char real[kPathBufSize];
    if (!PathPrologue(arg, kPermRename, "no rename permission", real, sizeof(real)))
        return;
    KeepLinkItself(arg, real, sizeof(real));
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
    KeepLinkItself(arg, real, sizeof(real));

    // An existing directory replaced here would take its refused entries along.
    if (HoldsRefusedTree(real)) {
        PermissionDeniedBadPathname();
        return;
    }
    ComputeQuota();   // before the change, so the walk does not miss it as well
    struct stat st {};
    bool replaces = false;
    int err = 0;
    switch (MoveUnderLock(from, real, &st, &replaces, &err)) {
    case Move::kDone:
        break;
    case Move::kBusy:
        Reply("450 File in use.\r\n");
        return;
    case Move::kClimbs:
        _Trace(kLogMisc, "Rename of [%.240s] to [%.240s] would let a link in it reach out of the area.\n", from, real);
        PermissionDeniedBadPathname();
        return;
    case Move::kNoRmdir:
        PermissionDenied("no rmdir permission for existing destination dir");
        return;
    case Move::kNoDelete:
        PermissionDenied("no delete permission for existing destination file");
        return;
    case Move::kFailed:
        ReplySysError(err, "550 No such file or directory.\r\n", "550 Rename failed: %.420s\r\n");
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

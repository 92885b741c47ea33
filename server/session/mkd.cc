// MKD (XMKD): making a directory and every missing parent, with the
// incoming-directory rules and owners of anonymous users.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "config/userclass.h"
#include "listing/dircache.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "transfer/stor.h"
#include "transfer/xferlog.h"

namespace {

// Restores the file creation mask when it was changed for a call.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : saved_(umask(mask))
    {
        _Trace(kLogMisc, "umask changed from %03o to %03o.\n", static_cast<unsigned>(saved_),
               static_cast<unsigned>(mask));
    }
    ~UmaskGuard()
    {
        const mode_t mask = umask(saved_);
        _Trace(kLogMisc, "umask changed from %03o to %03o.\n", static_cast<unsigned>(mask),
               static_cast<unsigned>(saved_));
    }
    UmaskGuard(const UmaskGuard &) = delete;
    UmaskGuard &operator=(const UmaskGuard &) = delete;

private:
    mode_t saved_;
};

// The incoming directory that path lies in, as uploads find it (path cut
// after the directory's name).
bool IncomingDirOf(const char *real, char *dir, size_t size)
{
    const size_t end = IncomingDirEnd(real);
    if (end == 0 || end >= size)
        return false;
    memcpy(dir, real, end);
    dir[end] = '\0';
    return true;
}

}  // namespace

int Mkdirs(const char *path, mode_t mode, int applyOwner, uid_t uid, gid_t gid,
           int (*setOwner)(const char *, uid_t, gid_t))
{
    char buf[kPathBufSize];
    if (strlen(path) >= sizeof(buf)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    Strncpy(buf, path);
    size_t len = strlen(buf);
    while (len > 1 && buf[len - 1] == '/')
        buf[--len] = '\0';

    struct stat st;
    if (SafeLstat(buf, &st) == 0) {
        errno = S_ISDIR(st.st_mode) ? EEXIST : ENOTDIR;
        return -1;
    }
    if (errno != ENOENT)
        return -1;

    // The deepest existing ancestor: exist is the length of its name (the
    // slash that follows it; 0 for "/").
    size_t exist = 0;
    for (size_t cut = len;;) {
        size_t s = cut;
        while (s > 0 && buf[s - 1] != '/')
            s--;
        if (s <= 1)
            break;
        const size_t slash = s - 1;
        buf[slash] = '\0';
        const int rc = SafeLstat(buf, &st);
        const int err = errno;
        buf[slash] = '/';
        if (rc == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return -1;
            }
            exist = slash;
            break;
        }
        if (err != ENOENT) {
            errno = err;
            return -1;
        }
        cut = slash;
    }
    // Each missing level in turn; the ones made stay when a later one fails.
    for (size_t i = exist + 1; i <= len; i++) {
        if (i < len && buf[i] != '/')
            continue;
        buf[i] = '\0';
        // Each level is charged before it is made: one MKD of a long chain
        // stops at the files limit, as a race of sessions does.
        int rc = -1;
        int err = EDQUOT;
        if (QuotaReserveFiles(1)) {
            rc = SafeMkdir(buf, mode);
            err = errno;
            if (rc < 0)
                QuotaAddFiles(-1);
        }
        if (i < len)
            buf[i] = '/';
        if (rc < 0 && err != EEXIST) {
            errno = err;
            return -1;
        }
    }
    // Owners only once the whole chain is there.
    if (applyOwner && setOwner != nullptr) {
        for (size_t i = exist + 1; i <= len; i++) {
            if (i < len && buf[i] != '/')
                continue;
            buf[i] = '\0';
            setOwner(buf, uid, gid);
            if (i < len)
                buf[i] = '/';
        }
    }
    return 0;
}

void Mkd(char *arg)
{
    char real[kPathBufSize];
    if (!PathPrologue(arg, -1, nullptr, real, sizeof(real)))
        return;
    QuotaRefreshIfShared();                 // other sessions of the user may have added files
    if (gUserFilesUsageHardLimit >= 1 && IsUserOverFilesQuota()) {
        ReplyFilesQuotaReached();
        return;
    }

    mode_t mode = 0777;
    int applyOwner = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool clearMask = false;
    char incoming[kPathBufSize];
    if (gIsAnon && IncomingDirOf(real, incoming, sizeof(incoming))) {
        if (!gAllowMkdirInsideIncoming) {
            PermissionDenied("cannot mkdir inside /incoming");
            return;
        }
        struct stat st;
        if (SafeStat(incoming, &st) == 0) {
            // The sticky bit too: in a drop box where no one may remove
            // another's files, a directory made there is one as well.
            mode = st.st_mode & 01777;
            uid = st.st_uid;
            gid = st.st_gid;
            applyOwner = 1;
        }
        clearMask = true;
    } else if (!gAllow[kPermMkdir]) {
        PermissionDenied("no mkdir permission");
        return;
    }
    if (gIsAnon && gCurDomain != nullptr) {
        if (gCurDomain->aFileOwner != static_cast<uid_t>(-1)) {
            uid = gCurDomain->aFileOwner;
            applyOwner = 1;
        }
        if (gCurDomain->aFileGroup != static_cast<gid_t>(-1)) {
            gid = gCurDomain->aFileGroup;
            applyOwner = 1;
        }
    }

    int rc;
    if (clearMask) {
        UmaskGuard mask(0);
        rc = Mkdirs(real, mode, applyOwner, uid, gid, SetOwnerAndGroup);
    } else {
        rc = Mkdirs(real, mode, applyOwner, uid, gid, SetOwnerAndGroup);
    }
    if (rc < 0) {
        if (errno == EDQUOT)
            ReplyFilesQuotaReached();
        else if (errno == EEXIST)
            Reply("521 Directory already exists.\r\n");
        else if (errno == ENOTDIR)
            Reply("521 A file by that pathname already exists.\r\n");
        else if (errno == EACCES || errno == EPERM)
            PermissionDenied(nullptr);
        else
            Reply("550 Could not make directories: %.420s\r\n", strerror(errno));
        return;
    }
    LogItem(real, "OK", "", "", 'M', "MKDIR");
    PurgeDirCacheEntryContainingFile(real);
    char quoted[421];
    QuotedPath(quoted, sizeof(quoted), arg);
    Reply("257 \"%s\" directory created.\r\n", quoted);
}

// Link-safe file-system calls on checked client paths (see safefs.h).
#include "paths/safefs.h"

#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "log/log.h"
#include "paths/paths.h"
#include "paths/uniquefd.h"

#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

// Set by the tests to exercise the component walk that kernels without
// openat2 get.
bool gSafeFsNoOpenat2 = false;

namespace {

// A link where the check saw none: refuse the way the check would have.
int LinkMet(const char *path)
{
    _Trace(kLogMisc, "[%.400s] holds a link it did not hold when checked.\n", path);
    errno = EACCES;
    return -1;
}

// The component walk: every directory opened O_PATH without following a
// link, then the last component opened with O_NOFOLLOW.
int WalkOpen(const char *path, int flags, mode_t mode)
{
    char work[kPathBufSize];
    if (snprintf(work, sizeof(work), "%s", path) >= static_cast<int>(sizeof(work))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    UniqueFd dir(open(work[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok())
        return -1;
    char *name = work;
    for (;;) {
        while (*name == '/')
            name++;
        char *slash = strchr(name, '/');
        const bool last = slash == nullptr || slash[strspn(slash, "/")] == '\0';
        if (slash != nullptr)
            *slash = '\0';
        if (*name == '\0')              // the path was "/" (or ended in slashes)
            return openat(dir.get(), ".", flags | O_CLOEXEC, mode);
        if (last) {
            // O_NOFOLLOW reports a link as ELOOP, but as ENOTDIR with
            // O_DIRECTORY and not at all with O_PATH: look again.
            const int fd = openat(dir.get(), name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
            const int err = errno;
            struct stat st;
            if ((fd < 0 ? err == ENOTDIR && fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0
                        : (flags & O_PATH) != 0 && fstat(fd, &st) == 0) &&
                S_ISLNK(st.st_mode)) {
                if (fd >= 0)
                    close(fd);
                errno = ELOOP;
                return -1;
            }
            errno = err;
            return fd;
        }
        UniqueFd next(openat(dir.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!next.ok() || fstat(next.get(), &st) < 0)
            return -1;
        if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        dir = std::move(next);
        name = slash + 1;
    }
}

int OpenNoLinks(const char *path, int flags, mode_t mode)
{
    if (!gSafeFsNoOpenat2) {
        struct open_how how {};
        how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
        how.resolve = RESOLVE_NO_SYMLINKS;
        const long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof(how));
        if (fd >= 0 || errno != ENOSYS)
            return static_cast<int>(fd);
    }
    return WalkOpen(path, flags, mode);
}

} // namespace

int SafeOpen(const char *realPath, int flags, mode_t mode)
{
    const int fd = OpenNoLinks(realPath, flags, mode);
    if (fd < 0 && errno == ELOOP)
        return LinkMet(realPath);
    return fd;
}

int SafeChdir(const char *realPath)
{
    UniqueFd fd(SafeOpen(realPath, O_PATH | O_DIRECTORY));
    if (!fd.ok())
        return -1;
    return fchdir(fd.get());
}

DIR *SafeOpendir(const char *realPath)
{
    UniqueFd fd(SafeOpen(realPath, O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (!fd.ok())
        return nullptr;
    DIR *d = fdopendir(fd.get());
    if (d != nullptr)
        fd.release();
    return d;
}

int SafeStat(const char *realPath, struct stat *st)
{
    UniqueFd fd(SafeOpen(realPath, O_PATH));
    if (!fd.ok())
        return -1;
    return fstat(fd.get(), st);
}

int SafeOpenParent(const char *path, const char **last)
{
    const char *slash = strrchr(path, '/');
    const char *name = slash == nullptr ? path : slash + 1;
    if (*name == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        errno = EINVAL;
        return -1;
    }
    char parent[kPathBufSize];
    const size_t len = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (len >= sizeof(parent)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (slash == nullptr)
        strcpy(parent, ".");
    else if (len == 0)
        strcpy(parent, "/");
    else {
        memcpy(parent, path, len);
        parent[len] = '\0';
    }
    const int fd = SafeOpen(parent, O_PATH | O_DIRECTORY);
    if (fd >= 0)
        *last = name;
    return fd;
}

int SafeLstat(const char *path, struct stat *st)
{
    if (strcmp(path, "/") == 0)
        return SafeStat(path, st);
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    return fstatat(dir.get(), last, st, AT_SYMLINK_NOFOLLOW);
}

ssize_t SafeReadlink(const char *path, char *buf, size_t size)
{
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    return readlinkat(dir.get(), last, buf, size);
}

int SafeUnlink(const char *path)
{
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    return unlinkat(dir.get(), last, 0);
}

int SafeRmdir(const char *path)
{
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    return unlinkat(dir.get(), last, AT_REMOVEDIR);
}

int SafeMkdir(const char *path, mode_t mode)
{
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    return mkdirat(dir.get(), last, mode);
}

int SafeSymlink(const char *target, const char *linkPath)
{
    const char *last;
    UniqueFd dir(SafeOpenParent(linkPath, &last));
    if (!dir.ok())
        return -1;
    return symlinkat(target, dir.get(), last);
}

int SafeRename(const char *from, const char *to)
{
    const char *fromLast;
    const char *toLast;
    UniqueFd fromDir(SafeOpenParent(from, &fromLast));
    if (!fromDir.ok())
        return -1;
    UniqueFd toDir(SafeOpenParent(to, &toLast));
    if (!toDir.ok())
        return -1;
    return renameat(fromDir.get(), fromLast, toDir.get(), toLast);
}

int SafeChmod(const char *path, mode_t mode)
{
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    // Refuses a link in the last place in the same call where the kernel
    // can; elsewhere the object is pinned first and changed through /proc.
    if (syscall(__NR_fchmodat2, dir.get(), last, mode, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    if (errno == EOPNOTSUPP)
        return LinkMet(path);
    if (errno != ENOSYS)
        return -1;
    UniqueFd obj(openat(dir.get(), last, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!obj.ok() || fstat(obj.get(), &st) < 0)
        return -1;
    if (S_ISLNK(st.st_mode))
        return LinkMet(path);
    char proc[64];
    snprintf(proc, sizeof(proc), "/proc/self/fd/%d", obj.get());
    return chmod(proc, mode);
}

int SafeUtimens(const char *path, const struct timespec times[2])
{
    const char *last;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return -1;
    struct stat st;
    if (fstatat(dir.get(), last, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return LinkMet(path);
    return utimensat(dir.get(), last, times, AT_SYMLINK_NOFOLLOW);
}

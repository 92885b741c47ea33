// Opening a directory that only root (or the server's account) can change.
#include "paths/trusteddir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// O_PATH needs no read permission; O_NOFOLLOW with O_DIRECTORY refuses a link.
constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr size_t kMaxComponent = 255;

// Whether a directory may stand in the path: owned by root or owner and
// writable by no one else, or (above the last one) sticky.
bool Trusted(int fd, uid_t owner, bool last)
{
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid != 0 && st.st_uid != owner)
        return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return !last && (st.st_mode & S_ISVTX) != 0;
}

int Refuse(int fd, int err, size_t len, size_t *badLen)
{
    close(fd);
    if (badLen != nullptr)
        *badLen = len;
    errno = err;
    return -1;
}

}  // namespace

int OpenTrustedDirectory(const char *path, uid_t owner, size_t *badLen)
{
    if (path == nullptr || path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    int fd = open("/", kDirFlags);
    if (fd < 0)
        return -1;
    size_t reached = 1;   // the length of the prefix that names fd's directory
    const char *p = path;
    for (;;) {
        while (*p == '/')
            p++;
        const size_t n = strcspn(p, "/");
        if (n == 0)
            break;
        if (n == 1 && p[0] == '.') {
            p++;
            continue;
        }
        if ((n == 2 && p[0] == '.' && p[1] == '.') || n > kMaxComponent)
            return Refuse(fd, n > kMaxComponent ? ENAMETOOLONG : EINVAL, reached, badLen);
        if (!Trusted(fd, owner, false))
            return Refuse(fd, EPERM, reached, badLen);
        char name[kMaxComponent + 1];
        memcpy(name, p, n);
        name[n] = '\0';
        const int next = openat(fd, name, kDirFlags);
        if (next < 0) {
            int err = errno;
            struct stat st;
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                err = ELOOP;
            return Refuse(fd, err, static_cast<size_t>(p + n - path), badLen);
        }
        close(fd);
        fd = next;
        p += n;
        reached = static_cast<size_t>(p - path);
    }
    if (!Trusted(fd, owner, true))
        return Refuse(fd, EPERM, reached, badLen);
    return fd;
}

#include "paths/treewalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct Walk {
    TreeWalkVisit visit;
    void *ctx;
    TreeWalkStats *stats;
    int firstErrno;
};

void Fail(Walk *w, int err)
{
    if (w->firstErrno == 0)
        w->firstErrno = err;
}

bool IsDotOrDotDot(const char *n)
{
    return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// Reports the entries of the directory open as fd (taken over and closed),
// entering subdirectories.
void WalkDir(Walk *w, int fd, int depth)
{
    w->stats->dirCount++;
    if (depth > w->stats->maxDepth)
        w->stats->maxDepth = depth;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        Fail(w, errno);
        close(fd);
        return;
    }
    const int dfd = dirfd(dir);
    for (;;) {
        errno = 0;
        const struct dirent *de = readdir(dir);
        if (de == nullptr) {
            if (errno != 0)
                Fail(w, errno);
            break;
        }
        if (IsDotOrDotDot(de->d_name))
            continue;
        struct stat st;
        if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0) {
            if (errno != ENOENT)   // removed meanwhile: simply gone
                Fail(w, errno);
            continue;
        }
        w->visit(st, w->ctx);
        if (!S_ISDIR(st.st_mode))
            continue;
        if (depth + 1 > kTreeWalkMaxDepth) {
            Fail(w, ELOOP);
            continue;
        }
        const int sub = openat(dfd, de->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            if (errno != ENOENT)
                Fail(w, errno);
            continue;
        }
        WalkDir(w, sub, depth + 1);
    }
    closedir(dir);
}

}  // namespace

int WalkTree(int rootFd, TreeWalkVisit visit, void *ctx, TreeWalkStats *stats)
{
    *stats = TreeWalkStats{0, 0};
    Walk w{visit, ctx, stats, 0};
    struct stat st;
    if (fstat(rootFd, &st) < 0)
        return -1;
    visit(st, ctx);
    // A description of its own, so the caller's offset stays untouched.
    const int fd = openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    WalkDir(&w, fd, 0);
    if (w.firstErrno != 0) {
        errno = w.firstErrno;
        return -1;
    }
    return 0;
}

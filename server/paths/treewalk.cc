#include "paths/treewalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

struct Level {
    DIR *dir;
    bool matters;   // what the visit said of this directory
};

struct Walk {
    TreeWalkVisit visit;
    void *ctx;
    TreeWalkStats *stats;
    int firstErrno;
    std::vector<Level> open;   // the directories being read, the deepest last
};

// A failure within a directory whose entries matter leaves the walk
// incomplete; any failure is reported.
void Fail(Walk *w, int err, bool matters)
{
    if (w->firstErrno == 0)
        w->firstErrno = err;
    if (matters)
        w->stats->missed++;
}

bool IsDotOrDotDot(const char *n)
{
    return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// Takes over fd as the next deeper level of the walk.
void Enter(Walk *w, int fd, bool matters)
{
    const int depth = static_cast<int>(w->open.size());
    w->stats->dirCount++;
    if (depth > w->stats->maxDepth)
        w->stats->maxDepth = depth;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        Fail(w, errno, matters);
        close(fd);
        return;
    }
    w->open.push_back(Level{dir, matters});
}

// Reads the next entry of the deepest open directory and reports it; a
// subdirectory becomes the next level.  False when that directory is done.
bool Step(Walk *w)
{
    DIR *dir = w->open.back().dir;
    const bool matters = w->open.back().matters;
    const int dfd = dirfd(dir);
    errno = 0;
    const struct dirent *de = readdir(dir);
    if (de == nullptr) {
        if (errno != 0)
            Fail(w, errno, matters);
        return false;
    }
    if (IsDotOrDotDot(de->d_name))
        return true;
    struct stat st;
    if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0) {
        if (errno != ENOENT)   // removed meanwhile: simply gone
            Fail(w, errno, matters);
        return true;
    }
    const int depth = static_cast<int>(w->open.size());
    const bool subMatters = w->visit(TreeWalkEntry{&st, dfd, de->d_name, depth}, w->ctx);
    if (!S_ISDIR(st.st_mode))
        return true;
    const int sub = openat(dfd, de->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
        if (errno != ENOENT)
            Fail(w, errno, subMatters);
        return true;
    }
    Enter(w, sub, subMatters);
    return true;
}

}  // namespace

int WalkTree(int rootFd, TreeWalkVisit visit, void *ctx, TreeWalkStats *stats)
{
    *stats = TreeWalkStats{0, 0, 0};
    Walk w{visit, ctx, stats, 0, {}};
    struct stat st;
    if (fstat(rootFd, &st) < 0) {
        stats->missed++;
        return -1;
    }
    const bool matters = visit(TreeWalkEntry{&st, -1, "", 0}, ctx);
    // A description of its own, so the caller's offset stays untouched.
    const int fd = openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        stats->missed++;
        return -1;
    }
    // An explicit stack instead of recursion: any depth fits in memory; only
    // the descriptors (one per level) can run out, and that is a failure the
    // caller sees, never a subtree silently left out.
    Enter(&w, fd, matters);
    while (!w.open.empty()) {
        if (!Step(&w)) {
            closedir(w.open.back().dir);
            w.open.pop_back();
        }
    }
    if (w.firstErrno != 0) {
        errno = w.firstErrno;
        return -1;
    }
    return 0;
}

// Path composition and resolution: CompressPath, PathCat, ResolveSymlinks,
// and GetCWD.  The access check built on them is in pathcheck.cc.
#include "paths/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "base/exit.h"
#include "log/log.h"
#include "paths/lstatcache.h"

uid_t gSessionUid = static_cast<uid_t>(-1);
int gRootForGetCWD = 1;

// ---- CompressPath ------------------------------------------------------------------

namespace {

// Copies src into dst (at most max characters) without repeated slashes,
// without "./" components and without a final "." after a slash, then drops
// a trailing slash (unless the result is "/").  Returns the length.
size_t CopyWithoutDots(char *dst, const char *src, size_t max)
{
    size_t n = 0;
    for (const char *s = src; *s != '\0' && n < max; s++) {
        if (*s == '/' && n > 0 && dst[n - 1] == '/')
            continue;
        if (*s == '.' && n > 0 && dst[n - 1] == '/') {
            if (s[1] == '/') {
                s++;
                continue;
            }
            if (s[1] == '\0')
                continue;
        }
        dst[n++] = *s;
    }
    if (n > 1 && dst[n - 1] == '/')
        n--;
    dst[n] = '\0';
    return n;
}

bool IsDotDot(const char *component, size_t len)
{
    return len == 2 && component[0] == '.' && component[1] == '.';
}

// Resolves the ".." components of a path with single slashes, in place:
// each removes the component before it; one directly under the root is
// dropped; a leading ".." of a relative path (and those that follow it)
// stays.
void RemoveDotDots(char *path)
{
    const size_t base = path[0] == '/' ? 1 : 0;
    size_t w = base;                 // length of the result so far
    size_t r = base;
    while (path[r] != '\0') {
        const size_t start = r;
        while (path[r] != '\0' && path[r] != '/')
            r++;
        const size_t len = r - start;
        if (path[r] == '/')
            r++;
        if (IsDotDot(path + start, len)) {
            size_t last = w;         // start of the last kept component
            while (last > base && path[last - 1] != '/')
                last--;
            if (w > base && !IsDotDot(path + last, w - last)) {
                w = last > base ? last - 1 : base;
                continue;
            }
            if (base == 1)
                continue;            // "/.." is "/"
        }
        if (w > base)
            path[w++] = '/';
        memmove(path + w, path + start, len);
        w += len;
    }
    path[w] = '\0';
}

}  // namespace

void CompressPath(char *dst, const char *src, size_t dstSize)
{
    if (dstSize == 0)
        return;
    if (CopyWithoutDots(dst, src, dstSize - 1) == 0)
        return;
    RemoveDotDots(dst);
    if (dst[0] == '\0')
        Strncpy(dst, ".", dstSize);  // a relative text that climbed to nothing
}

// ---- PathCat ---------------------------------------------------------------------------

namespace {

// a, b and c joined into dst; false when they do not fit whole (dst then
// holds as much as fits).
bool Join(char (&dst)[kPathBufSize], const char *a, const char *b, const char *c)
{
    Strncpy(dst, a);
    Strncat(dst, b);
    Strncat(dst, c);
    return strlen(a) + strlen(b) + strlen(c) < sizeof(dst);
}

}  // namespace

int PathCat(char *dst, size_t dstSize, const char *cwd, const char *path)
{
    char joined[kPathBufSize];
    bool whole;
    if (path[0] == '/') {
        const char *root = gVChroot ? gFTPHome : gVChrootThisUser ? gHomeDir : "";
        whole = Join(joined, root, path, "");
    } else if (path[0] == '~' && (path[1] == '/' || path[1] == '\0') && !gIsAnon) {
        whole = Join(joined, gHomeDir, path + 1, "");
    } else {
        whole = Join(joined, cwd, "/", path);
    }
    if (joined[0] == '\0') {
        if (dstSize > 0)
            dst[0] = '\0';
        return whole ? 0 : -1;
    }
    // Compression never lengthens a text, so the whole result fits here.
    char compressed[kPathBufSize];
    CompressPath(compressed, joined, sizeof(compressed));
    if (strlen(compressed) < dstSize) {
        Strncpy(dst, compressed, dstSize);
    } else {
        CompressPath(dst, joined, dstSize);
        whole = false;
    }
    if (whole)
        return 0;
    errno = ENAMETOOLONG;
    return -1;
}

// ---- ResolveSymlinks ---------------------------------------------------------------------

namespace {

constexpr size_t kWorkPathMax = 510;

// Links nested inside links: the number of resolutions in progress.
int gResolveDepth;
// Links followed so far by the outermost resolution in progress: nesting
// alone does not bound the work when each link names many others.
int gLinksFollowed;

struct ResolveDepthGuard {
    ResolveDepthGuard() { gResolveDepth++; }
    ~ResolveDepthGuard() { gResolveDepth--; }
    ResolveDepthGuard(const ResolveDepthGuard &) = delete;
    ResolveDepthGuard &operator=(const ResolveDepthGuard &) = delete;
};

int Fail(char *dst, size_t dstSize, int code, int err)
{
    if (dstSize > 0)
        dst[0] = '\0';
    errno = err;
    return code;
}

// The text a link at work (a link-free path) stands for: its target when
// absolute, else the target in place of the link's own name.  -4 when the
// link cannot be read; -2 (ENAMETOOLONG) when the text does not fit whole,
// as a cut text would name another place.
int ReadLinkAsPath(const char *work, char *next, size_t nextSize)
{
    char target[kPathBufSize + 1];   // one byte more shows a target longer than 511
    const ssize_t n = readlink(work, target, sizeof(target) - 1);
    if (n <= 0) {
        if (n == 0)
            errno = ENOENT;
        return -4;
    }
    if (n >= kPathBufSize) {
        errno = ENAMETOOLONG;
        return -2;
    }
    target[n] = '\0';
    const size_t dirLen = target[0] == '/' ? 0 : static_cast<size_t>(strrchr(work, '/') - work) + 1;
    if (dirLen + static_cast<size_t>(n) >= nextSize) {
        errno = ENAMETOOLONG;
        return -2;
    }
    memcpy(next, work, dirLen);
    memcpy(next + dirLen, target, static_cast<size_t>(n) + 1);
    return 0;
}

}  // namespace

int ResolveSymlinks(char *dst, size_t dstSize, const char *src)
{
    const ResolveDepthGuard depth;
    if (gResolveDepth == 1)
        gLinksFollowed = 0;
    if (gResolveDepth > kMaxSymlinkNesting + 1)
        return Fail(dst, dstSize, -1, ELOOP);
    if (dstSize == 0)
        return Fail(dst, dstSize, -1, EINVAL);
    CompressPath(dst, src, dstSize);
    if (dst[0] != '/')
        return Fail(dst, dstSize, -1, EINVAL);

    char work[kPathBufSize] = "";
    size_t workLen = 0;              // "/" is kept as the empty text
    for (const char *p = dst + 1; *p != '\0';) {
        const char *end = strchrnul(p, '/');
        const size_t len = static_cast<size_t>(end - p);
        if (workLen + 1 + len > kWorkPathMax)
            return Fail(dst, dstSize, -2, ENAMETOOLONG);
        work[workLen++] = '/';
        memcpy(work + workLen, p, len);
        workLen += len;
        work[workLen] = '\0';
        p = *end == '/' ? end + 1 : end;

        struct stat st;
        if (LStatCache(work, static_cast<int>(workLen), &st) < 0 || !S_ISLNK(st.st_mode))
            continue;
        if (++gLinksFollowed > kMaxSymlinksFollowed)
            return Fail(dst, dstSize, -1, ELOOP);
        char next[kPathBufSize];
        const int readRc = ReadLinkAsPath(work, next, sizeof(next));
        if (readRc < 0)
            return Fail(dst, dstSize, readRc, errno);
        char resolved[kPathBufSize];
        const int rc = ResolveSymlinks(resolved, sizeof(resolved), next);
        if (rc < 0)
            return Fail(dst, dstSize, rc, errno);
        Strncpy(work, strcmp(resolved, "/") == 0 ? "" : resolved);
        workLen = strlen(work);
    }
    Strncpy(dst, workLen == 0 ? "/" : work, dstSize);
    return 0;
}

// ---- GetCWD ---------------------------------------------------------------------------------

namespace {

char *gCwdBuf;
size_t gCwdBufSize;

// Root's effective uid for the getcwd call, when the process started as root
// (its real uid is still 0) and now runs as someone else.
class RootForGetCWD {
  public:
    RootForGetCWD()
    {
        if (!gRootForGetCWD || getuid() != 0 || geteuid() == 0)
            return;
        saved_ = geteuid();
        if (seteuid(0) < 0) {
            LogPerror("cwd: setEuid(0) (eu=%d, ru=%u)", static_cast<int>(geteuid()),
                      static_cast<unsigned>(getuid()));
            return;
        }
        held_ = true;
    }
    ~RootForGetCWD()
    {
        if (held_ && seteuid(saved_) < 0) {
            LogPerror("cwd: cannot restore euid %d (eu=%u, ru=%u)", static_cast<int>(saved_),
                      static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
            Exit(1);
        }
    }
    RootForGetCWD(const RootForGetCWD &) = delete;
    RootForGetCWD &operator=(const RootForGetCWD &) = delete;

  private:
    uid_t saved_ = 0;
    bool held_ = false;
};

void GrowCwdBuf(size_t size)
{
    char *bigger = static_cast<char *>(realloc(gCwdBuf, size));
    if (bigger == nullptr) {
        Log(kLogMisc, "could not allocate cwd buffer\n");
        Exit(1);
    }
    gCwdBuf = bigger;
    gCwdBufSize = size;
}

}  // namespace

const char *GetCWD(const char *path)
{
    if (gCwdBuf == nullptr) {
        gCwdBuf = static_cast<char *>(malloc(kPathBufSize));
        if (gCwdBuf == nullptr) {
            Log(kLogMisc, "malloc failed for cwdbuf\n");
            Exit(1);
        }
        gCwdBufSize = kPathBufSize;
    }
    if (path != nullptr && path[0] == '/') {
        const size_t size = strlen(path) + 1;
        if (size > gCwdBufSize)
            GrowCwdBuf(size);
        memcpy(gCwdBuf, path, size);
        return gCwdBuf;
    }
    const RootForGetCWD root;
    while (getcwd(gCwdBuf, gCwdBufSize) == nullptr) {
        if (errno != ERANGE) {
            LogPerror("could not getcwd");
            Exit(1);
        }
        GrowCwdBuf(gCwdBufSize * 2);
    }
    return gCwdBuf;
}

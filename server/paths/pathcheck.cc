// The access check of client paths (CheckPathName) with its character
// filter, and the directory predicate IsPublicDir.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/paths.h"

const char gIncomingSubdir[] = "/incoming";
static_assert(sizeof(gIncomingSubdir) - 1 == kIncomingSubdirLen);
static_assert(kMaxRefusedTrees == kMaxPathListEntries + 2);

namespace {

// When path is prefix itself or lies below it, the length of the prefix
// (without trailing slashes) within path; else -1.  A prefix written with a
// trailing slash ("/data/") means the same as without one; "/" covers every
// absolute path.
int PathIsAtOrBelow(const char *path, const char *prefix, int prefixLen)
{
    prefixLen = prefixLen > 0 ? static_cast<int>(strnlen(prefix, static_cast<size_t>(prefixLen))) : 0;
    while (prefixLen > 1 && prefix[prefixLen - 1] == '/')
        prefixLen--;
    if (prefixLen == 1 && prefix[0] == '/')
        return path[0] == '/' ? 0 : -1;
    if (prefixLen > 0 && strncmp(path, prefix, static_cast<size_t>(prefixLen)) == 0 &&
        (path[prefixLen] == '\0' || path[prefixLen] == '/'))
        return prefixLen;
    return -1;
}

// Index of the first entry of a path list that covers path, or -1.
int FindInPathList(const char *path, const char (*list)[kPathListEntrySize], const int *lens, int count)
{
    for (int i = 0; i < count; i++) {
        if (PathIsAtOrBelow(path, list[i], lens[i]) >= 0)
            return i;
    }
    return -1;
}

bool IsRootDir(const char *path)
{
    return strcmp(path, "/") == 0;
}

bool IsBelowEtc(const char *path)
{
    return strncmp(path, "/etc/", 5) == 0;
}

// The client's spelling of a path as the session wants it: folded to lower
// case and/or with backslashes as slashes.  Returns path itself when nothing
// applies, nullptr when the path does not fit buf.
const char *SpellPath(const char *path, char *buf, size_t size)
{
    const int lower = gIsAnon ? gALowercasePathnames : gULowercasePathnames;
    if (!lower && !gAllowBackslashAsPathSeparator)
        return path;
    if (strlen(path) >= size)
        return nullptr;
    size_t n = 0;
    for (const char *s = path; *s != '\0' && n < size - 1; s++) {
        char c = *s;
        if (lower && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (gAllowBackslashAsPathSeparator && c == '\\')
            c = '/';
        buf[n++] = c;
    }
    buf[n] = '\0';
    return buf;
}

// The confinement of the session: the anonymous area, the user's home, and
// /etc for everyone but root.  0 when path stays inside.
int CheckConfinement(const char *path)
{
    const bool etcRule = gURestrictEtc && gSessionUid != 0;
    if (gVChroot && !IsRootDir(gFTPHome)) {
        const int rootLen = PathIsAtOrBelow(path, gFTPHome, gFTPHomeLen);
        if (rootLen < 0) {
            _Trace(kLogMisc, "[%.240s] not in ~ftp=[%.240s]\n", path, gFTPHome);
            return -1;
        }
        if (gUseTCPWrappers && strncmp(path + rootLen, "/etc/hosts.", 11) == 0) {
            _Trace(kLogMisc, "forbidden file [%.400s]\n", path);
            return -1;
        }
        return 0;
    }
    if (gVChrootThisUser && !IsRootDir(gHomeDir) && PathIsAtOrBelow(path, gHomeDir, gHomeDirLen) < 0) {
        _Trace(kLogMisc, "[%.240s] not in ~=[%.240s]\n", path, gHomeDir);
        return -1;
    }
    if (etcRule && IsBelowEtc(path)) {
        _Trace(kLogMisc, "forbidden directory [%.400s]\n", path);
        return -1;
    }
    return 0;
}

// Letters, digits, punctuation and blanks of the C locale, whatever locale
// the process runs in (the tab is refused as a control character anyway).
bool IsPrintingAscii(unsigned char c)
{
    return c >= 0x20 && c <= 0x7e;
}

bool IsAsciiControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

// Refuses a path that could not be resolved or composed whole.
int FailedToResolve(char *dst, size_t dstSize, const char *path, int err)
{
    _Trace(kLogMisc, "[%.256s] failed to resolve: %.128s.\n", path, strerror(err));
    if (dstSize > 0)
        dst[0] = '\0';
    errno = err;
    return -1;
}

// The path lists, the home of a restricted user, the confinement and the
// character filter, applied to a resolved real path.
int CheckResolvedPath(const char *path)
{
    if (gSessionUid != 0) {
        if (FindInPathList(path, gAllowPathsArray, gAllowPathLensArray, gNumAllowPaths) >= 0) {
            _Trace(kLogMisc, "directory allowed [%.400s]\n", path);
            return 0;
        }
        if (FindInPathList(path, gDenyPathsArray, gDenyPathLensArray, gNumDenyPaths) >= 0) {
            _Trace(kLogMisc, "directory denied [%.400s]\n", path);
            return -1;
        }
    }

    if (gRestrictedUser && !IsRootDir(gHomeDir) && PathIsAtOrBelow(path, gHomeDir, gHomeDirLen) < 0) {
        _Trace(kLogMisc, "[%.240s] not in ~=[%.240s]\n", path, gHomeDir);
        return -1;
    }

    if (CheckConfinement(path) < 0)
        return -1;

    const int filter = gIsAnon ? gAPathnameFilter : gUPathnameFilter;
    if (filter && CheckPathNameCharacters(path) < 0) {
        _Trace(kLogMisc, "[%.400s] has non-printing characters or is a .dotfile.\n", path);
        return -1;
    }
    return 0;
}

// The archive of a directory being planned: the trees it leaves out.
struct TreePlan {
    const char *dir;
    RefusedTree *trees;
    int max;
    int count;
    bool refused;     // the directory lies in a refused tree, or too many trees
};

// The refused tree at root (a real path; with namePrefix, every path that
// begins with the text root), unless an allow-paths entry opens allowedBy
// and so the whole tree: a tree that holds the directory refuses the
// archive, a tree below it is left out.
void NoteRefusedTree(TreePlan &p, const char *root, bool namePrefix, const char *allowedBy)
{
    if (gSessionUid != 0 && FindInPathList(allowedBy, gAllowPathsArray, gAllowPathLensArray, gNumAllowPaths) >= 0)
        return;
    const int rootLen = static_cast<int>(strlen(root));
    const bool holdsDir = namePrefix ? strncmp(p.dir, root, static_cast<size_t>(rootLen)) == 0
                                     : PathIsAtOrBelow(p.dir, root, rootLen) >= 0;
    if (holdsDir) {
        p.refused = true;
        return;
    }
    const int dirLen = PathIsAtOrBelow(root, p.dir, static_cast<int>(strlen(p.dir)));
    if (dirLen < 0)
        return;
    if (p.count == p.max) {
        p.refused = true;
        return;
    }
    RefusedTree &tree = p.trees[p.count++];
    Strncpy(tree.rel, root + dirLen + 1);     // a cut name prefix only leaves out more
    tree.namePrefix = namePrefix;
}

// The deny-paths entries, each written without trailing slashes.
void NoteDeniedTrees(TreePlan &p)
{
    for (int i = 0; i < gNumDenyPaths; i++) {
        char root[kPathBufSize];
        size_t len = strnlen(gDenyPathsArray[i], static_cast<size_t>(gDenyPathLensArray[i]));
        if (len == 0 || len >= sizeof(root))
            continue;
        memcpy(root, gDenyPathsArray[i], len);
        while (len > 1 && root[len - 1] == '/')
            len--;
        root[len] = '\0';
        NoteRefusedTree(p, root, false, root);
    }
}

}  // namespace

int CheckRealPathName(char *dst, size_t dstSize, const char *realPath)
{
    // Resolved at full size first: a result cut to dst could name another place.
    char resolved[kPathBufSize];
    if (ResolveSymlinks(resolved, sizeof(resolved), realPath) < 0)
        return FailedToResolve(dst, dstSize, realPath, errno);
    if (strlen(resolved) >= dstSize)
        return FailedToResolve(dst, dstSize, realPath, ENAMETOOLONG);
    Strncpy(dst, resolved, dstSize);
    if (gTraceLogging >= 2)
        _Trace(kLogMisc, "[%.400s]\n", dst);
    return CheckResolvedPath(dst);
}

int CheckPathName(char *dst, size_t dstSize, const char *cwd, const char *path)
{
    char spelled[kPathBufSize];
    const char *spelling = SpellPath(path, spelled, sizeof(spelled));
    if (spelling == nullptr)
        return FailedToResolve(dst, dstSize, path, ENAMETOOLONG);
    // A join cut to the buffer could name an existing other file ("secret.txt"
    // cut to "s", "x/..." cut to "x/.."): refuse it instead.
    char joined[kPathBufSize];
    if (PathCat(joined, sizeof(joined), cwd, spelling) < 0)
        return FailedToResolve(dst, dstSize, joined, ENAMETOOLONG);
    return CheckRealPathName(dst, dstSize, joined);
}

int RefusedTreesBelow(const char *dir, RefusedTree *trees, int max)
{
    // The same order as the check of single paths: an allow-paths entry that
    // opens the directory opens everything below it.
    if (gSessionUid != 0 && FindInPathList(dir, gAllowPathsArray, gAllowPathLensArray, gNumAllowPaths) >= 0)
        return 0;
    TreePlan p{dir, trees, max, 0, false};
    if (gSessionUid != 0)
        NoteDeniedTrees(p);
    const bool anonArea = gVChroot && !IsRootDir(gFTPHome);
    if (anonArea && gUseTCPWrappers) {
        char etc[kPathBufSize + 16];
        Strncpy(etc, gFTPHome);
        size_t len = strnlen(etc, static_cast<size_t>(gFTPHomeLen));
        while (len > 1 && etc[len - 1] == '/')
            len--;
        etc[len] = '\0';
        Strncat(etc, "/etc");
        char hosts[sizeof(etc)];
        Strncpy(hosts, etc);
        Strncat(hosts, "/hosts.");
        NoteRefusedTree(p, hosts, true, etc);
    }
    // "/etc" itself passes the rule: an archive of it holds only refused paths.
    if (!anonArea && gURestrictEtc && gSessionUid != 0)
        NoteRefusedTree(p, "/etc", false, "/etc");
    return p.refused ? -1 : p.count;
}

int CheckPathNameCharacters(const char *path)
{
    const auto *p = reinterpret_cast<const unsigned char *>(path);
    if (p[0] == '\0' || (p[0] == '.' && p[1] != '.' && p[1] != '/'))
        return -1;

    bool nonPrinting = false;
    size_t i = 0;
    for (; p[i] != '\0'; i++) {
        const unsigned char c = p[i];
        if (IsAsciiControl(c) || c == '\\')
            return -1;
        if (!IsPrintingAscii(c))
            nonPrinting = true;
        const bool startsComponent = c == '/' || (i == 0 && p[0] != '/');
        if (startsComponent && (p[i + 1] == '.' || p[i + 1] == ' '))
            return -1;
        if (c == '/' && i > 0 && p[i - 1] == ' ')
            return -1;
    }
    if (p[i - 1] == ' ')
        return -1;
    if (nonPrinting && !utf8_valid(p, i))
        return -1;
    return 0;
}

int utf8_valid(const unsigned char *s, size_t len)
{
    // The leads of the 3- to 6-byte forms that carry no payload bits, and
    // the bits of the first continuation byte of which such a form needs one.
    constexpr unsigned char kBareLead[] = {0xE0, 0xF0, 0xF8, 0xFC};
    constexpr unsigned char kPayloadBits[] = {0x20, 0x30, 0x38, 0x3C};
    size_t i = 0;
    while (i < len) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        if (c < 0xC0 || c > 0xFD)
            return 0;                // a continuation byte without a lead, or 0xFE/0xFF
        const size_t follow = c <= 0xDF ? 1 : c <= 0xEF ? 2 : c <= 0xF7 ? 3 : c <= 0xFB ? 4 : 5;
        if (len - i - 1 < follow)
            return 0;
        for (size_t k = 1; k <= follow; k++) {
            if ((s[i + k] & 0xC0) != 0x80)
                return 0;
        }
        if (follow == 1 && (c & 0x1E) == 0)
            return 0;                // 0xC0, 0xC1: overlong
        if (follow >= 2 && c == kBareLead[follow - 2] && (s[i + 1] & kPayloadBits[follow - 2]) == 0)
            return 0;
        i += follow + 1;
    }
    return 1;
}

int IsPublicDir(const char *path)
{
    char p[kPathBufSize];
    Strncpy(p, path);
    struct stat st;
    if (stat(p, &st) < 0)
        return 0;
    if (S_ISREG(st.st_mode)) {
        char *slash = strrchr(p, '/');
        if (slash != nullptr)
            *slash = '\0';
        else
            Strncpy(p, "./.");
        if (stat(p, &st) < 0)
            return 0;
    }
    for (;;) {
        if (!S_ISDIR(st.st_mode) || (st.st_mode & S_IXOTH) == 0)
            return 0;
        char *slash = strrchr(p, '/');
        if (slash == nullptr || slash == p)
            return 1;
        *slash = '\0';
        if (stat(p, &st) < 0)
            return 0;
    }
}


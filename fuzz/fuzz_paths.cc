// Path joining, compression, link resolution and the access check, against a
// scratch tree with links.  Input: one byte of session shape, then the
// current directory and the client path separated by a NUL.  Besides the
// sanitizers it checks what the check promises: a compressed path has no
// empty, "." or ".." component, and a confined session's accepted path lies
// in its root.
#include <cstdlib>
#include <cstring>
#include <string>

#include "Strn.h"
#include "config/config.h"
#include "fuzzenv.h"
#include "paths/lstatcache.h"
#include "paths/paths.h"

namespace {

enum Shape { kPlainUser, kRestrictedUser, kVChrootUser, kAnonymous, kNumShapes };

void SetShape(int shape, const std::string &home)
{
    gIsAnon = gVChroot = gVChrootThisUser = gRestrictedUser = 0;
    gALowercasePathnames = gULowercasePathnames = 0;
    gSessionUid = 1000;
    gNumAllowPaths = gNumDenyPaths = 0;
    Strncpy(gHomeDir, home.c_str());
    gHomeDirLen = static_cast<int>(strlen(gHomeDir));
    Strncpy(gFTPHome, home.c_str());
    gFTPHomeLen = gHomeDirLen;
    switch (shape) {
    case kRestrictedUser:
        gRestrictedUser = 1;
        break;
    case kVChrootUser:
        gRestrictedUser = gVChrootThisUser = 1;
        break;
    case kAnonymous:
        gIsAnon = gVChroot = 1;
        break;
    default:
        break;
    }
}

void CheckCompressed(const char *path)
{
    if (path[0] != '/')
        abort();
    if (strcmp(path, "/") == 0)
        return;
    const size_t len = strlen(path);
    if (path[len - 1] == '/' || strstr(path, "//") != nullptr || strstr(path, "/./") != nullptr
        || strstr(path, "/../") != nullptr)
        abort();
    if ((len >= 2 && strcmp(path + len - 2, "/.") == 0) || (len >= 3 && strcmp(path + len - 3, "/..") == 0))
        abort();
}

bool Below(const char *path, const char *root)
{
    const size_t n = strlen(root);
    return strncmp(path, root, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string &home = FuzzScratchTree();
    const int shape = data[0] % kNumShapes;
    std::string cwd, path;
    FuzzSplit(data + 1, size - 1, &cwd, &path);
    // The session's directory is a real, absolute path, in its root when confined.
    if (shape != kPlainUser)
        cwd = home + "/" + cwd;
    else if (cwd.empty() || cwd[0] != '/')
        cwd = "/" + cwd;
    SetShape(shape, home);
    ResetStatCache();

    char joined[kPathBufSize];
    if (PathCat(joined, sizeof(joined), cwd.c_str(), path.c_str()) == 0)
        CheckCompressed(joined);

    if (cwd.size() < kPathBufSize) {
        char compressed[kPathBufSize];
        CompressPath(compressed, cwd.c_str(), sizeof(compressed));
        CheckCompressed(compressed);
        char resolved[kPathBufSize];
        if (ResolveSymlinks(resolved, sizeof(resolved), compressed) == 0 && resolved[0] != '/')
            abort();
        if (shape != kPlainUser) {
            char confined[kPathBufSize];
            CompressPath(confined, cwd.c_str(), sizeof(confined));
            if (!Below(confined, home.c_str()))
                cwd = home;    // ".." climbed out: a session never stands there
        }
    }

    (void) CheckPathNameCharacters(path.c_str());
    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), cwd.c_str(), path.c_str()) == 0) {
        if (shape != kPlainUser && !Below(real, home.c_str()))
            abort();    // a confined session was let out of its root
    }
    char again[kPathBufSize];
    (void) CheckRealPathName(again, sizeof(again), path.c_str());
    return 0;
}

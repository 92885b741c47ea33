// Definitions of the session and configuration values the path code reads,
// the logging calls it makes (captured), and the scratch trees.
#include "testenv.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/lstatcache.h"
#include "paths/paths.h"
#include "session/shell.h"

// ---- Session values (shell.h) -------------------------------------------------------
char gFTPHome[kSessionPathSize];
int gFTPHomeLen;
char gHomeDir[kSessionPathSize];
int gHomeDirLen;
int gVChroot, gVChrootThisUser, gRestrictedUser, gIsAnon;
int gALowercasePathnames, gULowercasePathnames;

// ---- Settings (config.h) ------------------------------------------------------------
int gTraceLogging;
int gUseTCPWrappers;
int gAPathnameFilter, gUPathnameFilter;
int gAllowIncoming;
int gURestrictEtc;
int gAllowBackslashAsPathSeparator;
char gAllowPathsArray[kMaxPathListEntries][kPathListEntrySize];
int gAllowPathLensArray[kMaxPathListEntries];
int gNumAllowPaths;
char gDenyPathsArray[kMaxPathListEntries][kPathListEntrySize];
int gDenyPathLensArray[kMaxPathListEntries];
int gNumDenyPaths;
int gSCache;

// ---- Logging (log.h) and Exit (exit.h) ----------------------------------------------
namespace {

std::string gTraced;

void Capture(const char *fmt, va_list ap)
{
    char buf[2048];
    vsnprintf(buf, sizeof(buf), fmt, ap);
    gTraced += buf;
}

}  // namespace

void Log(int, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    Capture(fmt, ap);
    va_end(ap);
}

void LogPerror(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    Capture(fmt, ap);
    va_end(ap);
}

void _Trace(int, const char *fmt, ...)
{
    if (gTraceLogging == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    Capture(fmt, ap);
    va_end(ap);
}

void Exit(int code)
{
    fprintf(stderr, "Exit(%d): %s\n", code, gTraced.c_str());
    _exit(100 + code);
}

// ---- Session shapes ---------------------------------------------------------------------

void ResetPathSession()
{
    gFTPHome[0] = gHomeDir[0] = '\0';
    gFTPHomeLen = gHomeDirLen = 0;
    gVChroot = gVChrootThisUser = gRestrictedUser = gIsAnon = 0;
    gALowercasePathnames = gULowercasePathnames = 0;
    gSessionUid = 1000;
    gTraceLogging = 1;
    gUseTCPWrappers = 0;
    gAPathnameFilter = 1;
    gUPathnameFilter = 0;
    gAllowIncoming = 1;
    gURestrictEtc = 1;
    gAllowBackslashAsPathSeparator = 0;
    gNumAllowPaths = gNumDenyPaths = 0;
    gSCache = 300;
    ResetStatCache();
    gTraced.clear();
}

void BecomeAnonymous(const char *ftpHome)
{
    gIsAnon = 1;
    gVChroot = 1;
    Strncpy(gFTPHome, ftpHome);
    gFTPHomeLen = static_cast<int>(strlen(gFTPHome));
    Strncpy(gHomeDir, ftpHome);
    gHomeDirLen = gFTPHomeLen;
}

void BecomeRestrictedUser(const char *home)
{
    gRestrictedUser = 1;
    Strncpy(gHomeDir, home);
    gHomeDirLen = static_cast<int>(strlen(gHomeDir));
}

void BecomeVChrootUser(const char *home)
{
    BecomeRestrictedUser(home);
    gVChrootThisUser = 1;
}

static void SetPathList(const char *const *paths, int n, char (*list)[kPathListEntrySize], int *lens,
                        int *count)
{
    for (int i = 0; i < n; i++) {
        Strncpy(list[i], paths[i], kPathListEntrySize);
        lens[i] = static_cast<int>(strlen(list[i]));
    }
    *count = n;
}

void SetAllowPaths(const char *const *paths, int n)
{
    SetPathList(paths, n, gAllowPathsArray, gAllowPathLensArray, &gNumAllowPaths);
}

void SetDenyPaths(const char *const *paths, int n)
{
    SetPathList(paths, n, gDenyPathsArray, gDenyPathLensArray, &gNumDenyPaths);
}

const std::string &Traced()
{
    return gTraced;
}

// ---- Scratch trees ------------------------------------------------------------------------

TempTree::TempTree(const char *parent)
{
    std::string pattern = std::string(parent != nullptr ? parent : "/tmp") + "/pathsXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
        return;
    }
    root_ = pattern;
    chmod(root_.c_str(), 0755);
}

static int RemoveOne(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

TempTree::~TempTree()
{
    // Depth first, without following links (tests are root: modes do not
    // stop the walk).
    if (!root_.empty())
        nftw(root_.c_str(), RemoveOne, 32, FTW_DEPTH | FTW_PHYS);
}

void TempTree::Dir(const std::string &rel, unsigned mode) const
{
    std::string path = root_;
    size_t pos = 0;
    while (pos != std::string::npos) {
        const size_t slash = rel.find('/', pos);
        path = root_ + "/" + rel.substr(0, slash);
        mkdir(path.c_str(), 0755);
        pos = slash == std::string::npos ? slash : slash + 1;
    }
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void TempTree::File(const std::string &rel) const
{
    const std::string path = root_ + "/" + rel;
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fclose(f);
}

void TempTree::Link(const std::string &rel, const std::string &target) const
{
    const std::string path = root_ + "/" + rel;
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

// MLST and STAT: the fact line of one file on the control connection.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "listing/ls.h"
#include "listing/mls.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "session/filecmds.h"
#include "session/shell.h"

namespace {

// The status of the directory that holds real ("/" holds itself), for the
// 'd' and 'f' letters; false when it cannot be had.
bool ParentStatus(const char *real, struct stat *st)
{
    char parent[kPathBufSize];
    Strncpy(parent, real);
    char *slash = strrchr(parent, '/');
    if (slash == nullptr)
        return false;
    if (slash == parent)
        slash[1] = '\0';
    else
        *slash = '\0';
    return SafeStat(parent, st) == 0;
}

}  // namespace

void Mlst(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (!gAllowMls) {
        Reply("502 The %.8s command is disabled at this site.\r\n", "MLST");
        return;
    }
    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), gCwd, arg[0] != '\0' ? arg : ".") < 0 || real[0] == '\0') {
        PermissionDeniedBadPathname();
        return;
    }
    struct stat st;
    if (SafeStat(real, &st) < 0) {
        ReplySysError(errno, "550 No such file.\r\n", "550 stat failed: %.420s\r\n");
        return;
    }
    // A symbolic link is described itself, as MLSD lists it, not its target.
    char link[kPathBufSize];
    struct stat linkSt;
    if (arg[0] != '\0' && UnresolvedPath(link, sizeof(link), arg) == 0 && SafeLstat(link, &linkSt) == 0 &&
        S_ISLNK(linkSt.st_mode)) {
        Strncpy(real, link);
        st = linkSt;
    }
    TakeSessionGroups();
    struct stat parentSt;
    const bool haveParent = ParentStatus(real, &parentSt);
    char shown[kPathBufSize];
    VirtualPath(shown, sizeof(shown), real);
    char line[kMlsLineSize];
    const int n = Mls(line, sizeof(line), real, &st, shown, 0, nullptr, haveParent ? &parentSt : nullptr);
    if (n == 0) {
        PermissionDenied("pathname too long");
        return;
    }
    line[n - 2] = '\0';   // the reply adds its own line end
    Reply("250-Begin\r\n %s\r\n250 End.\r\n", line);
}

// SITE CHMOD: changing the permission bits of a file or directory.
#include <cerrno>
#include <cstdio>

#include "config/userclass.h"
#include "listing/dircache.h"
#include "paths/safefs.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "session/site.h"
#include "transfer/xferlog.h"

void Chmod(const char *modeText, const char *path)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (modeText[0] == '\0') {
        BadArgs();
        return;
    }
    char real[kPathBufSize];
    if (!PathPrologue(path, kPermOwner, "no chmod permission", real, sizeof(real)))
        return;
    mode_t mode;
    if (!ReadOctalMode(modeText, &mode)) {
        BadArgs();
        return;
    }
    if (SafeChmod(real, mode & 0777) < 0) {
        ReplySysError(errno, "550 No such file or directory.\r\n", "550 Change mode failed: %.420s\r\n");
        return;
    }
    char shown[8];
    snprintf(shown, sizeof(shown), "%03o", static_cast<unsigned>(mode & 0777));
    LogItem(real, "OK", shown, "", 'C', "CHMOD");
    PurgeDirCacheEntryContainingFile(real);
    Reply("250 Changed.\r\n");
}

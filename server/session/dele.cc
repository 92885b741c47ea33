// DELE: removing a file, or a symbolic link by its own name.
#include <cerrno>
#include <cstdint>

#include "config/userclass.h"
#include "listing/dircache.h"
#include "paths/safefs.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "transfer/xferlog.h"

void Dele(char *arg)
{
    char real[kPathBufSize];
    if (!PathPrologue(arg, kPermDelete, "no delete permission", real, sizeof(real)))
        return;

    ComputeQuota();   // before the change, so the walk does not miss it as well
    // A link is removed itself, never what it points to.
    char named[kPathBufSize];
    struct stat st;
    if (UnresolvedPath(named, sizeof(named), arg) == 0 && SafeLstat(named, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (SafeUnlink(named) < 0) {
            ReplySysError(errno, "550 No such file.\r\n", "550 Could not delete: %.420s\r\n");
            return;
        }
        LogDelete(named);
        QuotaEntryRemoved(st);
        PurgeDirCacheEntryContainingFile(named);
        Reply("250 Symbolic link deleted.\r\n");
        return;
    }

    const bool known = SafeLstat(real, &st) == 0;
    if (SafeUnlink(real) < 0) {
        if (errno == ETXTBSY)
            Reply("450 File in use.\r\n");
        else
            ReplySysError(errno, "550 No such file.\r\n", "550 Could not delete: %.420s\r\n");
        return;
    }
    LogDelete(real);
    if (known)
        QuotaEntryRemoved(st);
    PurgeDirCacheEntryContainingFile(real);
    Reply("250 Deleted.\r\n");
}

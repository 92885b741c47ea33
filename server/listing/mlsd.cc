// MLSD: a directory's entries as fact lines over the data connection, read
// through the directory cache and written through the transfer buffer.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/userclass.h"
#include "listing/dircache.h"
#include "listing/ls.h"
#include "listing/mls.h"
#include "log/log.h"
#include "paths/paths.h"
#include "session/shell.h"
#include "status/shm.h"
#include "transfer/data.h"
#include "transfer/xbuf.h"
#include "transfer/xferlog.h"

namespace {

int PutMlsLine(const char *line, int len, int traceLines)
{
    if (traceLines)
        Log(kLogMisc, "  %.420s", line);
    const int result = XBufWrite(line, static_cast<size_t>(len));
    return result < 0 ? result : 0;
}

void LogMlsd(const char *path, const char *result, const char *pattern)
{
    LogItem(path, result, pattern, "MLSD", 'T', "DIRLIST");
}

void MlsdFailed(const char *path, const char *result, const char *pattern)
{
    gNumFailedDirListings++;
    LogMlsd(path, result, pattern);
}

}  // namespace

int MlsDir(const DirList *dl, const char *shownPath, int traceLines)
{
    char line[kMlsLineSize];
    if (gMlsOpts & kMlsType) {
        int n = Mls(line, sizeof(line), dl->path, &dl->dirSt, shownPath, 0, "cdir", &dl->parentSt);
        if (n > 0 && PutMlsLine(line, n, traceLines) < 0)
            return XBufFailed();
        n = Mls(line, sizeof(line), dl->path, &dl->parentSt, "..", 0, "pdir", nullptr);
        if (n > 0 && PutMlsLine(line, n, traceLines) < 0)
            return XBufFailed();
    }
    // The entry's own path is needed only to follow a link.
    const int resolve = gLsAlwaysResolveLinks;
    char path[kPathBufSize + 260];
    const size_t dirLen = strlen(dl->path);
    for (int i = 0; i < dl->nItems; i++) {
        const DirItem *it = dl->items[i];
        const bool follow = resolve && it->type == 'l';
        if (follow) {
            const int m = snprintf(path, sizeof(path), "%s%s%s", dl->path,
                                   dirLen > 0 && dl->path[dirLen - 1] == '/' ? "" : "/", it->name);
            if (m < 0 || m >= static_cast<int>(sizeof(path)))
                continue;
        }
        const int n = Mls(line, sizeof(line), follow ? path : nullptr, &it->st, it->name, follow ? 1 : 0, nullptr,
                          &dl->dirSt);
        if (n == 0)
            continue;
        const int result = PutMlsLine(line, n, traceLines);
        if (result < 0)
            return result;
    }
    return 0;
}

void Mlsd(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (!gAllowMls) {
        Reply("502 The %.8s command is disabled at this site.\r\n", "MLSD");
        return;
    }
    char text[kPathBufSize];
    ListingPathText(text, sizeof(text), arg);
    ResetXBuf();

    // The argument names a directory as it is written: "dir[1]" or "a*b"
    // are names here, not patterns.
    char dirText[kPathBufSize];
    char pattern[kPathBufSize] = "";
    Strncpy(dirText, text);

    // Listing reads, and MLSD is the listing of the L switch.
    if (!gAllow[kPermRead] || !gAllow[kPermMlsd]) {
        Reply("553 Sorry, you are not allowed to list any directories on this system.\r\n");
        MlsdFailed(dirText, "PERM", pattern);
        return;
    }
    TakeSessionGroups();
    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), gCwd, dirText) < 0) {
        PermissionDeniedBadPathname();
        MlsdFailed(dirText, "PERM", pattern);
        return;
    }
    _Trace(kLogMisc, "ls %03o %.128s %.64s\n", static_cast<unsigned>(kLsSortName), real,
           pattern[0] != '\0' ? pattern : "all");

    DirList dl;
    alarm(kLsAlarmSeconds);
    const int rc = Ls(&dl, real, kLsSortName, pattern, 1, gSessionUid, gListGroups, gNumListGroups);
    const int err = rc == kLsErrOpen ? errno : ENOMEM;
    alarm(0);
    if (rc < 0) {
        MlsdFailed(real, ReplyListError(err), pattern);
        return;
    }
    snprintf(gRUserPtr->command, sizeof(gRUserPtr->command), "Mlsd %.246s", real);
    gRUserPtr->lastCommandTime = ShmTime(nullptr);
    if (OpenData("MLS", -1) < 0) {
        LsDone(&dl);
        MlsdFailed(real, "ERROR", pattern);
        return;
    }
    char shown[kPathBufSize];
    VirtualPath(shown, sizeof(shown), real);
    MlsDir(&dl, shown, gTraceLogging >= 2);
    LsDone(&dl);

    XBufFlush(kModeBEndOfFile);
    gRestartPt = 0;
    if (XBufCanceled() || XBufFailed() != 0) {
        // A failed write is answered like an interrupt: the listing is incomplete.
        const bool canceled = XBufCanceled() != 0;
        CloseData(0);
        if (canceled)
            gCanceled = 1;
        Reply("426 Listing aborted.\r\n");
        MlsdFailed(real, canceled ? "ABOR" : "ERROR", pattern);
        return;
    }
    if (FinishData() < 0) {
        MlsdFailed(real, "ERROR", pattern);
        return;
    }
    Reply("226 Listing completed.\r\n");
    DidSomethingUseful();
    gNumSuccessfulDirListings++;
    LogMlsd(real, "OK", pattern);
}

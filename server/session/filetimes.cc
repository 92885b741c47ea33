// MDTM (reading, and setting a path's times) and MFMT, and the time setting
// that SITE UTIME shares with them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/exit.h"
#include "base/privchan.h"
#include "base/process.h"
#include "config/config.h"
#include "config/userclass.h"
#include "listing/dircache.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "paths/uniquefd.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "session/site.h"

namespace {

// The session's own upload, given away to another owner, gets its times
// from the pool child when the session's own process may not set them.
int SetTimesOfOwnUpload(const char *real, const struct timespec times[2])
{
    const int rc = SafeUtimens(real, times);
    if (rc == 0 || gPrivChannel < 0 || (errno != EPERM && errno != EACCES))
        return rc;
    // Open for reading if the new owner allows it, else only by name.
    UniqueFd file(SafeOpen(real, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (!file.ok())
        file.reset(SafeOpen(real, O_PATH | O_NOFOLLOW));
    if (!file.ok())
        return -1;
    PrivRequest req {};
    req.op = kPrivSetTimes;
    req.times[0] = times[0];
    req.times[1] = times[1];
    return PrivCall(req, file.get());
}

}  // namespace

time_t UnFTPDate(const char *text)
{
    struct tm t {};
    int n = sscanf(text, "%04d%02d%02d%02d%02d%02d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                   &t.tm_sec);
    if (n < 3 || t.tm_year < 1)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    // timegm moves an impossible date (a 13th month, 30 February, hour 24)
    // to another day without a word: such a date is refused instead.
    const struct tm asked = t;
    const time_t when = timegm(&t);
    if (t.tm_year != asked.tm_year || t.tm_mon != asked.tm_mon || t.tm_mday != asked.tm_mday ||
        t.tm_hour != asked.tm_hour || t.tm_min != asked.tm_min || t.tm_sec != asked.tm_sec)
        return -1;
    return when == static_cast<time_t>(-1) ? -1 : when;
}

void UtimeAndReply(const char *path, time_t atime, time_t mtime, int origin, const char *timeText)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if ((gAllowedSITECommands & kSiteUtime) == 0) {
        static constexpr const char *kReasons[] = {"set MDTM not allowed", "MFMT not allowed",
                                                   "SITE UTIME not allowed"};
        PermissionDenied(kReasons[origin]);
        return;
    }
    if (path[0] == '\0') {
        BadArgs();
        return;
    }
    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), gCwd, path) < 0 || real[0] == '\0') {
        PermissionDeniedBadPathname();
        return;
    }
    const bool ownUpload = gLastSuccessfulUploadedFile[0] != '\0' && strcmp(real, gLastSuccessfulUploadedFile) == 0;
    if (!ownUpload && !gAllow[kPermUtime]) {
        PermissionDenied("no utime permission");
        return;
    }
    struct timespec times[2] = {{atime, 0}, {mtime, 0}};
    if ((ownUpload ? SetTimesOfOwnUpload(real, times) : SafeUtimens(real, times)) < 0) {
        ReplySysError(errno, "550 No such file or directory.\r\n", "550 Failed to set timestamp: %.420s\r\n");
        return;
    }
    PurgeDirCacheEntryContainingFile(real);
    if (origin == kUtimeMfmt)
        Reply("213 %.63s %.420s\r\n", timeText, path);
    else
        Reply("250 Timestamps changed.\r\n");
}

void Mdtm(char *arg)
{
    char real[kPathBufSize];
    if (!PathPrologue(arg, -1, nullptr, real, sizeof(real)))
        return;
    struct stat st;
    if (SafeStat(real, &st) < 0) {
        const int err = errno;
        // "MDTM <date> <path>" sets the times of a path.
        const char *blank = strchr(arg, ' ');
        if (err == ENOENT && blank != nullptr) {
            const time_t when = UnFTPDate(arg);
            if (when != -1) {
                UtimeAndReply(blank + 1, when, when, kUtimeMdtm, nullptr);
                return;
            }
            if (blank - arg >= 8 && strspn(arg, "0123456789") == static_cast<size_t>(blank - arg)) {
                BadArgs();              // a date that no calendar has
                return;
            }
        }
        ReplySysError(err, "550 No such file or directory.\r\n", "550 stat failed: %.420s\r\n");
        return;
    }
    struct tm t;
    if (gmtime_r(&st.st_mtime, &t) == nullptr) {
        Reply("550 gmtime failed: %.420s\r\n", strerror(errno));
        return;
    }
    Reply("%d %04d%02d%02d%02d%02d%02d\r\n", S_ISDIR(st.st_mode) ? 212 : 213, t.tm_year + 1900, t.tm_mon + 1,
          t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

void Mfmt(char *arg)
{
    const char *blank = strchr(arg, ' ');
    const time_t when = blank != nullptr ? UnFTPDate(arg) : -1;
    if (when == -1) {
        BadArgs();
        return;
    }
    char timeText[64];
    snprintf(timeText, sizeof(timeText), "%.*s", static_cast<int>(blank - arg), arg);
    UtimeAndReply(blank + 1, when, when, kUtimeMfmt, timeText);
}

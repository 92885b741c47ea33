// LIST and NLST: option letters, patterns, the long, one-per-line, column and
// recursive formats, and the handler Nlst.
#include "listing/ls.h"

#include <climits>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "transfer/data.h"
#include "transfer/xferlog.h"
#include "log/log.h"
#include "paths/paths.h"
#include "listing/linebuilder.h"
#include "listing/pwcache.h"
#include "paths/safefs.h"
#include "session/shell.h"
#include "status/shm.h"
#include "paths/uniquefd.h"
#include "config/userclass.h"
#include "transfer/xbuf.h"

namespace {

constexpr const char *kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char *kPermTriplets[8] = {"---", "--x", "-w-", "-wx", "r--", "r-x", "rw-", "rwx"};
constexpr int kMaxLinkLevels = 7;
constexpr int kLinkPathSize = 340;           // followed link paths of up to 339 characters
constexpr int kPrefixMax = 399;              // directory prefix of one-per-line names
constexpr int kLineSize = 5120;              // a long line with a 4,096-byte link target
constexpr int kColumnsWidth = 77;
constexpr int kColumnsLineEnd = 85;          // entries may not run past this position
constexpr int kColumnsMaxName = 75;

// One line out through the transfer buffer, logged at trace level 2.
int PutLine(const char *line, size_t len, int traceLines)
{
    if (traceLines)
        Log(kLogMisc, "  %.420s", line);
    const int result = XBufWrite(line, len);
    return result < 0 ? result : 0;
}

bool Stopped()
{
    return XBufCanceled() || XBufFailed() != 0;
}

// The suffix shown after a name: '@' for a link in the short formats while
// links are not resolved; '*' never with -p.
char ShownSuffix(const DirItem *it, int classify, int resolveLinks, bool shortFormat)
{
    if (classify == kClassifyNone)
        return '\0';
    if (it->type == 'l' && !resolveLinks && shortFormat)
        return '@';
    if (classify == kClassifyNotFiles && it->suffix == '*')
        return '\0';
    return it->suffix;
}

// Follows a symbolic link of the listing (at most 7 links, paths of up to
// 339 characters) to what it finally names, for display only: the status is
// shown, nothing is opened.  dirFd is the listed directory, opened through
// the door; the entry's target was read from it when the listing was made,
// and relative paths are looked up from it, not by the directory's name.
// The length limit counts the directory's name all the same.
bool FollowLink(int dirFd, const char *dir, const DirItem *it, struct stat *out)
{
    if (dirFd < 0 || it->linkTarget == nullptr)
        return false;
    const size_t dirPrefix = strlen(dir) + 1;      // what "dir/" adds to a relative path
    // The link being followed: relative to dirFd, or absolute.
    char path[kLinkPathSize];
    if (dirPrefix + strlen(it->name) >= sizeof(path))
        return false;
    Strncpy(path, it->name);
    char target[kLinkPathSize];
    if (strlen(it->linkTarget) >= sizeof(target) - 1)
        return false;                   // longer than one read of the link could take whole
    Strncpy(target, it->linkTarget);
    for (int level = 0; level < kMaxLinkLevels; level++) {
        if (level > 0) {
            const ssize_t n = readlinkat(dirFd, path, target, sizeof(target) - 1);
            if (n < 0 || n >= static_cast<ssize_t>(sizeof(target)) - 1)
                return false;           // a target that filled the buffer may have been cut
            target[n] = '\0';
        }
        char next[kLinkPathSize];
        const char *slash = strrchr(path, '/');
        const int dirLen = slash != nullptr ? static_cast<int>(slash - path) : 0;
        const int n = target[0] != '/' && slash != nullptr
                          ? snprintf(next, sizeof(next), "%.*s/%s", dirLen, path, target)
                          : snprintf(next, sizeof(next), "%s", target);
        const size_t whole = static_cast<size_t>(n) + (next[0] == '/' ? 0 : dirPrefix);
        if (n >= static_cast<int>(sizeof(next)) || whole >= sizeof(next))
            return false;
        if (fstatat(dirFd, next, out, AT_SYMLINK_NOFOLLOW) < 0)
            return false;
        if (!S_ISLNK(out->st_mode))
            return true;
        Strncpy(path, next);
    }
    return false;
}

// The status of what the link it->name in the listed directory leads to, for
// display, when the session may reach it: the link's path must pass the
// access check, and what is shown is the checked real path's own status (the
// link walk above follows ".." physically, the check textually; showing the
// checked place keeps the two from disagreeing).  A link out of the area or
// into a denied tree is shown as a link.
bool ReachableTarget(int dirFd, const char *dir, const DirItem *it, struct stat *out)
{
    struct stat walked;
    if (!FollowLink(dirFd, dir, it, &walked))
        return false;
    char linkPath[kPathBufSize];
    char checked[kPathBufSize];
    const int n = snprintf(linkPath, sizeof(linkPath), "%s/%s", strcmp(dir, "/") == 0 ? "" : dir, it->name);
    if (n < 0 || n >= static_cast<int>(sizeof(linkPath)))
        return false;
    if (CheckRealPathName(checked, sizeof(checked), linkPath) < 0 || checked[0] == '\0')
        return false;
    return SafeStat(checked, out) == 0 && !S_ISLNK(out->st_mode);
}

// Width of the size column for the largest regular file.
int SizeWidth(int64_t largest)
{
    if (largest <= 2)
        return 1;
    int k = 1;
    int64_t power = 10;
    while (largest - 1 > power && power <= INT64_MAX / 10) {
        power *= 10;
        k++;
    }
    return largest - 1 > power ? k + 1 : k;      // beyond 10^18 only 10^19 is left
}

void PermissionText(char *dst, mode_t mode)
{
    memcpy(dst, kPermTriplets[(mode >> 6) & 7], 3);
    memcpy(dst + 3, kPermTriplets[(mode >> 3) & 7], 3);
    memcpy(dst + 6, kPermTriplets[mode & 7], 3);
    dst[9] = '\0';
}

const char *ActivityVerb(const LsOptions &opt)
{
    if (opt.recursive)
        return opt.format == 'l' ? "List -R" : "Nlst -R";
    if (opt.format == 'l')
        return "List";
    return opt.format == '1' ? "Nlst -1" : "Nlst -C";
}

void RecordActivity(const LsOptions &opt, const char *path)
{
    snprintf(gRUserPtr->command, sizeof(gRUserPtr->command), "%s %.246s", ActivityVerb(opt), path);
    gRUserPtr->lastCommandTime = ShmTime(nullptr);
}

int WriteListing(const DirList *dl, char format, int classify, int resolveLinks, bool prefix, const char *dirText)
{
    const int traceLines = gTraceLogging >= 2;
    if (format == '1')
        return Ls1(dl, classify, resolveLinks, prefix, dirText, traceLines);
    if (format == 'l')
        return LsL(dl, classify, resolveLinks, traceLines);
    return LsC(dl, classify, resolveLinks, traceLines);
}

// The transfer-log record of a listing.
void LogListing(const char *path, const char *result, const char *pattern, const LsOptions &opt)
{
    char mode[8];
    snprintf(mode, sizeof(mode), "-%c%s", opt.format, opt.recursive ? "R" : "");
    LogItem(path, result, pattern, mode, 'T', "DIRLIST");
}

// A refused listing: counted and recorded.
void ListingFailed(const char *path, const char *result, const char *pattern, const LsOptions &opt)
{
    gNumFailedDirListings++;
    LogListing(path, result, pattern, opt);
}

}  // namespace

void ListingPathText(char *dst, size_t size, const char *arg)
{
    Strncpy(dst, arg, size);
    size_t len = strlen(dst);
    if (len > 0 && dst[len - 1] == '\n')
        dst[--len] = '\0';
    if (len > 0 && dst[len - 1] == '\r')
        dst[--len] = '\0';
    if (len == 0)
        Strncpy(dst, ".", size);
}

void SplitPattern(const char *text, char *dir, size_t dirSize, char *pattern, size_t patSize, bool *prefix)
{
    *prefix = false;
    pattern[0] = '\0';
    Strncpy(dir, text, dirSize);
    const char *slash = strrchr(text, '/');
    const char *last = slash != nullptr ? slash + 1 : text;
    if (strpbrk(last, "*[?") == nullptr)
        return;
    Strncpy(pattern, last, patSize);
    if (slash == nullptr) {
        Strncpy(dir, ".", dirSize);
    } else if (slash == text) {
        Strncpy(dir, "/", dirSize);
        *prefix = true;
    } else {
        Strncpy(dir, text, std::min(dirSize, static_cast<size_t>(slash - text) + 1));
        *prefix = true;
    }
}

gid_t gListGroups[kMaxListGroups];
int gNumListGroups;

void TakeSessionGroups()
{
    int n = getgroups(kMaxListGroups - 1, gListGroups);
    if (n < 0)
        n = 0;
    gListGroups[n++] = getegid();
    gNumListGroups = n;
}

const char *ReplyListError(int err)
{
    if (err == ENOENT) {
        NoSuchFile();
        return "NOENT";
    }
    if (err == EACCES) {
        PermissionDenied(nullptr);
        return "PERM";
    }
    Reply("550 Ls failed: %.420s\r\n", strerror(err));
    return "ERROR";
}

int ParseLsOptions(char *arg, char defaultFormat, LsOptions *opt, char **rest)
{
    *opt = LsOptions{defaultFormat, 0, kClassifyNone, gLsAlwaysResolveLinks ? 1 : 0, 0};
    char *p = arg;
    while (*p == '-') {
        if (p[1] == '-' && (p[2] == '\0' || isspace(static_cast<unsigned char>(p[2])))) {
            p += 2;
            while (isspace(static_cast<unsigned char>(*p)))
                p++;
            break;
        }
        for (p++; *p != '\0' && !isspace(static_cast<unsigned char>(*p)); p++) {
            switch (*p) {
            case 'l':
            case '1':
            case 'C':
                opt->format = *p;
                break;
            case 'r':
                opt->sortBits |= 1;
                break;
            case 't':
                opt->sortBits |= 2;
                break;
            case 'S':
                opt->sortBits |= 4;
                break;
            case 'F':
                opt->classify = kClassifyAll;
                break;
            case 'p':
                opt->classify = kClassifyNotFiles;
                break;
            case 'L':
                opt->resolveLinks = 1;
                break;
            case '7':
                opt->resolveLinks = 0;
                break;
            case 'R':
                opt->recursive = 1;
                break;
            case 'a':
            case 'A':
            case 'g':
            case '-':
                break;
            case 'd':
                return kLsOptDashD;
            default:
                return kLsOptUnknown;
            }
        }
        while (isspace(static_cast<unsigned char>(*p)))
            p++;
    }
    *rest = p;
    return kLsOptOk;
}

void LsDate(char *buf, size_t size, time_t t, int useUTC, const char *format)
{
    if (size == 0)
        return;
    struct tm tmv;
    const struct tm *tp = useUTC ? gmtime_r(&t, &tmv) : localtime_r(&t, &tmv);
    if (tp == nullptr || tp->tm_mon < 0 || tp->tm_mon > 11) {
        Strncpy(buf, "Jan  0  1900", size);
        return;
    }
    if (format != nullptr && format[0] != '\0') {
        if (strftime(buf, size, format, tp) == 0 && size > 0)
            buf[0] = '\0';
        return;
    }
    const time_t now = ShmTime(nullptr);
    LineBuilder b{buf, size};
    b.Put(kMonths[tp->tm_mon], 3);
    b.Put(' ');
    b.PutRight(static_cast<unsigned long long>(tp->tm_mday), 2);
    if (t > now - kLsRecentSeconds && t < now + kLsFutureSeconds) {
        b.Put(' ');
        b.Put(static_cast<char>('0' + tp->tm_hour / 10));
        b.Put(static_cast<char>('0' + tp->tm_hour % 10));
        b.Put(':');
        b.Put(static_cast<char>('0' + tp->tm_min / 10));
        b.Put(static_cast<char>('0' + tp->tm_min % 10));
    } else if (tp->tm_year + 1900 >= 0) {
        b.Put("  ", 2);
        b.PutRight(static_cast<unsigned long long>(tp->tm_year + 1900), 4);
    } else {                        // a year before 0 keeps its sign
        char year[16];
        snprintf(year, sizeof(year), "  %4d", tp->tm_year + 1900);
        b.Put(year);
    }
    b.Text();
}

int LsL(const DirList *dl, int classify, int resolveLinks, int traceLines)
{
    const int width = SizeWidth(dl->largestSize);
    const char *dateFormat = gLsDateFormat[0] != '\0' ? gLsDateFormat : nullptr;
    // Links are followed from the listed directory as it is now, entered
    // through the door: a directory swapped for a link shows them unresolved.
    UniqueFd dir(resolveLinks ? SafeOpen(dl->path, O_PATH | O_DIRECTORY) : -1);
    std::array<char, kLineSize> line;
    for (int i = 0; i < dl->nItems; i++) {
        const DirItem *it = dl->items[i];
        const struct stat *st = &it->st;
        char type = it->type;
        bool showTarget = it->type == 'l';
        struct stat target;
        if (it->type == 'l' && resolveLinks && ReachableTarget(dir.get(), dl->path, it, &target)) {
            st = &target;
            type = S_ISDIR(target.st_mode) ? 'd' : '-';
            showTarget = false;
        }
        char perms[10];
        PermissionText(perms, st->st_mode);
        char date[kLsDateFormatSize + 16];
        LsDate(date, sizeof(date), st->st_mtime, !gLsTimeLocal, dateFormat);
        LineBuilder b{line.data(), line.size()};
        b.Put(type);
        b.Put(perms, 9);
        b.Put(' ');
        b.PutRight(static_cast<unsigned long long>(st->st_nlink), 3);
        b.Put(' ');
        if (!gLsLg) {
            b.PutLeft(PwSearch(static_cast<int32_t>(st->st_uid)), 8);
            b.Put(' ');
        }
        b.PutLeft(GrSearch(static_cast<int32_t>(st->st_gid)), 8);
        b.Put("  ", 2);
        b.PutRight(static_cast<unsigned long long>(std::max<off_t>(st->st_size, 0)), width);
        b.Put(' ');
        b.Put(date);
        b.Put(' ');
        b.Put(it->name);
        if (showTarget) {
            b.Put(" -> ", 4);
            b.Put(it->linkTarget);
        }
        if (const char suffix = ShownSuffix(it, classify, resolveLinks, false); suffix != '\0')
            b.Put(suffix);
        b.Put("\r\n", 2);
        const int result = PutLine(b.Text(), b.len, traceLines);
        if (result < 0)
            return result;
    }
    return 0;
}

int Ls1(const DirList *dl, int classify, int resolveLinks, int prefix, const char *dirText, int traceLines)
{
    char before[kPrefixMax + 2] = "";
    if (prefix && dirText != nullptr) {
        snprintf(before, sizeof(before), "%.*s", kPrefixMax, dirText);
        if (strcmp(before, "/") != 0)
            Strncat(before, "/");
    }
    char line[sizeof(before) + 512];
    for (int i = 0; i < dl->nItems; i++) {
        const DirItem *it = dl->items[i];
        const char suffix[2] = {ShownSuffix(it, classify, resolveLinks, true), '\0'};
        const int n = snprintf(line, sizeof(line), "%s%s%s\r\n", before, it->name, suffix);
        const int result = PutLine(line, std::min(static_cast<size_t>(n), sizeof(line) - 1), traceLines);
        if (result < 0)
            return result;
    }
    return 0;
}

int LsC(const DirList *dl, int classify, int resolveLinks, int traceLines)
{
    if (dl->longestName > kColumnsMaxName)
        return Ls1(dl, classify, resolveLinks, 0, nullptr, traceLines);
    const int width = dl->longestName + (classify != kClassifyNone ? 1 : 0);
    const int columns = std::max(1, kColumnsWidth / (width + 2));
    const int columnWidth = kColumnsWidth / columns;
    const int rows = (dl->nItems + columns - 1) / columns;
    for (int r = 0; r < rows; r++) {
        char line[kColumnsLineEnd + 8];
        memset(line, ' ', sizeof(line));
        int end = 0;
        for (int c = 0; c < columns; c++) {
            const int index = r + c * rows;
            if (index >= dl->nItems)
                break;
            const DirItem *it = dl->items[index];
            const char suffix = ShownSuffix(it, classify, resolveLinks, true);
            const int offset = c * columnWidth;
            const int len = it->nameLen + (suffix != '\0' ? 1 : 0);
            if (offset + len > kColumnsLineEnd)
                continue;
            memcpy(line + offset, it->name, static_cast<size_t>(it->nameLen));
            if (suffix != '\0')
                line[offset + it->nameLen] = suffix;
            end = std::max(end, offset + len);
        }
        while (end > 0 && line[end - 1] == ' ')
            end--;
        line[end++] = '\r';
        line[end++] = '\n';
        line[end] = '\0';
        const int result = PutLine(line, static_cast<size_t>(end), traceLines);
        if (result < 0)
            return result;
    }
    return 0;
}

namespace {

// Whether the recursion may enter a subdirectory: it must pass the access
// check of the commands (path lists, confinement, /etc, filter) and still be
// the directory that was listed, not a link put in its place since.
bool MayDescend(const char *sub)
{
    char real[kPathBufSize];
    return CheckRealPathName(real, sizeof(real), sub) == 0 && strcmp(real, sub) == 0;
}

}  // namespace

int LsR(const char *displayRoot, const char *startPath, const char *curPath, char format, int sortOrder,
        int classify, int resolveLinks, int level)
{
    const int traceLines = gTraceLogging >= 2;
    // What the client sees for this directory: its text and the part below it.
    char shown[kPathBufSize * 2];
    const size_t startLen = strlen(startPath);
    const bool below = strncmp(curPath, startPath, startLen) == 0
                       && (curPath[startLen] == '/' || curPath[startLen] == '\0' || strcmp(startPath, "/") == 0);
    if (below) {
        const char *rest = curPath + startLen;
        snprintf(shown, sizeof(shown), "%s%s%s", displayRoot[0] == '.' ? "" : "./", displayRoot, rest);
    } else {
        Strncpy(shown, curPath);
    }
    if (level >= 2) {
        char header[sizeof(shown) + 4];
        const int n = snprintf(header, sizeof(header), "%s:\r\n", shown);
        if (PutLine("\r\n", 2, traceLines) < 0
            || PutLine(header, std::min(static_cast<size_t>(n), sizeof(header) - 1), traceLines) < 0)
            return XBufFailed();
    }

    DirList dl;
    if (Ls(&dl, curPath, sortOrder, nullptr, 0, gSessionUid, gListGroups, gNumListGroups) < 0) {
        char line[256];
        const int n = snprintf(line, sizeof(line), "%.100s: %.100s\r\n", level >= 2 ? shown : displayRoot,
                               strerror(errno));
        const int result = PutLine(line, std::min(static_cast<size_t>(n), sizeof(line) - 1), traceLines);
        return result < 0 ? result : 1;
    }
    int errors = 0;
    int result = WriteListing(&dl, format, classify, resolveLinks, false, nullptr);
    if (result == 0 && level > kLsMaxRecursion) {
        static constexpr char kTooDeep[] = "LsR: too many levels of recursion.\r\n";
        result = PutLine(kTooDeep, sizeof(kTooDeep) - 1, traceLines);
    } else {
        for (int i = 0; result == 0 && i < dl.nItems && !Stopped(); i++) {
            const DirItem *it = dl.items[i];
            if (it->type != 'd' || strcmp(it->name, ".") == 0 || strcmp(it->name, "..") == 0)
                continue;
            char sub[kPathBufSize];
            const int n = snprintf(sub, sizeof(sub), "%s%s%s", curPath, strcmp(curPath, "/") == 0 ? "" : "/",
                                   it->name);
            if (n >= static_cast<int>(sizeof(sub))) {
                // A cut path could name another directory: report it instead.
                char line[256];
                const int m = snprintf(line, sizeof(line), "%.100s/%.100s: %.100s\r\n", shown, it->name,
                                       strerror(ENAMETOOLONG));
                result = PutLine(line, std::min(static_cast<size_t>(m), sizeof(line) - 1), traceLines);
                errors++;
                continue;
            }
            if (!MayDescend(sub))
                continue;
            const int subResult = LsR(displayRoot, startPath, sub, format, sortOrder, classify, resolveLinks,
                                       level + 1);
            if (subResult < 0)
                result = subResult;
            else
                errors += subResult;
        }
    }
    LsDone(&dl);
    return result < 0 ? result : errors;
}

void Nlst(char *arg, int style)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    LsOptions opt;
    char *path = nullptr;
    const int parsed = ParseLsOptions(arg, static_cast<char>(style), &opt, &path);
    if (parsed != kLsOptOk) {
        if (parsed == kLsOptDashD)
            Reply("504 \"-d\" ls flag is not implemented (Zorva 2.x users should upgrade to 3.x).\r\n");
        else
            Reply("504 Only ls flags accepted are -C, -F, -l, -t, -r, -1, -S, -L, -R, and -p.\r\n");
        ListingFailed(arg, "ERROR", "", opt);
        return;
    }

    char text[kPathBufSize];
    ListingPathText(text, sizeof(text), path);
    ResetXBuf();

    char dirText[kPathBufSize];
    char pattern[kPathBufSize];
    bool prefix = false;
    SplitPattern(text, dirText, sizeof(dirText), pattern, sizeof(pattern), &prefix);

    if (!gAllow[kPermRead]) {
        Reply("553 Sorry, you are not allowed to list any directories on this system.\r\n");
        ListingFailed(dirText, "PERM", pattern, opt);
        return;
    }
    TakeSessionGroups();
    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), gCwd, dirText) < 0) {
        PermissionDeniedBadPathname();
        ListingFailed(dirText, "PERM", pattern, opt);
        return;
    }

    if (!opt.recursive) {
        struct stat st;
        // EACCES for a link put in since the check: the check's own 553.
        if (SafeStat(real, &st) < 0) {
            const int err = errno;
            ListingFailed(real, ReplyListError(err), pattern, opt);
            return;
        }
        if (S_ISREG(st.st_mode)) {
            // A plain file: its directory, with the file's name as the pattern.
            char *slash = strrchr(real, '/');
            Strncpy(pattern, slash + 1, sizeof(pattern));
            if (slash == real)
                slash[1] = '\0';
            else
                *slash = '\0';
            const char *textSlash = strrchr(text, '/');
            prefix = textSlash != nullptr;
            if (textSlash == text)
                Strncpy(dirText, "/");
            else if (textSlash != nullptr)
                Strncpy(dirText, text, std::min(sizeof(dirText), static_cast<size_t>(textSlash - text) + 1));
        }
        _Trace(kLogMisc, "ls -%c %03o [%.128s] [%.64s]\n", opt.format, static_cast<unsigned>(opt.sortBits), real,
               pattern[0] != '\0' ? pattern : "all");

        DirList dl;
        alarm(kLsAlarmSeconds);
        const int rc = Ls(&dl, real, opt.sortBits, pattern, 1, gSessionUid, gListGroups, gNumListGroups);
        const int err = rc == kLsErrOpen ? errno : ENOMEM;
        alarm(0);
        if (rc < 0) {
            ListingFailed(real, ReplyListError(err), pattern, opt);
            return;
        }
        RecordActivity(opt, real);
        if (OpenData("/bin/ls", -1) < 0) {
            LsDone(&dl);
            ListingFailed(real, "ERROR", pattern, opt);
            return;
        }
        WriteListing(&dl, opt.format, opt.classify, opt.resolveLinks, prefix, dirText);
        LsDone(&dl);
    } else {
        _Trace(kLogMisc, "ls -R %03o [%.128s] [%.64s]\n", static_cast<unsigned>(opt.sortBits), real,
               pattern[0] != '\0' ? pattern : "all");
        RecordActivity(opt, real);
        if (OpenData("/bin/ls", -1) < 0) {
            ListingFailed(real, "ERROR", pattern, opt);
            return;
        }
        LsR(dirText, real, real, opt.format, opt.sortBits, opt.classify, opt.resolveLinks, 1);
    }

    XBufFlush(kModeBEndOfFile);
    gRestartPt = 0;
    if (XBufCanceled() || XBufFailed() != 0) {
        // A failed write is answered like an interrupt: the listing is incomplete.
        const bool canceled = XBufCanceled() != 0;
        CloseData(0);
        if (canceled)
            gCanceled = 1;
        Reply("426 Listing aborted.\r\n");
        ListingFailed(real, "ERROR", pattern, opt);
        return;
    }
    if (FinishData() < 0) {
        ListingFailed(real, "ERROR", pattern, opt);
        return;
    }
    Reply("226 Listing completed.\r\n");
    DidSomethingUseful();
    gNumSuccessfulDirListings++;
    LogListing(real, opt.recursive ? "RECURSIVE" : "OK", pattern, opt);
}

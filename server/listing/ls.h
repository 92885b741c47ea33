// LIST and NLST: directory listings in the formats of the Unix ls program,
// made inside the server from the directory cache and written through the
// transfer buffer.  Nlst (declared in shell.h) is the handler of both.
#pragma once

#include <climits>
#include <sys/types.h>

#include <cstddef>
#include <ctime>

#include "listing/dircache.h"

// Classify suffixes: none, on every entry (-F), on all but regular files (-p).
constexpr int kClassifyNone = 0;
constexpr int kClassifyAll = 1;
constexpr int kClassifyNotFiles = 2;

constexpr int kLsRecentSeconds = 15552000;   // 180 days: newer dates show the time
constexpr int kLsFutureSeconds = 3600;
constexpr int kLsMaxRecursion = 63;          // deeper levels are not descended
constexpr int kLsAlarmSeconds = 600;         // bound of reading one directory for LIST/NLST

// Options of the argument.
struct LsOptions {
    char format;                             // 'l' long, '1' one per line, 'C' columns
    int sortBits;                            // -r 1, -t 2, -S 4: the sort order code
    int classify;
    int resolveLinks;
    int recursive;
};

// Results of ParseLsOptions.
constexpr int kLsOptOk = 0;
constexpr int kLsOptDashD = -1;              // -d
constexpr int kLsOptUnknown = -2;            // any other letter not accepted

// The path of a listing command: arg without a trailing line end; "." when
// nothing is left.
void ListingPathText(char *dst, size_t size, const char *arg);

// The glob pattern of a listing argument: when the last component of text
// holds '*', '[' or '?', it goes to pattern and dir gets what precedes it
// ("." or "/" when nothing does); *prefix tells that the names are shown
// under that directory.  Otherwise dir is the whole text, pattern empty.
void SplitPattern(const char *text, char *dir, size_t dirSize, char *pattern, size_t patSize, bool *prefix);

// The user's groups (supplementary and effective), for the hide-inaccessible
// rule and the rights of the MLSD facts; taken once per listing.
constexpr int kMaxListGroups = NGROUPS_MAX + 1;
extern gid_t gListGroups[kMaxListGroups];
extern int gNumListGroups;
void TakeSessionGroups();

// Answers a failed stat or read of a listed directory (ENOENT 550, EACCES
// 553, else "550 Ls failed: ..."); returns the transfer-log result.
const char *ReplyListError(int err);

// Reads the leading option runs of arg; *rest gets the text after them.
int ParseLsOptions(char *arg, char defaultFormat, LsOptions *opt, char **rest);

// The date column of a long listing: a strftime format when given, else
// month, day and either the time (recent dates) or the year.
void LsDate(char *buf, size_t size, time_t t, int useUTC, const char *format);

// The formatters write the listing through the transfer buffer; they return
// 0, or the negative result of a failed write.  traceLines logs each line.
int LsL(const DirList *dl, int classify, int resolveLinks, int traceLines);
int Ls1(const DirList *dl, int classify, int resolveLinks, int prefix, const char *dirText, int traceLines);
int LsC(const DirList *dl, int classify, int resolveLinks, int traceLines);

// Recursive listing of curPath (level 1 is startPath itself); displayRoot is
// the directory text the client gave.  Returns the number of directories
// that could not be read, or a negative write result.
int LsR(const char *displayRoot, const char *startPath, const char *curPath, char format, int sortOrder,
        int classify, int resolveLinks, int level);

// Disk quotas of virtual users: the per-session usage figures, the checks the
// transfer and file commands ask, and the texts of the over-quota replies.
// The usage and limit figures themselves (gUserBytesUsage, ...) are session
// state, defined and reset with the rest of it (session/shell.cc).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

// ---- The session's figures (session state, reset by ResetSessionInfo) --------
extern int64_t gUserBytesUsage, gUserFilesUsage;
extern int64_t gUserBytesUsageHardLimit, gUserBytesUsageSoftLimit;
extern int64_t gUserFilesUsageHardLimit, gUserFilesUsageSoftLimit;
extern double gQuotaDura;   // seconds the first walk of the session took
extern int64_t gQuotaDirCount, gQuotaMaxDepth;

constexpr int kQuotaStringSize = 32;
constexpr int kNumQuotaStrings = 7;
// The order of GetQuotaStrings' results.
enum QuotaString {
    kQuotaBytesUsed = 0,
    kQuotaBytesHardLimit = 1,
    kQuotaBytesSoftLimit = 2,
    kQuotaFilesUsed = 3,
    kQuotaFilesHardLimit = 4,
    kQuotaFilesSoftLimit = 5,
    kQuotaDuration = 6,
};

// The master, once before it forks: the table where the sessions of a user
// share its usage (quota/shared.h).  Without it each session counts alone.
void QuotaCreateSharedTable();
// At the end of a session: the last session of a user frees its shared
// record, so that the next login measures what changed meanwhile.
void QuotaSessionEnd();
// The pool child's answer to a quota request of its session's process
// (base/privchan.h): 0 with the figures in answer->value, or -1 with errno.
struct PrivRequest;
struct PrivAnswer;
[[nodiscard]] int QuotaServe(const PrivRequest &req, PrivAnswer *answer);
// At each login: usage unknown, no limits.
void SessionResetQuota();
// Login hands over the limits of the user's password record (kB and files;
// 0 or less: none).  Kept until the next SessionResetQuota.
void SessionSetQuotaLimits(int32_t hardKB, int32_t softKB, int32_t hardFiles, int32_t softFiles);
// Login names the user whose record the session shares: the whole name, of
// which a status slot shows only the start.
void SessionSetQuotaUser(const char *name);
// Computes usage and limits once per session (nothing when already done):
// the limits from the record, the usage by walking the home tree
// (gHomeDir) when there is a limit.
void ComputeQuota();
// Before an upload: what the other sessions of the user changed counts.
// With a shared record that is the record; without one, and when the same
// user has another live session, the tree is measured again.
void QuotaRefreshIfShared();

[[nodiscard]] bool IsUserOverBytesQuota();
[[nodiscard]] bool IsUserOverFilesQuota();
[[nodiscard]] bool IsUserOverSoftBytesQuota();
[[nodiscard]] bool IsUserOverSoftFilesQuota();
// Either hard limit reached.
[[nodiscard]] bool IsUserOverQuota();

// Adjust the usage by a signed delta (never below 0); true when the hard
// limit is set and now reached.
bool QuotaAddBytes(int64_t delta);
bool QuotaAddFiles(int64_t delta);
// An entry with status st (from before) is gone: its file and its bytes go
// back, if the measuring rule counted it.
void QuotaEntryRemoved(const struct stat &st);
// The bytes of a file with status st were cut or replaced by an upload
// (whose own file already counts): they go back, if they counted.
void QuotaBytesReplaced(const struct stat &st);
// An upload charges bytes it has read before it writes them: up to want
// bytes, never past the hard limit; returns how many it may write (0: the
// limit is reached).
[[nodiscard]] int64_t QuotaReserveBytes(int64_t want);

// Whatever makes new entries charges them before it makes them: n files
// at once, all within the hard limit; false (nothing charged) when they do
// not fit.  An entry not made after all goes back with QuotaAddFiles(-1).
[[nodiscard]] bool QuotaReserveFiles(int64_t n);

// The warnings logged after a transfer of a user over a limit.
void LogQuotaWarnings();

// Usage, limits and duration as texts, in the order of QuotaString.
void GetQuotaStrings(char dst[kNumQuotaStrings][kQuotaStringSize]);

// The SITE QUOTA reply, complete with its codes and line ends, into dst.
void Quota(char *dst, size_t size);

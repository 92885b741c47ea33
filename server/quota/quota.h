// Disk quotas of virtual users: the per-session usage figures, the checks the
// transfer and file commands ask, and the texts of the over-quota replies.
// The usage and limit figures themselves (gUserBytesUsage, ...) are session
// state, defined and reset with the rest of it (session/shell.cc).
#pragma once

#include <cstdint>

// ---- The session's figures (session state, reset by ResetSessionInfo) --------
extern int64_t gUserBytesUsage, gUserFilesUsage;
extern int64_t gUserBytesUsageHardLimit, gUserBytesUsageSoftLimit;
extern int64_t gUserFilesUsageHardLimit, gUserFilesUsageSoftLimit;
extern int64_t gQuotaDura, gQuotaDirCount, gQuotaMaxDepth;

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

// At each login: usage unknown, no limits.
void SessionResetQuota();
// Computes usage and limits once per session (nothing when already done).
void ComputeQuota();

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

// The warnings logged after a transfer of a user over a limit.
void LogQuotaWarnings();

// Usage, limits and duration as texts, in the order of QuotaString.
void GetQuotaStrings(char dst[kNumQuotaStrings][kQuotaStringSize]);

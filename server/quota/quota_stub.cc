// TEMPORARY quota routines: until the quota code measures the user's tree and
// reads the limits from the password record, every user has no limits.  The
// checks, the usage deltas and the texts already behave as they will with
// limits, so the callers need no change when the real bodies arrive.
#include "quota/quota.h"

#include <cstdio>

#include "Strn.h"
#include "log/log.h"
#include "status/shm.h"

namespace {

bool Reached(int64_t usage, int64_t limit)
{
    return limit > 0 && usage >= limit;
}

bool AddClamped(int64_t *usage, int64_t delta, int64_t hardLimit)
{
    ComputeQuota();
    *usage += delta;
    if (*usage < 0)
        *usage = 0;
    return Reached(*usage, hardLimit);
}

}  // namespace

void SessionResetQuota()
{
    gUserBytesUsage = gUserFilesUsage = -1;
    gUserBytesUsageHardLimit = gUserBytesUsageSoftLimit = 0;
    gUserFilesUsageHardLimit = gUserFilesUsageSoftLimit = 0;
    gQuotaDura = gQuotaDirCount = gQuotaMaxDepth = 0;
}

void ComputeQuota()
{
    if (gUserBytesUsage != -1)
        return;
    gUserBytesUsage = 0;
    gUserFilesUsage = 1;
    gUserBytesUsageHardLimit = gUserBytesUsageSoftLimit = 0;
    gUserFilesUsageHardLimit = gUserFilesUsageSoftLimit = 0;
}

bool IsUserOverBytesQuota()
{
    ComputeQuota();
    return Reached(gUserBytesUsage, gUserBytesUsageHardLimit);
}

bool IsUserOverFilesQuota()
{
    ComputeQuota();
    return Reached(gUserFilesUsage, gUserFilesUsageHardLimit);
}

bool IsUserOverSoftBytesQuota()
{
    ComputeQuota();
    return Reached(gUserBytesUsage, gUserBytesUsageSoftLimit);
}

bool IsUserOverSoftFilesQuota()
{
    ComputeQuota();
    return Reached(gUserFilesUsage, gUserFilesUsageSoftLimit);
}

bool IsUserOverQuota()
{
    return IsUserOverBytesQuota() || IsUserOverFilesQuota();
}

bool QuotaAddBytes(int64_t delta)
{
    return AddClamped(&gUserBytesUsage, delta, gUserBytesUsageHardLimit);
}

bool QuotaAddFiles(int64_t delta)
{
    return AddClamped(&gUserFilesUsage, delta, gUserFilesUsageHardLimit);
}

void LogQuotaWarnings()
{
    if (gUserBytesUsage == -1)
        return;
    const char *user = gRUserPtr->user;
    const long long bytes = gUserBytesUsage;
    if (IsUserOverBytesQuota())
        Log(kLogMisc, "User \"%.63s\" exceeded size quota (%lld > %lld)\n", user, bytes,
            static_cast<long long>(gUserBytesUsageHardLimit));
    else if (IsUserOverSoftBytesQuota())
        Log(kLogMisc, "User \"%.63s\" exceeded size soft quota (%lld > %lld)\n", user, bytes,
            static_cast<long long>(gUserBytesUsageSoftLimit));
    const int files = static_cast<int>(gUserFilesUsage);
    if (IsUserOverFilesQuota())
        Log(kLogMisc, "User \"%.63s\" exceeded files quota (%d > %d)\n", user, files,
            static_cast<int>(gUserFilesUsageHardLimit));
    else if (IsUserOverSoftFilesQuota())
        Log(kLogMisc, "User \"%.63s\" exceeded files soft quota (%d > %d)\n", user, files,
            static_cast<int>(gUserFilesUsageSoftLimit));
}

void GetQuotaStrings(char dst[kNumQuotaStrings][kQuotaStringSize])
{
    ComputeQuota();
    if (gUserBytesUsageHardLimit == 0 && gUserBytesUsageSoftLimit == 0 && gUserFilesUsageHardLimit == 0
        && gUserFilesUsageSoftLimit == 0) {
        for (int i = 0; i < kQuotaDuration; i++)
            Strncpy(dst[i], "(not applicable)", kQuotaStringSize);
        Strncpy(dst[kQuotaDuration], "0.0", kQuotaStringSize);
        return;
    }
    auto bytes = [](char *d, int64_t v, bool limit) {
        if (limit && v == 0)
            Strncpy(d, "(no limit)", kQuotaStringSize);
        else
            snprintf(d, kQuotaStringSize, "%lld", static_cast<long long>(v));
    };
    auto files = [](char *d, int64_t v, bool limit) {
        if (limit && v == 0)
            Strncpy(d, "(no limit)", kQuotaStringSize);
        else
            snprintf(d, kQuotaStringSize, "%d", static_cast<int>(v));
    };
    bytes(dst[kQuotaBytesUsed], gUserBytesUsage, false);
    bytes(dst[kQuotaBytesHardLimit], gUserBytesUsageHardLimit, true);
    bytes(dst[kQuotaBytesSoftLimit], gUserBytesUsageSoftLimit, true);
    files(dst[kQuotaFilesUsed], gUserFilesUsage, false);
    files(dst[kQuotaFilesHardLimit], gUserFilesUsageHardLimit, true);
    files(dst[kQuotaFilesSoftLimit], gUserFilesUsageSoftLimit, true);
    snprintf(dst[kQuotaDuration], kQuotaStringSize, "%.2f", static_cast<double>(gQuotaDura));
}

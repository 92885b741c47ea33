// Disk quotas of virtual users.  The usage of a user lives in one record of
// the shared quota table: the first session of the user measures the home
// tree into it, every session of the user then charges its deltas there,
// uploads before their bytes are written.  So parallel sessions of one user
// share one limit.  Without a record (no table, table full) a session counts
// on its own and measures again before an upload while another session of
// the user runs.
#include "quota/quota.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "base/pages.h"
#include "base/privchan.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "paths/uniquefd.h"
#include "quota/measure.h"
#include "quota/shared.h"
#include "status/shm.h"

namespace {

// The limits of the session's password record, as login handed them over.
struct RecordLimits {
    int64_t hardKB, softKB, hardFiles, softFiles;
};
RecordLimits sRecord;

// The session's record in the shared table (-1: none) and its key.
int sIndex = -1;
ON_LOGIN_PAGES QuotaKey sKey;
ON_LOGIN_PAGES char sUser[kQuotaUserSize];     // as login named it

bool Reached(int64_t usage, int64_t limit)
{
    return limit > 0 && usage >= limit;
}

int64_t PositiveOrZero(int64_t v)
{
    return v > 0 ? v : 0;
}

double Now()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Walks the home tree into the usage figures.  A part that could not be
// walked may hold anything, so a failed walk counts as having reached every
// hard limit: the user can still delete, but not store more.
void MeasureHomeTree()
{
    QuotaMeasure m{0, 1, 0, 0};
    const double start = Now();
    UniqueFd root(SafeOpen(gHomeDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    const int rc = root.ok() ? MeasureQuotaTree(root.get(), gSessionUid, gCountOnlyFilesOwnedByUserTowardsQuota, &m)
                             : -1;
    if (rc != 0)
        LogPerror("Could not compute quotas for %.300s", gHomeDir);
    if (rc < 0) {
        if (m.bytes < gUserBytesUsageHardLimit)
            m.bytes = gUserBytesUsageHardLimit;
        if (m.files < gUserFilesUsageHardLimit)
            m.files = gUserFilesUsageHardLimit;
    }
    gUserBytesUsage = m.bytes;
    gUserFilesUsage = m.files;
    gQuotaDirCount = m.dirCount;
    gQuotaMaxDepth = m.maxDepth;
    gQuotaDura = Now() - start;
}

void TraceFigures()
{
    const auto b = static_cast<long long>(gUserBytesUsage);
    const auto f = static_cast<int>(gUserFilesUsage);
    if (gUserBytesUsageHardLimit > 0)
        _Trace(kLogMisc, "Quota: %lld bytes (limit %lld)\n", b, static_cast<long long>(gUserBytesUsageHardLimit));
    if (gUserBytesUsageSoftLimit > 0)
        _Trace(kLogMisc, "Quota: %lld bytes (soft limit %lld)\n", b,
               static_cast<long long>(gUserBytesUsageSoftLimit));
    if (gUserFilesUsageHardLimit > 0)
        _Trace(kLogMisc, "Quota: %d files (limit %d)\n", f, static_cast<int>(gUserFilesUsageHardLimit));
    if (gUserFilesUsageSoftLimit > 0)
        _Trace(kLogMisc, "Quota: %d files (soft limit %d)\n", f, static_cast<int>(gUserFilesUsageSoftLimit));
    _Trace(kLogMisc, "Quota: Dirs %d; Max Depth %d; Duration %.2f sec\n", static_cast<int>(gQuotaDirCount),
           static_cast<int>(gQuotaMaxDepth), gQuotaDura);
}

bool HasLimits()
{
    return gUserBytesUsageHardLimit > 0 || gUserBytesUsageSoftLimit > 0 || gUserFilesUsageHardLimit > 0
           || gUserFilesUsageSoftLimit > 0;
}

// A live process other than this one whose slot carries the key, past its
// password: a client that merely typed USER with the name (the pool child
// sets the restriction at the login alone) must not keep the user's record
// alive, and with it a usage the next login would not measure again.
bool OtherSessionOf(const QuotaKey &key)
{
    for (int i = 1; i <= gNumChildren; i++) {
        const ShmSlot *s = ShmSlotAt(i);
        if (s == nullptr)
            break;
        if (s == gShmSlot || s->pid == 0 || s->sessionStart == 0 || s->restriction[0] == '\0')
            continue;
        // A slot holds the start of a long name: a user whose name begins
        // the same way counts too (the record itself needs the whole key).
        if (strncmp(s->user, key.user, sizeof(s->user) - 1) == 0 &&
            strncmp(s->domain, key.domain, sizeof(s->domain)) == 0)
            return true;
    }
    return false;
}

bool UserHasOtherSession()
{
    return sKey.user[0] != '\0' && OtherSessionOf(sKey);
}

// The key: the domain set of the own slot and the whole name login gave.
// Two names alike in what a slot holds of them are still two records.
void TakeKey()
{
    sKey = QuotaKey{};
    const ShmSlot *own = gShmSlot;
    if (own == nullptr)
        return;
    static_assert(sizeof(own->domain) == kQuotaKeySize && sizeof(sUser) == kQuotaUserSize);
    memcpy(sKey.user, sUser, kQuotaUserSize - 1);
    memcpy(sKey.domain, own->domain, kQuotaKeySize - 1);
}

void Adopt(const QuotaUsage &u)
{
    gUserBytesUsage = u.bytes;
    gUserFilesUsage = u.files;
}

// The user's record.  A session in a process of its own cannot write the
// table: its pool child keeps the record for it, keyed by its own slot.
bool Delegated()
{
    return gPrivChannel >= 0;
}

int Ask(PrivOp op, PrivRequest req, QuotaUsage *now, QuotaUsage *granted)
{
    req.op = op;
    PrivAnswer a {};
    if (PrivCallAnswer(req, -1, &a) < 0)
        return -1;
    *now = QuotaUsage{a.value[0], a.value[1]};
    if (granted != nullptr)
        *granted = QuotaUsage{a.value[2], a.value[3]};
    return 0;
}

int RecordFind(QuotaUsage *now)
{
    return Delegated() ? Ask(kPrivQuotaFind, PrivRequest{}, now, nullptr) : QuotaTableFind(sKey, now);
}

int RecordInstall(const QuotaUsage &measured, bool alone, QuotaUsage *now)
{
    if (!Delegated())
        return QuotaTableInstall(sKey, measured, alone, OtherSessionOf, now);
    PrivRequest req {};
    req.uid = measured.bytes;
    req.gid = measured.files;
    return Ask(kPrivQuotaInstall, req, now, nullptr);
}

QuotaUsage HardLimits()
{
    return QuotaUsage{gUserBytesUsageHardLimit, gUserFilesUsageHardLimit};
}

int RecordCharge(const QuotaUsage &delta, const QuotaUsage &want, QuotaUsage *granted, QuotaUsage *now)
{
    if (!Delegated())
        return QuotaTableUpdate(sIndex, sKey, delta, want, HardLimits(), granted, now);
    PrivRequest req {};
    const QuotaCharge charge{delta.bytes, delta.files, want.bytes, want.files};
    memcpy(req.data, &charge, sizeof(charge));
    req.length = sizeof(charge);
    *granted = QuotaUsage{0, 0};
    return Ask(kPrivQuotaCharge, req, now, granted);
}

void RecordRelease()
{
    if (!Delegated()) {
        QuotaTableRelease(sIndex, sKey, OtherSessionOf);
        return;
    }
    QuotaUsage ignored;
    (void) Ask(kPrivQuotaRelease, PrivRequest{}, &ignored, nullptr);
}

// The first computation of a session: the record of the user when another
// session of the user keeps it, else a new walk, installed for the others.
void AttachOrMeasure()
{
    TakeKey();
    const bool alone = !UserHasOtherSession();
    QuotaUsage now{0, 0};
    if (!alone && sKey.user[0] != '\0') {
        sIndex = RecordFind(&now);
        if (sIndex >= 0) {
            Adopt(now);
            return;
        }
    }
    MeasureHomeTree();
    TraceFigures();
    if (sKey.user[0] == '\0')
        return;
    // Another session may have installed its walk meanwhile: that one wins.
    sIndex = RecordInstall(QuotaUsage{gUserBytesUsage, gUserFilesUsage}, alone, &now);
    if (sIndex >= 0)
        Adopt(now);
}

// Applies deltas and reserves up to want bytes and want files (all or none),
// in the shared record or, without one, in the session's figures; what was
// reserved.
QuotaUsage Charge(int64_t dBytes, int64_t dFiles, int64_t want, int64_t wantFiles = 0)
{
    QuotaUsage granted{0, 0};
    if (sIndex >= 0) {
        QuotaUsage now{0, 0};
        if (RecordCharge(QuotaUsage{dBytes, dFiles}, QuotaUsage{want, wantFiles}, &granted, &now) == 0) {
            Adopt(now);
            return granted;
        }
        // Taken over or forged: count on alone from here, from the figures
        // this session had, so no limit is lifted.
        Log(kLogMisc, "Quota record of \"%.63s\" lost; counting in this session only\n", sKey.user);
        sIndex = -1;
    }
    gUserBytesUsage = PositiveOrZero(gUserBytesUsage + dBytes);
    gUserFilesUsage = PositiveOrZero(gUserFilesUsage + dFiles);
    granted = QuotaReservable(QuotaUsage{gUserBytesUsage, gUserFilesUsage}, QuotaUsage{want, wantFiles}, HardLimits());
    gUserBytesUsage += granted.bytes;
    gUserFilesUsage += granted.files;
    return granted;
}

}  // namespace

void QuotaSessionEnd()
{
    if (sIndex >= 0)
        RecordRelease();
    sIndex = -1;
}

// The pool child keeps the record of its session's user: the key is its own
// slot's, the hard limit the one login read from the password record; the
// session only says what it measured and what changed.
int QuotaServe(const PrivRequest &req, PrivAnswer *answer)
{
    QuotaUsage now{0, 0};
    QuotaUsage granted{0, 0};
    if (req.op != kPrivQuotaRelease && sIndex < 0)
        TakeKey();
    if (sKey.user[0] == '\0' || !gVQuotas) {
        errno = ENOENT;
        return -1;
    }
    int rc = 0;
    switch (req.op) {
    case kPrivQuotaFind:
        if (UserHasOtherSession())
            sIndex = QuotaTableFind(sKey, &now);
        rc = sIndex;
        break;
    case kPrivQuotaInstall:
        rc = sIndex = QuotaTableInstall(sKey, QuotaUsage{req.uid, req.gid}, !UserHasOtherSession(), OtherSessionOf,
                                        &now);
        break;
    case kPrivQuotaCharge: {
        QuotaCharge c;
        if (req.length != static_cast<int32_t>(sizeof(c))) {
            errno = EINVAL;
            return -1;
        }
        memcpy(&c, req.data, sizeof(c));
        const QuotaUsage hard{PositiveOrZero(sRecord.hardKB) * 1024, PositiveOrZero(sRecord.hardFiles)};
        rc = sIndex < 0 ? -1 : QuotaTableUpdate(sIndex, sKey, QuotaUsage{c.bytes, c.files},
                                                QuotaUsage{c.want, c.wantFiles}, hard, &granted, &now);
        break;
    }
    case kPrivQuotaRelease:
        QuotaSessionEnd();
        return 0;
    default:
        errno = EINVAL;
        return -1;
    }
    if (rc < 0) {
        errno = ENOENT;
        return -1;
    }
    answer->value[0] = now.bytes;
    answer->value[1] = now.files;
    answer->value[2] = granted.bytes;
    answer->value[3] = granted.files;
    return 0;
}

void SessionResetQuota()
{
    gUserBytesUsage = gUserFilesUsage = -1;
    gUserBytesUsageHardLimit = gUserBytesUsageSoftLimit = 0;
    gUserFilesUsageHardLimit = gUserFilesUsageSoftLimit = 0;
    gQuotaDura = 0;
    gQuotaDirCount = gQuotaMaxDepth = 0;
    sRecord = RecordLimits{0, 0, 0, 0};
    QuotaSessionEnd();
    sKey = QuotaKey{};
    SetIfChanged(sUser[0], '\0');
}

void SessionSetQuotaLimits(int32_t hardKB, int32_t softKB, int32_t hardFiles, int32_t softFiles)
{
    sRecord = RecordLimits{hardKB, softKB, hardFiles, softFiles};
}

void SessionSetQuotaUser(const char *name)
{
    Strncpy(sUser, name);
}

void QuotaCreateSharedTable()
{
    if (QuotaTableCreate(gNumChildren + 1) < 0)
        LogPerror("Could not create the shared quota table");
}

void ComputeQuota()
{
    if (gUserBytesUsage != -1) {
        if (sIndex >= 0)
            Charge(0, 0, 0);   // what the other sessions changed
        return;
    }
    gUserBytesUsage = 0;
    gUserFilesUsage = 1;
    gUserBytesUsageHardLimit = gUserBytesUsageSoftLimit = 0;
    gUserFilesUsageHardLimit = gUserFilesUsageSoftLimit = 0;
    if (!gVQuotas)
        return;
    gUserBytesUsageHardLimit = PositiveOrZero(sRecord.hardKB) * 1024;
    gUserBytesUsageSoftLimit = PositiveOrZero(sRecord.softKB) * 1024;
    gUserFilesUsageHardLimit = PositiveOrZero(sRecord.hardFiles);
    gUserFilesUsageSoftLimit = PositiveOrZero(sRecord.softFiles);
    if (!HasLimits())
        return;
    AttachOrMeasure();
}

void QuotaRefreshIfShared()
{
    const bool fresh = gUserBytesUsage == -1;
    ComputeQuota();
    if (fresh || sIndex >= 0 || !HasLimits() || !UserHasOtherSession())
        return;
    const double initial = gQuotaDura;   // the reports show the first walk's time
    gUserBytesUsage = -1;
    ComputeQuota();
    gQuotaDura = initial;
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
    ComputeQuota();
    Charge(delta, 0, 0);
    return Reached(gUserBytesUsage, gUserBytesUsageHardLimit);
}

bool QuotaAddFiles(int64_t delta)
{
    ComputeQuota();
    Charge(0, delta, 0);
    return Reached(gUserFilesUsage, gUserFilesUsageHardLimit);
}

void QuotaEntryRemoved(const struct stat &st)
{
    ComputeQuota();
    if (QuotaCountsEntry(st, gSessionUid, gCountOnlyFilesOwnedByUserTowardsQuota))
        Charge(S_ISREG(st.st_mode) ? -static_cast<int64_t>(st.st_size) : 0, -1, 0);
}

void QuotaBytesReplaced(const struct stat &st)
{
    ComputeQuota();
    if (S_ISREG(st.st_mode) && QuotaCountsEntry(st, gSessionUid, gCountOnlyFilesOwnedByUserTowardsQuota))
        Charge(-static_cast<int64_t>(st.st_size), 0, 0);
}

int64_t QuotaReserveBytes(int64_t want)
{
    ComputeQuota();
    return Charge(0, 0, want).bytes;
}

bool QuotaReserveFiles(int64_t n)
{
    ComputeQuota();
    return Charge(0, 0, 0, n).files == n;
}

void LogQuotaWarnings()
{
    if (gUserBytesUsage == -1)
        return;
    const char *user = gRUserPtr->user;
    const auto bytes = static_cast<long long>(gUserBytesUsage);
    if (IsUserOverBytesQuota())
        Log(kLogMisc, "User \"%.63s\" exceeded size quota (%lld > %lld)\n", user, bytes,
            static_cast<long long>(gUserBytesUsageHardLimit));
    else if (IsUserOverSoftBytesQuota())
        Log(kLogMisc, "User \"%.63s\" exceeded size soft quota (%lld > %lld)\n", user, bytes,
            static_cast<long long>(gUserBytesUsageSoftLimit));
    const auto files = static_cast<int>(gUserFilesUsage);
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
    if (!HasLimits()) {
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
    snprintf(dst[kQuotaDuration], kQuotaStringSize, "%.2f", gQuotaDura);
}

void Quota(char *dst, size_t size)
{
    ComputeQuota();
    if (gUserBytesUsageHardLimit <= 0 && gUserFilesUsageHardLimit < 1) {
        snprintf(dst, size, "200 This account has no quota.\r\n");
        return;
    }
    char q[kNumQuotaStrings][kQuotaStringSize];
    GetQuotaStrings(q);
    snprintf(dst, size,
             "200-Quota report:\r\n"
             "200-  Bytes: %.32s  Limit: %.32s\r\n"
             "200-  Files: %.32s  Limit: %.32s\r\n"
             "200 Done (%.32s seconds used initially to compute quota).\r\n",
             q[kQuotaBytesUsed], q[kQuotaBytesHardLimit], q[kQuotaFilesUsed], q[kQuotaFilesHardLimit],
             q[kQuotaDuration]);
}

#include "quota/shared.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace {

struct Record {
    QuotaKey key;   // an empty user: free
    QuotaUsage usage;
};

struct Table {
    pthread_mutex_t lock;
    int32_t records;   // as made; the copy below is the one trusted
    Record r[1];
};

Table *sTable = nullptr;
int sRecords = 0;   // private to each process: a session cannot widen it

// Holds the table's lock; a holder that died mid-update leaves figures at
// worst one delta behind.
class TableLock {
  public:
    TableLock()
    {
        const int rc = pthread_mutex_lock(&sTable->lock);
        if (rc == EOWNERDEAD)
            pthread_mutex_consistent(&sTable->lock);
        mOk = rc == 0 || rc == EOWNERDEAD;
    }
    ~TableLock()
    {
        if (mOk)
            pthread_mutex_unlock(&sTable->lock);
    }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
    [[nodiscard]] bool ok() const { return mOk; }

  private:
    bool mOk = false;
};

bool SameKey(const QuotaKey &a, const QuotaKey &b)
{
    return strncmp(a.domain, b.domain, kQuotaKeySize) == 0 && strncmp(a.user, b.user, kQuotaUserSize) == 0;
}

// The figures a session asks to add are its word, not a measure: a sum
// stops at the ends of the range instead of wrapping round.
int64_t Sum(int64_t a, int64_t b)
{
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

// Figures after a delta: never below 0.
QuotaUsage Clamped(const QuotaUsage &u)
{
    return QuotaUsage{u.bytes > 0 ? u.bytes : 0, u.files > 0 ? u.files : 0};
}

}  // namespace

QuotaUsage QuotaReservable(const QuotaUsage &u, const QuotaUsage &want, const QuotaUsage &hard)
{
    QuotaUsage granted{0, 0};
    if (want.bytes > 0) {
        const int64_t room = hard.bytes > 0 ? hard.bytes - u.bytes : want.bytes;
        granted.bytes = room < 0 ? 0 : (room < want.bytes ? room : want.bytes);
    }
    // Files are made whole: each one asked for has room, or none is made.
    if (want.files > 0 && (hard.files <= 0 || want.files <= hard.files - u.files))
        granted.files = want.files;
    return granted;
}

namespace {

// Negative figures no session writes: a forged record, never trusted (it
// would lift the limit); the sessions then count on their own.
bool Forged(const Record &r)
{
    return r.usage.bytes < 0 || r.usage.files < 0;
}

int Lookup(const QuotaKey &key)
{
    for (int i = 0; i < sRecords; i++) {
        if (sTable->r[i].key.user[0] != '\0' && SameKey(sTable->r[i].key, key))
            return i;
    }
    return -1;
}

}  // namespace

int QuotaTableCreate(int records)
{
    if (records < 1 || records > 100000) {
        errno = EINVAL;
        return -1;
    }
    const size_t size = sizeof(Table) + sizeof(Record) * static_cast<size_t>(records);
    void *addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (addr == MAP_FAILED)
        return -1;
    Table *t = static_cast<Table *>(addr);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(&t->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        munmap(addr, size);
        errno = rc;
        return -1;
    }
    t->records = records;
    sTable = t;
    sRecords = records;
    return 0;
}

int QuotaTableFind(const QuotaKey &key, QuotaUsage *now)
{
    if (sTable == nullptr)
        return -1;
    TableLock lock;
    if (!lock.ok())
        return -1;
    const int i = Lookup(key);
    if (i < 0 || Forged(sTable->r[i]))
        return -1;
    *now = sTable->r[i].usage;
    return i;
}

int QuotaTableInstall(const QuotaKey &key, const QuotaUsage &measured, bool replace,
                      bool (*inUse)(const QuotaKey &), QuotaUsage *now)
{
    if (sTable == nullptr)
        return -1;
    TableLock lock;
    if (!lock.ok())
        return -1;
    int i = Lookup(key);
    if (i >= 0 && !replace && !Forged(sTable->r[i])) {
        *now = sTable->r[i].usage;
        return i;
    }
    for (int k = 0; i < 0 && k < sRecords; k++) {
        Record &r = sTable->r[k];
        if (r.key.user[0] == '\0' || !inUse(r.key))
            i = k;
    }
    if (i < 0)
        return -1;
    Record &r = sTable->r[i];
    r.key = key;
    r.key.domain[kQuotaKeySize - 1] = r.key.user[kQuotaUserSize - 1] = '\0';
    r.usage = Clamped(measured);
    *now = r.usage;
    return i;
}

void QuotaTableRelease(int index, const QuotaKey &key, bool (*inUse)(const QuotaKey &))
{
    if (sTable == nullptr || index < 0 || index >= sRecords)
        return;
    TableLock lock;
    Record &r = sTable->r[index];
    if (lock.ok() && SameKey(r.key, key) && !inUse(key))
        r = Record{};
}

int QuotaTableUpdate(int index, const QuotaKey &key, const QuotaUsage &delta, const QuotaUsage &want,
                     const QuotaUsage &hard, QuotaUsage *granted, QuotaUsage *now)
{
    *granted = QuotaUsage{0, 0};
    if (sTable == nullptr || index < 0 || index >= sRecords)
        return -1;
    TableLock lock;
    if (!lock.ok())
        return -1;
    Record &r = sTable->r[index];
    if (!SameKey(r.key, key) || Forged(r))
        return -1;
    QuotaUsage u = Clamped(QuotaUsage{Sum(r.usage.bytes, delta.bytes), Sum(r.usage.files, delta.files)});
    *granted = QuotaReservable(u, want, hard);
    u = QuotaUsage{Sum(u.bytes, granted->bytes), Sum(u.files, granted->files)};
    r.usage = u;
    *now = u;
    return 0;
}

void QuotaTableKeepFromChildren()
{
    if (sTable != nullptr)
        (void) madvise(sTable, sizeof(Table) + sizeof(Record) * static_cast<size_t>(sRecords), MADV_DONTFORK);
}

void QuotaTableForget()
{
    if (sTable != nullptr)
        munmap(sTable, sizeof(Table) + sizeof(Record) * static_cast<size_t>(sRecords));
    sTable = nullptr;
    sRecords = 0;
}

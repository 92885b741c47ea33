// The session index (sessionindex.h). Each child writes only its own entry,
// the master clears the entry of a child it reaped; readers take the same
// unsynchronised snapshot the status area gives, with the busy word written
// after the texts it vouches for.
#include "status/sessionindex.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "Strn.h"
#include "status/shm.h"

namespace {

struct IndexEntry {
    int32_t busy;
    char domain[sizeof(ShmSlot::domain)];
    char addr[sizeof(ShmSlot::addr)];
};

IndexEntry *gIndex = nullptr;
int gIndexSize = 0;     // entries 0..gIndexSize-1; entry 0 (the master) stays free

IndexEntry *EntryOf(int n)
{
    return gIndex != nullptr && n > 0 && n < gIndexSize ? &gIndex[n] : nullptr;
}

int LoadBusy(const IndexEntry &e)
{
    return __atomic_load_n(&e.busy, __ATOMIC_ACQUIRE);
}

void StoreBusy(IndexEntry *e, int32_t busy)
{
    __atomic_store_n(&e->busy, busy, __ATOMIC_RELEASE);
}

// An entry's text may be rewritten while it is read: compare within the field.
template <size_t N>
bool SameText(const char (&field)[N], const char *text)
{
    return strncmp(field, text, N) == 0;
}

}  // namespace

int CreateSessionIndex(int maxUsers)
{
    const size_t entries = static_cast<size_t>(maxUsers) + 1;
    void *p = mmap(nullptr, entries * sizeof(IndexEntry), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return -1;
    gIndex = static_cast<IndexEntry *>(p);
    gIndexSize = static_cast<int>(entries);
    return 0;
}

void IndexSessionStart(int n, const char *domain, const char *addr)
{
    IndexEntry *e = EntryOf(n);
    if (e == nullptr)
        return;
    StoreBusy(e, 0);
    Strncpy(e->domain, domain);
    Strncpy(e->addr, addr);
    StoreBusy(e, 1);
}

void IndexSessionEnd(int n)
{
    if (IndexEntry *e = EntryOf(n))
        StoreBusy(e, 0);
}

SessionCounts CountOtherSessions(int n, const char *domain, const char *addr, bool byAddr)
{
    SessionCounts c {};
    for (int i = 1; i < gIndexSize; i++) {
        const IndexEntry &e = gIndex[i];
        if (i == n || LoadBusy(e) == 0)
            continue;
        c.all++;
        const bool sameSet = SameText(e.domain, domain);
        const bool sameAddr = byAddr && SameText(e.addr, addr);
        c.sameSet += sameSet;
        c.sameSetAddr += sameSet && sameAddr;
        c.sameAddr += sameAddr;
    }
    return c;
}

void KeepSessionIndexFromChildren()
{
    if (gIndex != nullptr)
        (void) madvise(gIndex, static_cast<size_t>(gIndexSize) * sizeof(IndexEntry), MADV_DONTFORK);
}

void ForgetSessionIndex()
{
    if (gIndex != nullptr)
        munmap(gIndex, static_cast<size_t>(gIndexSize) * sizeof(IndexEntry));
    gIndex = nullptr;
    gIndexSize = 0;
}

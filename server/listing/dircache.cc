// The directory cache: Ls, reading a directory (Ls0), the cache entries with
// their validation and purge rules, sorting and copies of listings.
#include "listing/dircache.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "session/shell.h"
#include "status/dirgen.h"
#include "status/shm.h"
#include "base/process.h"

int gLsDirsCached;
int gLsItemsCached;
int gLsMaxItemsCached;
int gLsMaxBytesCached;
int gLsItemBudget;
int gLsCacheAge;

// One cached directory.  Listings handed out share its items; while any is
// held the entry is neither validated nor purged, and an entry dropped while
// held is unlinked at once and freed when the last holder is done.
struct DirCacheSlot {
    DirList list;
    DirCacheSlot *next;                    // next in its bucket
    time_t created;
    time_t lastUse;
    time_t expires;                        // non-zero: valid until then at most
    int hits;
    int holders;
    int stale;
    int used;
    unsigned bucket;
};

namespace {

// An entry holding a file changed less than this long before it was read
// stays valid only kRecentChangeAge seconds.
constexpr time_t kRecentChangeSeconds = 10;
constexpr time_t kRecentChangeAge = 2;

struct DirCacheBucket {
    DirCacheSlot *head;
    int count;
};

DirCacheSlot *gSlots;
int gNumSlots;
DirCacheBucket *gBuckets;
int gNumBuckets;

// Listings handed out and not yet given back, each with a copy of what it
// owns.  A session that ends by the jump back to the accept loop leaves the
// frames that held listings behind; LsAbandonAll gives their listings back,
// or a cache entry would stay in use (and unchecked) for good.
struct HeldListing {
    const DirList *where;
    DirList copy;
};
std::vector<HeldListing> gHeldListings;

void NoteHeld(const DirList *dl)
{
    for (HeldListing &h : gHeldListings) {
        if (h.where == dl) {
            h.copy = *dl;
            return;
        }
    }
    gHeldListings.push_back({dl, *dl});
}

void ForgetHeld(const DirList *dl)
{
    for (size_t i = 0; i < gHeldListings.size(); i++) {
        if (gHeldListings[i].where == dl) {
            gHeldListings.erase(gHeldListings.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

constexpr size_t kMaxLinkTarget = 4096;

unsigned HashPath(const char *path)
{
    uint32_t h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p != '\0'; p++)
        h = h * 71 + *p;
    return gNumBuckets > 0 ? h % static_cast<unsigned>(gNumBuckets) : 0;
}

bool Later(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

void FreeItems(DirList *dl)
{
    DirItemBlock *b = dl->first;
    while (b != nullptr) {
        for (int i = 0; i < b->count; i++) {
            DirItem &it = b->items[i];
            if (it.name != it.inlineName)
                free(it.name);
            free(it.linkTarget);
        }
        DirItemBlock *next = b->next;
        free(b);
        b = next;
    }
    dl->first = nullptr;
}

// Everything a listing owns: names, targets, blocks, pointer array and path.
void FreeListContents(DirList *dl)
{
    FreeItems(dl);
    free(dl->items);
    free(dl->path);
    dl->items = nullptr;
    dl->path = nullptr;
}

void FreeSlot(DirCacheSlot *s)
{
    gLsDirsCached--;
    gLsItemsCached -= s->list.nItems;
    FreeListContents(&s->list);
    memset(static_cast<void *>(s), 0, sizeof(*s));
}

void Unlink(DirCacheSlot *s)
{
    DirCacheBucket &b = gBuckets[s->bucket];
    for (DirCacheSlot **pp = &b.head; *pp != nullptr; pp = &(*pp)->next) {
        if (*pp == s) {
            *pp = s->next;
            b.count--;
            break;
        }
    }
    s->next = nullptr;
}

// Drops an entry: freed at once, or when its last holder is done.
void Drop(DirCacheSlot *s)
{
    if (s->stale)
        return;
    _Trace(kLogMisc, "Uncaching %s.\n", s->list.path);
    Unlink(s);
    if (s->holders > 0) {
        s->stale = 1;
        return;
    }
    FreeSlot(s);
}

void Release(DirCacheSlot *s)
{
    if (s == nullptr)
        return;
    if (--s->holders <= 0) {
        s->holders = 0;
        if (s->stale)
            FreeSlot(s);
    }
}

DirCacheSlot *Find(const char *path)
{
    if (gBuckets == nullptr)
        return nullptr;
    for (DirCacheSlot *s = gBuckets[HashPath(path)].head; s != nullptr; s = s->next) {
        if (strcmp(s->list.path, path) == 0)
            return s;
    }
    return nullptr;
}

// The tests that every cache entry must pass; a failing entry is dropped.
// checkUid adds the owner test of a lookup.
bool StillValid(DirCacheSlot *s, time_t now, bool checkUid, uid_t uid)
{
    const char *path = s->list.path;
    struct stat st;
    // A link in the path now means another directory than the one read.
    if (SafeStat(path, &st) < 0) {
        _Trace(kLogMisc, "Dir \"%s\" no longer exists.\n", path);
    } else if (Later(st.st_mtim, s->list.mtime) || st.st_ino != s->list.dirSt.st_ino
               || st.st_dev != s->list.dirSt.st_dev) {
        _Trace(kLogMisc, "Dir \"%s\" has been updated.\n", path);
    } else if (DirGeneration(st) != s->list.generation) {
        _Trace(kLogMisc, "Dir \"%s\" has been changed by another session.\n", path);
    } else if (s->lastUse + gLsCacheAge <= now || (s->expires != 0 && s->expires <= now)) {
        _Trace(kLogMisc, "Dir \"%s\" expired.\n", path);
    } else if (checkUid && s->list.uid != uid) {
        _Trace(kLogMisc, "Dir \"%s\" belongs to uid %u, not %u.\n", path, static_cast<unsigned>(s->list.uid),
               static_cast<unsigned>(uid));
    } else {
        return true;
    }
    Drop(s);
    return false;
}

bool Purgeable(const DirCacheSlot &s)
{
    return s.used && !s.stale && s.holders == 0;
}

// Drops the first entry that proves invalid, else the least recently used.
// Returns the freed slot, or nullptr when no entry could be dropped.
DirCacheSlot *PurgeOldestDir(time_t now)
{
    _Trace(kLogMisc, "Purge(Oldest).\n");
    DirCacheSlot *oldest = nullptr;
    for (int i = 0; i < gNumSlots; i++) {
        DirCacheSlot *s = &gSlots[i];
        if (!Purgeable(*s))
            continue;
        if (!StillValid(s, now, false, 0))
            return s;
        if (oldest == nullptr || s->lastUse < oldest->lastUse)
            oldest = s;
    }
    if (oldest != nullptr) {
        _Trace(kLogMisc, "Dir \"%s\" too old.\n", oldest->list.path);
        Drop(oldest);
    }
    return oldest;
}

// Drops every invalid entry and the one with the most items.  Returns
// false when nothing could be dropped.
bool PurgeLargestDir(time_t now)
{
    _Trace(kLogMisc, "Purge(Largest).\n");
    bool dropped = false;
    DirCacheSlot *largest = nullptr;
    for (int i = 0; i < gNumSlots; i++) {
        DirCacheSlot *s = &gSlots[i];
        if (!Purgeable(*s))
            continue;
        if (!StillValid(s, now, false, 0)) {
            dropped = true;
            continue;
        }
        if (largest == nullptr || s->list.nItems > largest->list.nItems)
            largest = s;
    }
    if (largest != nullptr) {
        _Trace(kLogMisc, "Dir \"%s\" too fat.\n", largest->list.path);
        Drop(largest);
        dropped = true;
    }
    return dropped;
}

void PurgeLargestUntil(double itemLimit, time_t now)
{
    while (gLsItemsCached > itemLimit && gLsDirsCached > 0) {
        if (!PurgeLargestDir(now))
            break;
    }
}

DirCacheSlot *FirstFreeSlot()
{
    for (int i = 0; i < gNumSlots; i++) {
        if (!gSlots[i].used)
            return &gSlots[i];
    }
    return nullptr;
}

// A slot for a directory of newItems items, room made by purging.
DirCacheSlot *NewHashItem(int newItems, time_t now)
{
    DirCacheSlot *slot = nullptr;
    if (gLsItemsCached + newItems > gLsItemBudget) {
        const int limit = std::min(gLsItemBudget * 9 / 10, gLsItemBudget - newItems);
        while (gLsItemsCached > limit && gLsDirsCached > 0) {
            DirCacheSlot *freed = PurgeOldestDir(now);
            if (freed == nullptr)
                break;
            slot = freed;
        }
    } else if (gLsDirsCached >= gNumSlots) {
        slot = PurgeOldestDir(now);
    }
    if (slot == nullptr || slot->used)
        slot = FirstFreeSlot();
    if (slot == nullptr)
        return nullptr;
    gLsDirsCached++;
    gLsItemsCached += newItems;
    gLsMaxItemsCached = std::max(gLsMaxItemsCached, gLsItemsCached);
    gLsMaxBytesCached = static_cast<int>(
        std::min<int64_t>(static_cast<int64_t>(gLsMaxItemsCached) * kDirItemSize, INT_MAX));
    slot->created = slot->lastUse = now;
    slot->hits = 0;
    slot->used = 1;
    return slot;
}

char SuffixOf(char type, mode_t mode)
{
    switch (type) {
    case '-':
        return (mode & 0111) != 0 ? '*' : '\0';
    case 'd':
        return '/';
    case 'p':
        return '|';
    case 's':
        return '=';
    default:
        return '\0';
    }
}

// "ls-hide-inaccessible-items": what the user could not use anyway.
bool Inaccessible(const struct stat &st, uid_t uid, const gid_t *groups, int ngroups)
{
    if (st.st_uid == uid)
        return false;
    for (int i = 0; i < ngroups; i++) {
        if (groups[i] == st.st_gid)
            return false;
    }
    if (S_ISDIR(st.st_mode))
        return (st.st_mode & 07) == 0;
    return (st.st_mode & 06) == 0;
}

// The target of the link name in the directory dirFd, read into a buffer
// that doubles until it fits; nullptr when it cannot be read.
char *ReadLinkTarget(int dirFd, const char *name)
{
    for (size_t size = 64; size <= kMaxLinkTarget; size *= 2) {
        char *buf = static_cast<char *>(malloc(size));
        if (buf == nullptr)
            return nullptr;
        const ssize_t n = readlinkat(dirFd, name, buf, size);
        if (n >= 0 && static_cast<size_t>(n) < size) {
            buf[n] = '\0';
            return buf;
        }
        free(buf);
    }
    return nullptr;
}

// A free item at the end of the listing, a new block when the last is full.
DirItem *NewItem(DirList *dl, DirItemBlock **last)
{
    if (*last == nullptr || (*last)->count == kDirItemsPerBlock) {
        auto *b = static_cast<DirItemBlock *>(calloc(1, sizeof(DirItemBlock)));
        if (b == nullptr)
            return nullptr;
        if (*last == nullptr)
            dl->first = b;
        else
            (*last)->next = b;
        *last = b;
        dl->nBlocks++;
    }
    DirItem *it = &(*last)->items[(*last)->count];
    memset(static_cast<void *>(it), 0, sizeof(*it));
    return it;
}

// Reads the names of an open directory that a listing may show into new
// items, in reading order: not "." and "..", no dot files for anonymous
// sessions, none with a line end, only those matching pattern, and each name
// once when duplicates are hidden.  Returns 0 or kLsErrItems.
int ReadNames(DirList *dl, DIR *dir, const char *path, const char *pattern, DirItemBlock **last)
{
    std::unordered_set<std::string_view> seen;
    struct dirent *de;
    while ((de = readdir(dir)) != nullptr) {
        const char *name = de->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (gIsAnon && name[0] == '.')
            continue;
        // A line end in a name would end the listing's line there and let the
        // rest read as entries of the client's choosing: such names are left out.
        if (strpbrk(name, "\r\n") != nullptr) {
            _Trace(kLogMisc, "Left a name with a line end out of a listing of %.400s\n", path);
            continue;
        }
        if (pattern != nullptr && GlobMatch(name, pattern) != 0)
            continue;
        if (gLsHideDuplicateItems && seen.count(std::string_view(name)) != 0) {
            _Trace(kLogMisc, "Detected and eliminated duplicate directory entry, %.80s\n", name);
            continue;
        }
        DirItem *it = NewItem(dl, last);
        if (it == nullptr)
            return kLsErrItems;
        const size_t len = strlen(name);
        if (len < sizeof(it->inlineName)) {
            memcpy(it->inlineName, name, len + 1);
            it->name = it->inlineName;
        } else if ((it->name = strdup(name)) == nullptr) {
            return kLsErrItems;
        }
        (*last)->count++;
        it->nameLen = static_cast<int>(len);
        dl->nItems++;
        if (gLsHideDuplicateItems)
            seen.insert(std::string_view(it->name, len));
    }
    return 0;
}

// The items whose status a thread takes: the next kStatChunk of them go to
// whichever thread asks first.
struct StatJob {
    int dirFd;
    DirItem **items;
    int count;
    std::atomic<int> next;
};

constexpr int kStatChunk = 64;
// A cold directory costs the kernel a lookup and a new inode for every
// entry, which takes most of a listing's time: from this many entries on,
// that work is spread over kStatThreads threads (the cores and the waits for
// the disk overlap).
constexpr int kStatParallelFrom = 1024;
constexpr int kStatThreads = 4;
constexpr size_t kStatThreadStack = 64 * 1024;

// lstat of every item of the job; the type letter tells the outcome ('\0'
// for a failed lstat, as for a type never shown).  Only fstatat: nothing
// here may touch the heap or the process's state.
void RunStats(StatJob *job)
{
    for (;;) {
        const int begin = job->next.fetch_add(kStatChunk, std::memory_order_relaxed);
        if (begin >= job->count)
            return;
        const int end = std::min(job->count, begin + kStatChunk);
        for (int i = begin; i < end; i++) {
            DirItem *it = job->items[i];
            it->type = fstatat(job->dirFd, it->name, &it->st, AT_SYMLINK_NOFOLLOW) == 0 ? TypeLetter(it->st.st_mode)
                                                                                       : '\0';
        }
    }
}

void *StatWorker(void *job)
{
    RunStats(static_cast<StatJob *>(job));
    return nullptr;
}

// Takes the status of count items of the directory dirFd.  The helper
// threads start with every signal blocked, and the calling thread blocks
// them until the helpers are joined: no handler can jump out of the listing
// while a helper still writes into it.  A helper that cannot be started
// leaves its share to the others.
void StatItems(int dirFd, DirItem **items, int count)
{
    StatJob job{dirFd, items, count, {0}};
    if (count < kStatParallelFrom) {
        RunStats(&job);
        return;
    }
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStatThreadStack);
    pthread_t helpers[kStatThreads - 1];
    int started = 0;
    while (started < kStatThreads - 1 && pthread_create(&helpers[started], &attr, StatWorker, &job) == 0)
        started++;
    pthread_attr_destroy(&attr);
    RunStats(&job);
    for (int i = 0; i < started; i++)
        pthread_join(helpers[i], nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Whether an item whose status was taken is shown; fills in its suffix and
// the target of a link.  False leaves the item as it was.
bool Shown(DirItem *it, int dirFd, uid_t uid, const gid_t *groups, int ngroups)
{
    const char type = it->type;
    if (type == '\0')
        return false;
    if (gLsHideInaccessibleItems && Inaccessible(it->st, uid, groups, ngroups))
        return false;
    if (strchr("psbc", type) != nullptr && !gLsShowSpecialFileTypes)
        return false;
    it->suffix = SuffixOf(type, it->st.st_mode);
    if (type != 'l')
        return true;
    char *target = ReadLinkTarget(dirFd, it->name);
    if (target == nullptr)
        return false;
    if (strpbrk(target, "\r\n") != nullptr) {   // shown after "->" in a long listing
        free(target);
        return false;
    }
    it->linkTarget = target;
    // Only for the suffix shown: nothing is opened through the link.
    struct stat to;
    it->suffix = '\0';
    if (fstatat(dirFd, it->name, &to, 0) == 0) {
        if (S_ISDIR(to.st_mode))
            it->suffix = '/';
        else if (S_ISREG(to.st_mode) && (to.st_mode & 0111) != 0)
            it->suffix = '*';
    }
    return true;
}

// Keeps the items that are shown, in reading order, closing the gaps the
// others leave in the blocks; rewrites the pointer array to match.
void KeepShown(DirList *dl, int dirFd, uid_t uid, const gid_t *groups, int ngroups)
{
    DirItemBlock *to = dl->first;
    int toIndex = 0;
    int kept = 0;
    for (DirItemBlock *b = dl->first; b != nullptr; b = b->next) {
        for (int i = 0; i < b->count; i++) {
            DirItem *it = &b->items[i];
            if (!Shown(it, dirFd, uid, groups, ngroups)) {
                if (it->name != it->inlineName)
                    free(it->name);
                continue;
            }
            if (toIndex == kDirItemsPerBlock) {
                to = to->next;
                toIndex = 0;
            }
            DirItem *dst = &to->items[toIndex++];
            if (dst != it) {
                *dst = *it;
                if (it->name == it->inlineName)
                    dst->name = dst->inlineName;
            }
            dl->items[kept++] = dst;
        }
    }
    dl->items[kept] = nullptr;
    dl->nItems = kept;
    // Blocks before the last one kept are full; those after it go.
    DirItemBlock *rest = nullptr;
    int blocks = 0;
    for (DirItemBlock *b = dl->first; b != nullptr; b = b->next) {
        blocks++;
        if (b == to || kept == 0) {
            rest = b->next;
            b->next = nullptr;
            b->count = kept == 0 ? 0 : toIndex;
            break;
        }
        b->count = kDirItemsPerBlock;
    }
    while (rest != nullptr) {
        DirItemBlock *next = rest->next;
        free(rest);
        rest = next;
    }
    dl->nBlocks = blocks;
}

// Pointer array in reading order.
int BuildPointerArray(DirList *dl)
{
    dl->items = static_cast<DirItem **>(malloc((static_cast<size_t>(dl->nItems) + 1) * sizeof(DirItem *)));
    if (dl->items == nullptr)
        return kLsErrArray;
    int n = 0;
    for (DirItemBlock *b = dl->first; b != nullptr; b = b->next) {
        for (int i = 0; i < b->count; i++)
            dl->items[n++] = &b->items[i];
    }
    dl->items[n] = nullptr;
    return 0;
}

bool Matches(const DirItem *it, const char *pattern)
{
    return pattern == nullptr || GlobMatch(it->name, pattern) == 0;
}

// Longest name, total kilobytes and largest file over the listed items.
void Summarise(DirList *dl)
{
    dl->longestName = 0;
    dl->totalKB = 0;
    dl->largestSize = 0;
    dl->newestChange = 0;
    for (int i = 0; i < dl->nItems; i++) {
        const DirItem *it = dl->items[i];
        dl->longestName = std::max(dl->longestName, it->nameLen);
        dl->newestChange = std::max({dl->newestChange, it->st.st_mtime, it->st.st_ctime});
        if (it->type != 'l')
            dl->totalKB += it->st.st_size / 1024 + (it->st.st_size % 1024 != 0 ? 1 : 0);
        if (it->type == '-')
            dl->largestSize = std::max<int64_t>(dl->largestSize, it->st.st_size);
    }
}

// Gives a listing that shares a pointer array its own copy of it.
int OwnPointerArray(DirList *dl)
{
    const size_t bytes = (static_cast<size_t>(dl->nItems) + 1) * sizeof(DirItem *);
    auto *items = static_cast<DirItem **>(malloc(bytes));
    if (items == nullptr)
        return kLsErrArray;
    memcpy(items, dl->items, bytes);
    dl->items = items;
    dl->ownership = kLsCachedCopy;
    return 0;
}

bool ByName(const DirItem *a, const DirItem *b)
{
    return strcmp(a->name, b->name) < 0;
}

bool NewerFirst(const DirItem *a, const DirItem *b)
{
    if (a->st.st_mtim.tv_sec != b->st.st_mtim.tv_sec)
        return a->st.st_mtim.tv_sec > b->st.st_mtim.tv_sec;
    if (a->st.st_mtim.tv_nsec != b->st.st_mtim.tv_nsec)
        return a->st.st_mtim.tv_nsec > b->st.st_mtim.tv_nsec;
    return ByName(a, b);
}

bool LargerFirst(const DirItem *a, const DirItem *b)
{
    if (a->st.st_size != b->st.st_size)
        return a->st.st_size > b->st.st_size;
    return ByName(a, b);
}

void SortItems(DirItem **items, int n, int order)
{
    DirItem **end = items + n;
    switch (order) {
    case kLsSortNameReverse:
        std::sort(items, end, [](const DirItem *a, const DirItem *b) { return ByName(b, a); });
        break;
    case kLsSortNewestFirst:
        std::sort(items, end, NewerFirst);
        break;
    case kLsSortOldestFirst:
        std::sort(items, end, [](const DirItem *a, const DirItem *b) { return NewerFirst(b, a); });
        break;
    case kLsSortLargestFirst:
        std::sort(items, end, LargerFirst);
        break;
    case kLsSortSmallestFirst:
        std::sort(items, end, [](const DirItem *a, const DirItem *b) { return LargerFirst(b, a); });
        break;
    default:
        std::sort(items, end, ByName);
        break;
    }
}

// Drops the cache entry of a path, if there is one; returns whether there was.
bool DropPath(const char *path)
{
    DirCacheSlot *s = Find(path);
    if (s == nullptr)
        return false;
    Drop(s);
    return true;
}

}  // namespace

char TypeLetter(mode_t mode)
{
    if (S_ISREG(mode))
        return '-';
    if (S_ISDIR(mode))
        return 'd';
    if (S_ISLNK(mode))
        return 'l';
    if (S_ISFIFO(mode))
        return 'p';
    if (S_ISSOCK(mode))
        return 's';
    if (S_ISBLK(mode))
        return 'b';
    if (S_ISCHR(mode))
        return 'c';
    return '\0';
}

int LsInit()
{
    if (gSlots != nullptr)
        return 0;
    gLsCacheAge = (gLsMaxCacheDirs < 1 || gLsCacheSize < 1) ? 0 : std::max(gLsCacheDirAge, 0);
    gNumSlots = std::max(gLsMaxCacheDirs, kLsMinCacheDirs);
    gLsItemBudget = std::max(gLsCacheSize / kDirItemSize, kLsMinItemBudget);
    gNumBuckets = gNumSlots * 3 / 2;
    if (gTraceLogging >= 2) {
        Log(kLogMisc, "Sizeof DirItem = %d bytes.\n", kDirItemSize);
        if (gLsCacheAge == 0)
            Log(kLogMisc, "Ls Cache is disabled.\n");
    }
    gSlots = static_cast<DirCacheSlot *>(calloc(static_cast<size_t>(gNumSlots), sizeof(DirCacheSlot)));
    gBuckets = static_cast<DirCacheBucket *>(calloc(static_cast<size_t>(gNumBuckets), sizeof(DirCacheBucket)));
    if (gSlots == nullptr || gBuckets == nullptr) {
        free(gSlots);
        free(gBuckets);
        gSlots = nullptr;
        gBuckets = nullptr;
        gNumSlots = gNumBuckets = 0;
        gLsCacheAge = 0;
        return -1;
    }
    return 0;
}

void LsFreeCache()
{
    for (int i = 0; i < gNumSlots; i++) {
        if (gSlots[i].used && !gSlots[i].stale)
            Drop(&gSlots[i]);
    }
    // Entries still held keep their memory; their holders free it.
    bool held = false;
    for (int i = 0; i < gNumSlots; i++)
        held = held || gSlots[i].used;
    if (held)
        return;
    free(gSlots);
    free(gBuckets);
    gSlots = nullptr;
    gBuckets = nullptr;
    gNumSlots = gNumBuckets = 0;
    gLsDirsCached = gLsItemsCached = gLsMaxItemsCached = gLsMaxBytesCached = 0;
}

int Ls0(DirList *dl, const char *path, const char *pattern, uid_t uid, const gid_t *groups, int ngroups)
{
    memset(static_cast<void *>(dl), 0, sizeof(*dl));
    // The path is opened once with links forbidden; everything after is
    // looked at through that descriptor, so a component swapped for a link
    // meanwhile cannot lead the listing elsewhere.
    DIR *dir = SafeOpendir(path);
    if (dir == nullptr)
        return kLsErrOpen;
    const int dirFd = dirfd(dir);
    struct stat dirst;
    if (fstat(dirFd, &dirst) < 0) {
        closedir(dir);
        return kLsErrOpen;
    }
    dl->mtime = dirst.st_mtim;
    // Taken before the entries are read: a change made meanwhile shows as a
    // newer generation at the next use.
    dl->generation = DirGeneration(dirst);
    dl->path = strdup(path);
    if (dl->path == nullptr) {
        closedir(dir);
        return kLsErrPath;
    }
    dl->dirSt = dirst;
    fstatat(dirFd, "..", &dl->parentSt, AT_SYMLINK_NOFOLLOW);

    // The names first, then the status of all of them at once (by several
    // threads for a large directory), then what may be shown of each.
    DirItemBlock *last = nullptr;
    int result = ReadNames(dl, dir, path, pattern, &last);
    if (result == 0)
        result = BuildPointerArray(dl);
    if (result == 0) {
        StatItems(dirFd, dl->items, dl->nItems);
        KeepShown(dl, dirFd, uid, groups, ngroups);
    }
    closedir(dir);
    if (result < 0) {
        FreeListContents(dl);
        return result;
    }
    Summarise(dl);
    dl->sortOrder = kLsUnsorted;
    dl->uid = uid;
    return 0;
}

int Ls(DirList *result, const char *path, int sortOrder, const char *pattern, int cacheable, uid_t uid,
       const gid_t *groups, int ngroups)
{
    memset(static_cast<void *>(result), 0, sizeof(*result));
    if (pattern != nullptr && pattern[0] == '\0')
        pattern = nullptr;
    if (gSlots == nullptr)
        LsInit();
    const time_t now = ShmTime(nullptr);
    // The process's own counters in its slot; they survive its sessions.
    gRUserPtr->lsRequests++;

    DirCacheSlot *hit = Find(path);
    if (hit != nullptr) {
        _Trace(kLogMisc, "Cache hit: %s\n", path);
        if (hit->holders > 0 || StillValid(hit, now, true, uid)) {
            hit->lastUse = now;
            hit->hits++;
            gRUserPtr->lsCacheHits++;
            if (pattern == nullptr) {
                *result = hit->list;
                result->ownership = kLsCached;
                result->owner = hit;
                hit->holders++;
            } else {
                const int rc = CopyDir(result, &hit->list, pattern);
                if (rc < 0)
                    return rc;
                result->owner = hit;
                hit->holders++;
            }
        } else {
            hit = nullptr;
        }
    }

    if (hit == nullptr) {
        if (gLsItemsCached > gLsItemBudget)
            PurgeLargestUntil(gLsItemBudget * 0.7, now);
        const int rc = Ls0(result, path, pattern, uid, groups, ngroups);
        if (rc < 0)
            return rc;
        DirCacheSlot *slot = nullptr;
        if (pattern != nullptr) {
            result->ownership = kLsFiltered;
        } else if (gLsCacheAge > 0 && cacheable == 1 && gSlots != nullptr
                   && (slot = NewHashItem(result->nItems, now)) != nullptr) {
            slot->list = *result;
            slot->list.ownership = kLsCached;
            // Files that changed just now may change again from outside
            // the server, where neither the directory's time nor the
            // generations see it: such an entry lives briefly.
            slot->expires = result->newestChange + kRecentChangeSeconds > now ? now + kRecentChangeAge : 0;
            slot->bucket = HashPath(path);
            slot->next = gBuckets[slot->bucket].head;
            gBuckets[slot->bucket].head = slot;
            gBuckets[slot->bucket].count++;
            result->ownership = kLsCached;
            result->owner = slot;
            slot->holders++;
        } else {
            result->ownership = kLsUncached;
        }
    }

    LsSort(result, sortOrder);
    result->inUse = 1;
    NoteHeld(result);
    return 0;
}

void LsSort(DirList *dl, int sortOrder)
{
    if (dl->sortOrder == sortOrder)
        return;
    DirCacheSlot *s = dl->owner;
    const bool shared = dl->ownership == kLsCached && s != nullptr;
    // Another holder may be walking the shared array: sort a copy instead.
    if (shared && s->holders > 1 && OwnPointerArray(dl) < 0)
        return;
    SortItems(dl->items, dl->nItems, sortOrder);
    dl->sortOrder = sortOrder;
    if (dl->ownership == kLsCached && s != nullptr)
        s->list.sortOrder = sortOrder;
    if (dl->inUse)
        NoteHeld(dl);
}

int CopyDir(DirList *dst, const DirList *src, const char *pattern)
{
    if (pattern != nullptr && pattern[0] == '\0')
        pattern = nullptr;
    int n = 0;
    for (int i = 0; i < src->nItems; i++)
        n += Matches(src->items[i], pattern) ? 1 : 0;
    auto *items = static_cast<DirItem **>(malloc((static_cast<size_t>(n) + 1) * sizeof(DirItem *)));
    if (items == nullptr)
        return kLsErrArray;
    *dst = *src;
    int k = 0;
    for (int i = 0; i < src->nItems; i++) {
        if (Matches(src->items[i], pattern))
            items[k++] = src->items[i];
    }
    items[k] = nullptr;
    dst->items = items;
    dst->nItems = n;
    dst->ownership = kLsCachedCopy;
    dst->inUse = 1;
    if (dst->owner != nullptr)
        dst->owner->holders++;
    Summarise(dst);
    NoteHeld(dst);
    return 0;
}

void LsDone(DirList *dl)
{
    ForgetHeld(dl);
    switch (dl->ownership) {
    case kLsCached:
        Release(dl->owner);
        break;
    case kLsCachedCopy:
        free(dl->items);
        Release(dl->owner);
        break;
    default:
        if (dl->path != nullptr)
            DropPath(dl->path);
        FreeListContents(dl);
        break;
    }
    memset(static_cast<void *>(dl), 0, sizeof(*dl));
}

void LsAbandonAll()
{
    while (!gHeldListings.empty()) {
        DirList copy = gHeldListings.back().copy;
        gHeldListings.pop_back();
        LsDone(&copy);
    }
}

void LsDispose(DirList *dl)
{
    if (dl->ownership == kLsCached || dl->ownership == kLsCachedCopy) {
        char path[kPathBufSize] = "";
        if (dl->path != nullptr)
            Strncpy(path, dl->path);
        LsDone(dl);
        DropPath(path);
        return;
    }
    LsDone(dl);
}

void PurgeDirCacheEntryByPath(const char *path)
{
    struct stat st;
    if (SafeStat(path, &st) == 0 && S_ISDIR(st.st_mode))
        BumpDirGeneration(st);
    DirCacheSlot *s = Find(path);
    if (s == nullptr)
        return;
    _Trace(kLogMisc, "Dir \"%.420s\" was modified and will need to be re-read next time.\n", path);
    Drop(s);
}

void PurgeDirCacheEntryContainingFile(const char *path)
{
    char dir[kPathBufSize];
    Strncpy(dir, path);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr)
        return;
    if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    PurgeDirCacheEntryByPath(dir);
}

void PurgeDirsIfTooFat()
{
    if (gSlots != nullptr && gLsItemsCached >= 101 && gLsItemsCached >= gLsItemBudget * 1.5)
        PurgeLargestUntil(gLsItemBudget * 0.7, ShmTime(nullptr));
    if (gLsRecycleProcessThreshold >= 2 && gLsMaxBytesCached > gLsRecycleProcessThreshold) {
        gKillMyselfAtTheEarliestConvenience = 1;
        _Trace(kLogMisc, "Dir cache usage (%d bytes) exceeded max allowable (%d bytes), exiting.\n",
               gLsMaxBytesCached, gLsRecycleProcessThreshold);
    }
}

void DumpDirCache()
{
    const time_t now = ShmTime(nullptr);
    int dirs = 0;
    int items = 0;
    for (int b = 0; b < gNumBuckets; b++) {
        const DirCacheBucket &bucket = gBuckets[b];
        if (bucket.count == 0)
            continue;
        Reply("200-Bucket #%03d:  %d entr%s.\r\n", b, bucket.count, bucket.count == 1 ? "y" : "ies");
        int position = 0;
        for (const DirCacheSlot *s = bucket.head; s != nullptr; s = s->next) {
            char shown[64];
            const char *path = s->list.path;
            const size_t len = strlen(path);
            if (len > 50)
                snprintf(shown, sizeof(shown), "...%s", path + len - 46);
            else
                Strncpy(shown, path);
            Reply("200-  #%-2d %-50s i:%-4d h:%-4d a:%-4d\r\n", ++position, shown, s->list.nItems, s->hits,
                  static_cast<int>(now - s->lastUse));
            dirs++;
            items += s->list.nItems;
        }
    }
    if (dirs != gLsDirsCached)
        Reply("200-ERROR: dir count wrong (counted %d, have %d).\r\n", dirs, gLsDirsCached);
    if (items != gLsItemsCached)
        Reply("200-ERROR: item count wrong (counted %d, have %d).\r\n", items, gLsItemsCached);
    Reply("200-\r\n");
    Reply("200 #Dirs: %-3d #Items: %-5d #MaxItems: %-5d\r\n", gLsDirsCached, gLsItemsCached, gLsMaxItemsCached);
}

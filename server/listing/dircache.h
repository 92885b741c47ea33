// The directory cache: every listing of a session is read through Ls, which
// returns the entries of a directory sorted and optionally filtered by a
// glob pattern.  Recently read directories stay in a per-process cache (it
// outlives the sessions the process serves), so that listing the same
// directory again, or walking a tree, does not read and lstat every entry
// again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>

constexpr int kDirItemSize = 192;          // bytes per item in all size accounting
constexpr int kDirItemInlineNameSize = 36; // names of up to 35 characters stay inline
constexpr int kDirItemsPerBlock = 8;
constexpr int kLsUnsorted = 512;
constexpr int kLsMinCacheDirs = 8;
constexpr int kLsMinItemBudget = 64;

// Sort orders.
enum LsSortOrder {
    kLsSortName = 0,
    kLsSortNameReverse = 1,
    kLsSortNewestFirst = 2,
    kLsSortOldestFirst = 3,
    kLsSortLargestFirst = 4,
    kLsSortSmallestFirst = 5,
};

// Who owns what a listing points to.
enum LsOwnership {
    kLsCached = 0,       // the cache owns items and pointer array
    kLsCachedCopy = 1,   // items of a cache entry (or of another listing), own pointer array
    kLsFiltered = 2,     // read with a pattern, owns everything
    kLsUncached = 3,     // read without caching, owns everything
};

// Negative results of Ls and Ls0.
constexpr int kLsErrOpen = -1;             // stat or opendir failed (errno kept)
constexpr int kLsErrPath = -2;             // no memory for the path
constexpr int kLsErrItems = -4;            // no memory for an item block
constexpr int kLsErrArray = -5;            // no memory for the pointer array

struct DirItem {
    char *name;                            // inlineName, or a heap copy of a longer name
    char inlineName[kDirItemInlineNameSize];
    int nameLen;
    char *linkTarget;                      // symbolic links only
    struct stat st;                        // lstat of the entry
    char type;                             // '-' 'd' 'l' 'p' 's' 'b' 'c'
    char suffix;                           // '*' '/' '|' '=' or 0
};

struct DirItemBlock {
    DirItemBlock *next;
    int count;
    DirItem items[kDirItemsPerBlock];
};

struct DirCacheSlot;

struct DirList {
    char *path;
    DirItemBlock *first;
    DirItem **items;                       // nItems pointers and a null
    struct stat dirSt;                     // lstat of path + "/."
    struct stat parentSt;                  // lstat of path + "/.."
    struct timespec mtime;                 // the directory's modification time when read
    int nBlocks;
    int nItems;
    int sortOrder;                         // LsSortOrder, or kLsUnsorted
    int longestName;
    int ownership;                         // LsOwnership
    int64_t totalKB;                       // sum of (size + 1023) / 1024 over non-links
    int64_t largestSize;                   // largest regular file
    uid_t uid;                             // the user it was read for
    int inUse;                             // between Ls and LsDone
    DirCacheSlot *owner;                   // cache entry whose items this shares, if any
    uint32_t generation;                   // the directory's change generation when read
    time_t newestChange;                   // latest change time of an entry when read
};

// ---- Counters ------------------------------------------------------------------------
extern int gLsDirsCached;
extern int gLsItemsCached;
extern int gLsMaxItemsCached;              // high-water mark of items cached
extern int gLsMaxBytesCached;              // the same in bytes (items x 192)
extern int gLsItemBudget;                  // ls-cache-size / 192 (at least 64)
extern int gLsCacheAge;                    // validity in seconds; 0 = no caching

// ---- Interfaces ------------------------------------------------------------------------
// Sizes and allocates the cache (once per process; later calls keep it).
// Returns -1 when memory runs out; listings then go uncached.
int LsInit();
// Frees the whole cache, so that the next LsInit sizes it afresh.  Entries
// still in use are left to their holders.
void LsFreeCache();

// The sorted listing of the real, already checked directory path, filtered
// by pattern (nullptr or "" for all).  Only calls with cacheable 1 and no
// pattern put a directory they read into the cache.  Returns 0 or one of
// the kLsErr codes.  The listing must be given back with LsDone.
int Ls(DirList *result, const char *path, int sortOrder, const char *pattern, int cacheable, uid_t uid,
       const gid_t *groups, int ngroups);

// Reads a directory without the cache (unsorted).
int Ls0(DirList *dl, const char *path, const char *pattern, uid_t uid, const gid_t *groups, int ngroups);

// The type letter of a file mode ('-' 'd' 'l' 'p' 's' 'b' 'c'), '\0' for
// any other type.
char TypeLetter(mode_t mode);

// Releases a listing according to its ownership; clears it.
void LsDone(DirList *dl);
// Gives back every listing still held: for the end of a session whose
// frames were left by a jump.
void LsAbandonAll();
// Frees all of a listing and drops its path from the cache.
void LsDispose(DirList *dl);
// Re-sorts when the order differs from the current one.
void LsSort(DirList *dl, int sortOrder);
// A copy sharing the items of src with its own pointer array, filtered by
// pattern.  Returns 0 or kLsErrArray.  dst must be given back (LsDone)
// before src.
int CopyDir(DirList *dst, const DirList *src, const char *pattern);

// After a change: drop the entry of a directory, or of the directory that
// holds a file, so that the next listing reads it again.
void PurgeDirCacheEntryByPath(const char *path);
void PurgeDirCacheEntryContainingFile(const char *path);

// At session end: shrinks a cache grown far past its budget; marks the
// process to exit when its high-water mark passed
// "ls-recycle-process-threshold".
void PurgeDirsIfTooFat();

// The cache as a multi-line 200 reply.
void DumpDirCache();

// The status cache: lstat results of directories and symbolic links, kept
// per process for "s-cache" seconds after their last use.
#include "paths/lstatcache.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "config/config.h"

namespace {

struct StatCacheEntry {
    int pathLen;                 // including the terminator
    int pathOffset;              // into gStatCachePool
    time_t lastUsed;             // 0: must be refreshed before use
    int hits;
    struct stat st;
};

StatCacheEntry gStatCache[kStatCacheEntries];
int gNumStatCacheEntries;
char gStatCachePool[kStatCachePoolSize];
int gStatCachePoolUsed;

// The entry of a path, or null.
StatCacheEntry *Find(const char *path, int pathLen)
{
    const int len = pathLen + 1;
    for (int i = 0; i < gNumStatCacheEntries; i++) {
        StatCacheEntry &e = gStatCache[i];
        if (e.pathLen == len && memcmp(gStatCachePool + e.pathOffset, path, static_cast<size_t>(pathLen)) == 0)
            return &e;
    }
    return nullptr;
}

// Whether a directory keeps the name below it out of everyone's reach but
// root's: owned by root and writable by no one else -- or sticky (like /tmp)
// with the name below it owned by root, since nobody else may then rename or
// remove it.
bool HoldsNameForRoot(const struct stat *dir, uid_t childOwner)
{
    if (!S_ISDIR(dir->st_mode) || dir->st_uid != 0)
        return false;
    const bool othersMayWrite = (dir->st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return !othersMayWrite || ((dir->st_mode & S_ISVTX) != 0 && childOwner == 0);
}

// A cached status may only go stale through root's doing: the path is used
// for the confinement checks, so a component that the user could replace
// (a directory swapped for a link to elsewhere) must never be answered from
// the table.  That holds when every directory above the entry holds the name
// below it for root.  A fresh entry of an ancestor was checked the same way
// when it was stored, and only root could have changed that since, so the
// walk up stops there.
bool OnlyRootCanReplace(const char *path, int len, const struct stat *st, time_t now)
{
    if (path[0] != '/' || len >= kStatCachePoolSize)
        return false;
    char dir[kStatCachePoolSize];
    memcpy(dir, path, static_cast<size_t>(len));
    dir[len] = '\0';
    uid_t childOwner = st->st_uid;
    for (;;) {
        char *slash = strrchr(dir, '/');
        if (slash == dir)
            slash[1] = '\0';         // the parent is "/"
        else
            *slash = '\0';
        const StatCacheEntry *known = slash == dir ? nullptr : Find(dir, static_cast<int>(slash - dir));
        if (known != nullptr && known->lastUsed != 0 && now - known->lastUsed < gSCache)
            return HoldsNameForRoot(&known->st, childOwner);
        struct stat parent;
        if (lstat(dir, &parent) < 0 || !HoldsNameForRoot(&parent, childOwner))
            return false;
        if (slash == dir)
            return true;
        childOwner = parent.st_uid;
    }
}

void Remember(const char *path, int len, const struct stat *st, time_t now)
{
    if (gNumStatCacheEntries >= kStatCacheEntries || gStatCachePoolUsed + len > kStatCachePoolSize)
        return;
    if (!OnlyRootCanReplace(path, len - 1, st, now))
        return;
    StatCacheEntry &e = gStatCache[gNumStatCacheEntries++];
    e.pathLen = len;
    e.pathOffset = gStatCachePoolUsed;
    memcpy(gStatCachePool + gStatCachePoolUsed, path, static_cast<size_t>(len) - 1);
    gStatCachePool[gStatCachePoolUsed + len - 1] = '\0';
    gStatCachePoolUsed += len;
    e.lastUsed = now;
    e.hits = 0;
    e.st = *st;
}

}  // namespace

int LStatCache(const char *path, int pathLen, struct stat *st)
{
    if (gSCache <= 0)
        return lstat(path, st);
    if (pathLen <= 0)
        pathLen = static_cast<int>(strlen(path));
    const int len = pathLen + 1;
    const time_t now = time(nullptr);

    if (StatCacheEntry *found = Find(path, pathLen); found != nullptr) {
        StatCacheEntry &e = *found;
        if (now - e.lastUsed < gSCache) {
            e.lastUsed = now;
            e.hits++;
            *st = e.st;
            return 0;
        }
        const int rc = lstat(path, &e.st);
        // A failed refresh leaves nothing to answer from: refresh again next time.
        e.lastUsed = rc == 0 ? now : 0;
        e.hits = 0;
        if (rc == 0)
            *st = e.st;
        return rc;
    }

    const int rc = lstat(path, st);
    if (rc == 0 && (S_ISDIR(st->st_mode) || S_ISLNK(st->st_mode)))
        Remember(path, len, st, now);
    return rc;
}

void ResetStatCache()
{
    gNumStatCacheEntries = 0;
    gStatCachePoolUsed = 0;
}

int StatCacheEntries()
{
    return gNumStatCacheEntries;
}

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

// A cached status may only go stale through root's doing: the path is used
// for the confinement checks, so a component that the user could replace
// (a directory swapped for a link to elsewhere) must never be answered from
// the table.  That holds when every directory above the entry is owned by
// root and writable by no one else -- or, for a sticky directory such as
// /tmp, when the name below it belongs to root, since nobody else may then
// rename or remove it.
bool OnlyRootCanReplace(const char *path, int len)
{
    if (path[0] != '/' || len >= kStatCachePoolSize)
        return false;
    char dir[kStatCachePoolSize];
    memcpy(dir, path, static_cast<size_t>(len));
    dir[len] = '\0';
    struct stat st;
    if (lstat(dir, &st) < 0)
        return false;
    uid_t childOwner = st.st_uid;
    for (;;) {
        char *slash = strrchr(dir, '/');
        if (slash == dir)
            slash[1] = '\0';         // the parent is "/"
        else
            *slash = '\0';
        if (lstat(dir, &st) < 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0)
            return false;
        const bool othersMayWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (othersMayWrite && !((st.st_mode & S_ISVTX) != 0 && childOwner == 0))
            return false;
        if (slash == dir)
            return true;
        childOwner = st.st_uid;
    }
}

void Remember(const char *path, int len, const struct stat *st, time_t now)
{
    if (gNumStatCacheEntries >= kStatCacheEntries || gStatCachePoolUsed + len > kStatCachePoolSize)
        return;
    if (!OnlyRootCanReplace(path, len - 1))
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

    for (int i = 0; i < gNumStatCacheEntries; i++) {
        StatCacheEntry &e = gStatCache[i];
        if (e.pathLen != len || memcmp(gStatCachePool + e.pathOffset, path, static_cast<size_t>(pathLen)) != 0)
            continue;
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

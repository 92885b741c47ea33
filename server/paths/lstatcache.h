// The status cache: a small per-process table of lstat results for
// directories and symbolic links, so that resolving the same ancestors of
// every client path does not lstat them again and again.  Validity in
// seconds is the "s-cache" setting (gSCache); 0 turns the cache off.
#pragma once

#include <sys/stat.h>

constexpr int kStatCacheEntries = 16;
constexpr int kStatCachePoolSize = 1500;   // bytes for all cached paths together

// lstat through the cache.  pathLen is strlen(path), or 0 to have it
// counted.  Returns the lstat result (0, or -1 with errno).
int LStatCache(const char *path, int pathLen, struct stat *st);

// Empties the table.
void ResetStatCache();

// Number of cached entries (for tests and diagnostics).
[[nodiscard]] int StatCacheEntries();

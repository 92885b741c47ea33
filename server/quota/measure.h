// How a home tree is measured against the quota limits: the one rule that the
// daemon's sessions and the quota report tool both count by.  It needs only
// the tree walk, so a tool links it without the rest of the daemon.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

struct QuotaMeasure {
    int64_t bytes;    // sizes of the regular files counted
    int64_t files;    // 1, plus every entry counted (the root included)
    int dirCount;     // directories the walk entered
    int maxDepth;     // deepest level it entered (the root is 0)
};

// Whether an entry with this status counts towards the usage of owner.
[[nodiscard]] bool QuotaCountsEntry(const struct stat &st, uid_t owner, bool onlyOwned);

// Walks the directory open as rootFd (not closed here) without following a
// link.  Every entry counts one file, a regular file its size too; with
// onlyOwned, entries whose owner is not owner count nothing.  0; 1 with errno
// of a failure that left out only what does not count (a directory of
// another owner); -1 with errno when something that may count could not be
// read: the figures then hold what could be read and are too low.
[[nodiscard]] int MeasureQuotaTree(int rootFd, uid_t owner, bool onlyOwned, QuotaMeasure *m);

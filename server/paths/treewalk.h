// A pre-order walk of a directory tree that never follows a symbolic link:
// each directory is opened relative to its parent's descriptor with
// O_NOFOLLOW, each entry's status comes from fstatat(AT_SYMLINK_NOFOLLOW), so
// a link swapped in during the walk is reported as a link and never entered.
// The quota code measures a home tree with it.
#pragma once

#include <sys/stat.h>

// Directories deeper than this are reported but not entered (each level holds
// one descriptor open).
constexpr int kTreeWalkMaxDepth = 200;

struct TreeWalkStats {
    int dirCount;   // directories entered, the root included
    int maxDepth;   // deepest level entered (the root is level 0)
};

// Called for every entry, the root first, with its lstat information.
using TreeWalkVisit = void (*)(const struct stat &st, void *ctx);

// Walks the tree below rootFd (an open directory, not closed here); the root
// itself is reported from fstat(rootFd).  Returns 0, or -1 with errno of the
// first failure (an unreadable directory, a tree deeper than the limit); the
// walk goes on past failures, so what could be read is always reported.
[[nodiscard]] int WalkTree(int rootFd, TreeWalkVisit visit, void *ctx, TreeWalkStats *stats);

// A pre-order walk of a directory tree that never follows a symbolic link:
// each directory is opened relative to its parent's descriptor with
// O_NOFOLLOW, each entry's status comes from fstatat(AT_SYMLINK_NOFOLLOW), so
// a link swapped in during the walk is reported as a link and never entered.
// The quota code measures a home tree with it.
#pragma once

#include <sys/stat.h>

struct TreeWalkStats {
    int dirCount;   // directories entered, the root included
    int maxDepth;   // deepest level entered (the root is level 0)
    int missed;     // failures within directories whose entries matter
};

// One entry as the walk meets it.
struct TreeWalkEntry {
    const struct stat *st;   // its lstat information
    int dirFd;               // the directory holding it (-1 for the root)
    const char *name;        // its name there ("" for the root)
    int depth;               // the root is 0, its entries 1, and so on
};

// Called for every entry, the root first.  For a directory it says whether
// its entries matter: a failure to read one that does not is reported but
// leaves the walk complete (missed stays 0).
using TreeWalkVisit = bool (*)(const TreeWalkEntry &e, void *ctx);

// Walks the tree below rootFd (an open directory, not closed here); the root
// itself is reported from fstat(rootFd).  Any depth is walked without
// recursion; each level holds one descriptor open.  Returns 0, or -1 with
// errno of the first failure (an unreadable directory, descriptors run out);
// the walk goes on past failures, so what could be read is always reported,
// but the figures are then incomplete.
[[nodiscard]] int WalkTree(int rootFd, TreeWalkVisit visit, void *ctx, TreeWalkStats *stats);

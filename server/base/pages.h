// Which pages a process writes.  A pool child is forked from the master, and
// a session's process from its pool child at the login: a page stays shared
// until one of them writes it, however little, and the same value again
// costs a copy as much as a new one.  What an idle session costs is the
// pages its pool child wrote before the fork (which the two then share)
// and the pages either writes after it (one copy each).
#pragma once

#include <cstddef>
#include <cstring>

// Whether the n bytes at p are all zero.
[[nodiscard]] inline bool AllZero(const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    return n == 0 || (b[0] == 0 && memcmp(b, b + 1, n - 1) == 0);
}

// Wipes a secret unless nothing is left of it: a page the processes share
// is not copied for a wipe that changes nothing.
inline void WipeIfSet(void *p, size_t n)
{
    if (!AllZero(p, n))
        explicit_bzero(p, n);
}

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

// Sets var to value unless it holds it already.
template <typename T>
inline void SetIfChanged(T &var, const T &value)
{
    if (!(var == value))
        var = value;
}

// Wipes a secret unless nothing is left of it: a page the processes share
// is not copied for a wipe that changes nothing.
inline void WipeIfSet(void *p, size_t n)
{
    if (!AllZero(p, n))
        explicit_bzero(p, n);
}

// Where a variable of the pool child's or the session's goes, by who writes
// it: each group gathers its variables on pages of its own (the linker
// script base/pages.ld), not among the arrays no process of the pair
// touches, nor on pages another group writes (a build without the script
// leaves them among the large arrays).  Zero-initialised variables only.
//   ON_LOGIN_PAGES    the pool child's, written while a client logs in and
//                     no more once its session's process is forked: the
//                     two share the pages.
//   ON_LOGIN_PAGES_LAST  the same, for a large buffer of which a login
//                     writes only the start: after the others, so that its
//                     start shares their last page.
//   ON_SESSION_PAGES  written by the session's own process.
#define ON_LOGIN_PAGES __attribute__((section(".lbss.zorvad.login")))
#define ON_LOGIN_PAGES_LAST __attribute__((section(".lbss.zorvad.login.last")))
#define ON_SESSION_PAGES __attribute__((section(".lbss.zorvad.session")))

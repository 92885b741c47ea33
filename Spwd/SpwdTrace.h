// Private to the library: the step trace of the tracing build.  The normal
// build compiles every trace call away (the arguments are still type-checked,
// so both builds stay warning-free).
#pragma once

#include "Spwd.h"

#ifdef SPWD_TRACE
inline constexpr bool kSpwdTraceBuild = true;
#else
inline constexpr bool kSpwdTraceBuild = false;
#endif

void SpwdTracef(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#define SPWD_TRACEF(...)                  \
    do {                                  \
        if constexpr (kSpwdTraceBuild)    \
            SpwdTracef(__VA_ARGS__);      \
    } while (0)

// Initialises the library on first use (every public entry calls it).
void SpwdEnsureInit();

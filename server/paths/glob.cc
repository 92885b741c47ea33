// GlobMatch: the wildcard matcher of listings and SITE commands.  "*" any
// run, "?" any one character, "[set]" and "[^set]" with ranges; no escape
// character; case-sensitive.
#include <cstring>

#include "paths/paths.h"

namespace {

constexpr int kMatch = 0;
constexpr int kNoMatch = -1;
constexpr int kMalformed = -2;
// The string ran out while the pattern still needed characters: a star
// further out, taking more of the string, cannot do better, so its search
// stops.  Without this, a pattern of many stars costs time exponential in
// their number; with it, every outcome is the same as with the full search.
constexpr int kAbort = -3;

int Match(const char *s, const char *p);

// Compiles the bracket expression at p (which points at "[") into a
// membership table of all byte values and sets *after to the text after its
// "]".  Ranges compare signed bytes.  Returns 0, or kMalformed for an empty
// set, a missing "]", or a range that ends below its start or with "]".
int CompileSet(const char *p, bool member[256], const char **after)
{
    p++;
    const bool negated = *p == '^';
    if (negated)
        p++;
    if (*p == ']')
        return kMalformed;
    memset(member, 0, 256 * sizeof(bool));
    while (*p != ']') {
        if (*p == '\0')
            return kMalformed;
        const signed char lo = static_cast<signed char>(*p);
        signed char hi = lo;
        if (p[1] == '-') {
            if (p[2] == '\0' || p[2] == ']')
                return kMalformed;
            hi = static_cast<signed char>(p[2]);
            if (hi < lo)
                return kMalformed;
            p += 2;
        }
        for (int c = lo; c <= hi; c++)
            member[static_cast<unsigned char>(c)] = true;
        p++;
    }
    if (negated) {
        for (int c = 0; c < 256; c++)
            member[c] = !member[c];
    }
    *after = p + 1;
    return 0;
}

// The rest of a pattern after one or more stars, tried at each later
// position of the string.  rest is the first character after the stars.
int MatchAfterStar(const char *s, const char *rest)
{
    if (*rest == '\0')
        return kMatch;               // a final star takes the rest
    const char *next = rest + 1;
    bool member[256];
    if (*rest == '[') {
        if (CompileSet(rest, member, &next) < 0)
            return kMalformed;
    } else if (*rest != '?') {
        memset(member, 0, sizeof(member));
        member[static_cast<unsigned char>(*rest)] = true;
    } else {
        memset(member, 1, sizeof(member));
    }
    for (; *s != '\0'; s++) {
        if (!member[static_cast<unsigned char>(*s)])
            continue;
        const int rc = Match(s + 1, next);
        if (rc != kNoMatch)
            return rc;
    }
    return kAbort;
}

int Match(const char *s, const char *p)
{
    for (;;) {
        if (*s == '\0') {
            while (*p == '*')
                p++;
            return *p == '\0' ? kMatch : kAbort;
        }
        switch (*p) {
        case '\0':
            return kNoMatch;         // the pattern ended, the string goes on
        case '*':
            while (*p == '*')
                p++;
            return MatchAfterStar(s, p);
        case '?':
            break;
        case '[': {
            bool member[256];
            const char *after;
            if (CompileSet(p, member, &after) < 0)
                return kMalformed;
            if (!member[static_cast<unsigned char>(*s)])
                return kNoMatch;
            p = after - 1;
            break;
        }
        default:
            if (*p != *s)
                return kNoMatch;
            break;
        }
        s++;
        p++;
    }
}

}  // namespace

int GlobMatch(const char *string, const char *pattern)
{
    const int rc = Match(string, pattern);
    return rc == kAbort ? kNoMatch : rc;
}

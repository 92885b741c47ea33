// Bounded appends.
#include "Strn.h"

#include <cstring>

// Appends while the total length stays below size - 1; returns the terminating
// zero, or nullptr when dst was already full.
static char *AppendBounded(char *dst, const char *src, size_t size)
{
    size_t len = strnlen(dst, size);
    if (len >= size - 1)
        return nullptr;
    char *d = dst + len;
    char *lim = dst + size - 1;
    while (d < lim && *src != '\0')
        *d++ = *src++;
    *d = '\0';
    return d;
}

char *Strncat(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return dst;
    char *d = AppendBounded(dst, src, size);
    if (d == nullptr)
        return dst;
    char *lim = dst + size;
    while (d < lim)
        *d++ = '\0';
    return dst;
}

char *Strnpcat(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return dst;
    char *d = AppendBounded(dst, src, size);
    return d == nullptr ? dst : d;
}

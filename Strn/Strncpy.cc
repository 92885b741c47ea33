// Bounded copies.
#include "Strn.h"

#include <cstring>

// Copies at most size - 1 characters, terminates and zero-fills the rest, so that
// records written to files or shared memory never carry stale bytes.
char *Strncpy(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return dst;
    char *d = Strnpcpy(dst, src, size);
    char *lim = dst + size;
    while (d < lim)
        *d++ = '\0';
    return dst;
}

char *Strncpy_NoZeroPad(char *dst, const char *src, size_t size)
{
    if (size != 0)
        Strnpcpy(dst, src, size);
    return dst;
}

// Returns the position of the terminating zero, so that further text can follow.
char *Strnpcpy(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return dst;
    char *d = dst;
    char *lim = dst + size - 1;
    while (d < lim && *src != '\0')
        *d++ = *src++;
    *d = '\0';
    return d;
}

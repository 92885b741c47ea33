// Bounded string routines: the size argument is always the full size of the
// destination buffer, at most size - 1 characters are stored and the result is
// always terminated.  A size of 0 writes nothing.
#pragma once

#include <cstddef>

char *Strncpy(char *dst, const char *src, size_t size);
char *Strncpy_NoZeroPad(char *dst, const char *src, size_t size);
char *Strnpcpy(char *dst, const char *src, size_t size);
char *Strncat(char *dst, const char *src, size_t size);
char *Strnpcat(char *dst, const char *src, size_t size);

char *strtokc(char *parsestr, const char *delims, char **context);
size_t strntokc(char *dst, size_t dsize, char *parsestr, const char *delims, char **context);
char *Strtok(char *buf, const char *delims);
int Strntok(char *dst, size_t dsize, char *buf, const char *delims);

// Array conveniences: the size is taken from the destination's type.
template <size_t N>
inline char *Strncpy(char (&dst)[N], const char *src) { return Strncpy(dst, src, N); }
template <size_t N>
inline char *Strncat(char (&dst)[N], const char *src) { return Strncat(dst, src, N); }

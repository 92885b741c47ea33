// Temporary logger until the logger process exists: log text goes to
// standard error.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log.h"

void Log(int /*type*/, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void LogPerror(const char *fmt, ...)
{
    const int err = errno;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, ": %s\n", strerror(err));
}

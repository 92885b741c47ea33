// The library's version text.
#include "sio.h"

#include "Strn.h"

char *SIOGetVersion(char *dst, size_t size)
{
    if (dst == nullptr || size < 2)
        return nullptr;
    return Strncpy(dst, "5.6.2", size);
}

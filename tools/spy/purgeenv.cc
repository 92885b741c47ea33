#include "purgeenv.h"

#include <cstdlib>
#include <cstring>

extern char **environ;

int SpyPurgeEnvironment()
{
    for (char **ep = environ; ep != nullptr && *ep != nullptr; ep++)
        memset(*ep, 0, strlen(*ep));
    static char *empty[1] = {nullptr};
    environ = empty;
    return getenv("PATH") == nullptr ? 0 : -1;
}

// Wiping the environment.
#include "environ.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

bool RunByWebServer()
{
    return getenv("REMOTE_ADDR") != nullptr && getenv("REQUEST_METHOD") != nullptr;
}

int PurgeEnvironment()
{
    static char *empty[1] = {nullptr};
    if (environ != nullptr) {
        for (char **e = environ; *e != nullptr; e++)
            explicit_bzero(*e, strlen(*e));
    }
    if (clearenv() != 0)
        return -1;
    environ = empty;
    return getenv("PATH") == nullptr ? 0 : -1;
}

// Leaving the process until the start-up code provides the orderly shutdown.
#include "exit.h"

#include <cstdlib>

void Exit(int code)
{
    exit(code);
}

// REST: the restart offset of the next transfer.
#include <cinttypes>
#include <cstdio>

#include "config/config.h"
#include "session/shell.h"

void Rest(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (*arg == '\0') {
        BadArgs();
        return;
    }
    if (!gAllowREST) {
        Reply("502 This site does not allow transfers to be resumed.\r\n");
        return;
    }
    long long offset = 0;
    if (sscanf(arg, "%lld", &offset) != 1)
        offset = 0;
    if (offset < 0) {
        BadArgs();
        return;
    }
    gRestartPt = offset;
    Reply("350 Will attempt to restart at position %lld.\r\n", offset);
}

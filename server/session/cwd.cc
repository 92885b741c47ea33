// CWD (XCWD) and CDUP: moving around the user's tree, with the directory
// message of a directory entered for the first time.  PWD is with the
// simple commands (cmds_simple.cc).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "log/log.h"
#include "session/messages.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "session/shell.h"
#include "status/shm.h"
#include "config/userclass.h"

void Cwd(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    if (!gAllow[kPermChdir]) {
        PermissionDenied("no chdir permission");
        return;
    }
    char real[kPathBufSize];
    if (CheckPathName(real, sizeof(real), gCwd, arg) < 0) {
        _Trace(kLogMisc, "cd: illegal path.\n");
        PermissionDeniedBadPathname();
        return;
    }
    // A link met here was put in since the check: EACCES, the check's 553.
    if (SafeChdir(real) < 0) {
        switch (errno) {
        case ENOENT:
            Reply("550 No such directory.\r\n");
            break;
        case ENOTDIR:
            Reply("550 That is not a directory.\r\n");
            break;
        case EACCES:
        case EPERM:
            PermissionDenied(nullptr);
            break;
        default:
            Reply("550 Could not change directory: %.420s\r\n", strerror(errno));
            break;
        }
        return;
    }

    Strncpy(gCwd, real);
    snprintf(gRUserPtr->command, sizeof(gRUserPtr->command), "%s %.246s", "Cwd", real);
    Strncpy(gRUserPtr->cwd, gCwd);
    gRUserPtr->lastCommandTime = ShmTime(nullptr);

    char shown[kSessionPathSize];
    VirtualPath(shown, sizeof(shown), gCwd);
    if (OpenDirectoryMessage()) {
        Reply("250-\"%.420s\" is new cwd.\r\n", shown);
        Reply("250-\r\n");
        ReplyFile(250);
        CloseReplyFile();
        Reply("250 \r\n");
    } else {
        Reply("250 \"%.420s\" is new cwd.\r\n", shown);
    }
}

void Cdup(char *)
{
    char parent[] = "..";
    Cwd(parent);
}

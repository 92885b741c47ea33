// The identity switch of a login, in the session's own process (privsep.h):
// the groups and the real, effective and saved user and group ids become
// the user's, with no way back.
#include <grp.h>
#include <unistd.h>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "session/login.h"
#include "base/exit.h"
#include "base/process.h"
#include "session/shell.h"

namespace {

[[noreturn]] void IdentityFailed(const char *reply)
{
    Reply("%s", reply);
    DoneConnection(kEndIdentity);
}

void SetSupplementaryGroups(gid_t primary)
{
    if (gVirtualUser) {
        if (SetGroups(gPass.nGids, gPass.gid) < 0)
            LogPerror("SetGroups(%d gids)", gPass.nGids);
        else
            return;
    } else if (gIsAnon && gNumFTPUserGroups > 0 && gPass.uid == gFTPUser.uid) {
        if (setgroups(static_cast<size_t>(gNumFTPUserGroups), gFTPUserGroups) < 0)
            LogPerror("setgroups(%d gids)", gNumFTPUserGroups);
        else
            return;
    } else {
        if (initgroups(gPass.username, primary) < 0)
            LogPerror("initgroups(%d gids)", gPass.nGids);
        else
            return;
    }
    // Root's own groups must never stay with the user's session.
    if (setgroups(1, &primary) < 0) {
        LogPerror("setgroups(1 gid)");
        IdentityFailed("451 Login failed, local error.\r\n");
    }
}

}  // namespace

void SwitchToUserIdentity()
{
    if (!gRunningAsRoot)
        return;
    // A server that runs as the anonymous account holds root as its real
    // and saved uid only: root's effective uid comes back for the switch.
    if (geteuid() != 0 && seteuid(0) < 0) {
        LogPerror("setEuid(0) (eu=%u, ru=%u)", static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    if (gSetuidFTP) {
        // The anonymous account the master took on, with its one group.
        const uid_t uid = gFTPUser.uid;
        const gid_t gid = static_cast<gid_t>(gFTPUser.gid[0]);
        if (setgroups(1, &gid) < 0 || setresgid(gid, gid, gid) < 0) {
            LogPerror("setgroups(1 gid)");
            IdentityFailed("451 Login failed, local error.\r\n");
        }
        if (setresuid(uid, uid, uid) < 0) {
            LogPerror("setEuid(%u) (eu=%u, ru=%u)", static_cast<unsigned>(uid), static_cast<unsigned>(geteuid()),
                      static_cast<unsigned>(getuid()));
            IdentityFailed("451 Login failed, local error.\r\n");
        }
        return;
    }
    if (gPass.nGids < 1 || gPass.gid[0] < 0) {
        Log(kLogMisc, "No groups defined for user \"%.63s\"\n", gPass.username);
        IdentityFailed("451 Login failed.\r\n");
    }
    // setresuid(-1, ...) would leave the process as root.
    if (gPass.uid < 0) {
        Log(kLogMisc, "setEuid(%u) (eu=%u, ru=%u)\n", static_cast<unsigned>(gPass.uid),
            static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    // A session with a front's uid could stop that front, one with the base
    // the look-up helpers (a user database line may name any uid; the master
    // checked only the system's accounts).
    if (IsReservedId(gPass.uid)) {
        Log(kLogMisc, "User \"%.63s\" has uid %d, one of the fronts' ids (front-uid-base): login refused.\n",
            gPass.username, static_cast<int>(gPass.uid));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    const gid_t gid = static_cast<gid_t>(gPass.gid[0]);
    const uid_t uid = static_cast<uid_t>(gPass.uid);
    SetSupplementaryGroups(gid);
    if (setresgid(gid, gid, gid) < 0) {
        LogPerror("setEgid(%u)", static_cast<unsigned>(gid));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    if (setresuid(uid, uid, uid) < 0) {
        LogPerror("setEuid(%u) (eu=%u, ru=%u)", static_cast<unsigned>(uid), static_cast<unsigned>(geteuid()),
                  static_cast<unsigned>(getuid()));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
}

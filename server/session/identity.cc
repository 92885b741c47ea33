// The identity switch of a login: the effective group, the supplementary
// groups and the effective user become the user's.  The real user stays
// root, so the end of the session can return to root (DoneConnection).
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

// A server that already runs as the anonymous account still carries root's
// supplementary group from the master; the session must not.
void DropRootGroupsOfAnonymousAccount()
{
    const uid_t uid = geteuid();
    const gid_t gid = static_cast<gid_t>(gFTPUser.gid[0]);
    if (seteuid(0) < 0) {
        LogPerror("setEuid(0) (eu=%u, ru=%u)", static_cast<unsigned>(uid), static_cast<unsigned>(getuid()));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    if (setgroups(1, &gid) < 0) {
        LogPerror("setgroups(1 gid)");
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    if (seteuid(uid) < 0) {
        LogPerror("setEuid(%u) (eu=%u, ru=%u)", static_cast<unsigned>(uid), static_cast<unsigned>(geteuid()),
                  static_cast<unsigned>(getuid()));
        Exit(1);
    }
}

}  // namespace

void SwitchToUserIdentity()
{
    if (!gRunningAsRoot)
        return;
    // An anonymous-only server may already run as the anonymous account.
    if (gSetuidFTP) {
        DropRootGroupsOfAnonymousAccount();
        return;
    }
    if (geteuid() != 0 && seteuid(0) < 0) {
        LogPerror("setEuid(0) (eu=%u, ru=%u)", static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    if (gPass.nGids < 1 || gPass.gid[0] < 0) {
        Log(kLogMisc, "No groups defined for user \"%.63s\"\n", gPass.username);
        IdentityFailed("451 Login failed.\r\n");
    }
    // seteuid(-1) would leave the process as root.
    if (gPass.uid < 0) {
        Log(kLogMisc, "setEuid(%u) (eu=%u, ru=%u)\n", static_cast<unsigned>(gPass.uid),
            static_cast<unsigned>(geteuid()), static_cast<unsigned>(getuid()));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    const gid_t gid = static_cast<gid_t>(gPass.gid[0]);
    const uid_t uid = static_cast<uid_t>(gPass.uid);
    if (setegid(gid) < 0) {
        LogPerror("setEgid(%u)", static_cast<unsigned>(gid));
        IdentityFailed("451 Login failed, local error.\r\n");
    }
    SetSupplementaryGroups(gid);
    if (seteuid(uid) < 0) {
        LogPerror("setEuid(%u) (eu=%u, ru=%u)", static_cast<unsigned>(uid), static_cast<unsigned>(geteuid()),
                  static_cast<unsigned>(getuid()));
        const gid_t rootGroup = 0;
        if (setegid(rootGroup) < 0)
            LogPerror("setEgid(0)");
        (void) setgroups(1, &rootGroup);
        IdentityFailed("451 Login failed, local error.\r\n");
    }
}

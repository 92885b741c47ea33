// The user class of a login: the first class (in declaration order) whose
// group rule takes the user gives the session its permission switches and
// says whether the user is restricted.
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"
#include "session/login.h"
#include "session/shell.h"
#include "status/shm.h"
#include "config/userclass.h"

int gSessionUserClass = -1;

namespace {

bool InGroupList(const UserClass &uc, int32_t gid)
{
    for (int i = 0; i < uc.numGroups && i < kMaxClassGroups; i++) {
        if (uc.groups[i] == static_cast<gid_t>(gid))
            return true;
    }
    return false;
}

bool ClassTakesUser(const UserClass &uc)
{
    if (uc.groupRule == kGroupRuleNone)
        return ClassWithoutGroupsTakesAll(uc);
    if (uc.groupRule == kGroupRuleAll)
        return true;
    bool member = gPass.nGids >= 1 && InGroupList(uc, gPass.gid[0]);
    for (int i = 1; !member && !gURestrictByPrimaryGroupOnly && i < gPass.nGids && i < kSpwdMaxGids; i++)
        member = InGroupList(uc, gPass.gid[i]);
    return uc.except ? !member : member;
}

}  // namespace

void CheckForRestrictedUser()
{
    Strncpy(gRUserPtr->restriction, "unrestricted");
    int i = 0;
    for (; i < kMaxUserClasses && gUserClasses[i].inUse; i++) {
        const UserClass &uc = gUserClasses[i];
        if (!ClassTakesUser(uc))
            continue;
        gSessionUserClass = i;
        memcpy(gAllow, uc.permissions, sizeof(gAllow));
        gRestrictedUser = uc.groupRule == kGroupRuleAll ? 1 : uc.restricted;
        if (uc.name[0] != '\0')
            _Trace(kLogMisc, "User is a member of user class %d (%s).\n", i, uc.name);
        else
            _Trace(kLogMisc, "User is a member of user class %d.\n", i);
        break;
    }
    if (i == kMaxUserClasses || !gUserClasses[i].inUse) {
        // No class took the user: the record where the walk stopped decides.
        const int stop = i < kMaxUserClasses ? i : kMaxUserClasses - 1;
        gSessionUserClass = stop;
        gRestrictedUser = strcmp(gUserClasses[stop].name, "default") == 0 ? gUserClasses[stop].restricted : 0;
        _Trace(kLogMisc, "User did not match any user class.\n");
    }
    if (gRestrictedUser)
        Strncpy(gRUserPtr->restriction, "restricted");
    if (gVirtualUser) {
        Strncpy(gRUserPtr->restriction, "restrictedvirtual");
        if (gUAlwaysRestrictVirtualUsers)
            gRestrictedUser = 1;
    }
}

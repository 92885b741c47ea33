#include "useridentity.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Spwd.h"

UserIdentity::UserIdentity(const Hpwd *p)
{
    if (geteuid() != 0 || p->uid == 0)
        return;
    if (p->uid < 0 || p->nGids < 1 || p->gid[0] < 0) {
        error_ = EINVAL;   // the daemon refuses such a login
        return;
    }
    savedEgid_ = getegid();
    nSavedGroups_ = getgroups(int(sizeof savedGroups_ / sizeof savedGroups_[0]), savedGroups_);
    if (nSavedGroups_ < 0) {
        error_ = errno;
        return;
    }
    switched_ = true;
    if (SetGroups(p->nGids, p->gid) != 0 || setegid(gid_t(p->gid[0])) != 0 || seteuid(uid_t(p->uid)) != 0) {
        error_ = errno;
        Restore();
    }
}

UserIdentity::~UserIdentity()
{
    Restore();
}

void UserIdentity::Restore()
{
    if (!switched_)
        return;
    switched_ = false;
    if ((geteuid() != 0 && seteuid(0) != 0) || setegid(savedEgid_) != 0
        || setgroups(size_t(nSavedGroups_), savedGroups_) != 0) {
        fprintf(stderr, "Could not return to root's identity: %s\n", strerror(errno));
        exit(1);
    }
}

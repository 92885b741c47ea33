// The identity of a record's user for as long as an object lives, taken the
// way the daemon takes it for a session (the record's groups, its primary
// group, then its UID as the effective identity).  Only a tool running with
// an effective UID of 0 can switch; otherwise, and for a record of UID 0,
// nothing changes.
#pragma once

#include <sys/types.h>

#include "Hpwd.h"

class UserIdentity {
  public:
    explicit UserIdentity(const Hpwd *p);
    // Returns to root and root's groups; a failure ends the process (exit 1)
    // rather than go on with a user's identity.
    ~UserIdentity();
    UserIdentity(const UserIdentity &) = delete;
    UserIdentity &operator=(const UserIdentity &) = delete;

    // 0 when the identity is as wanted, else the errno of the failed switch
    // (nothing is then changed).
    [[nodiscard]] int error() const { return error_; }

  private:
    void Restore();

    bool switched_ = false;
    int error_ = 0;
    gid_t savedEgid_ = 0;
    int nSavedGroups_ = 0;
    gid_t savedGroups_[256];
};

// The user class of a login: which class takes a user, the permissions it
// gives, and whether the user is restricted.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Spwd.h"
#include "config/config.h"
#include "session/login.h"
#include "session/shell.h"
#include "status/shm.h"
#include "config/userclass.h"

namespace {

class ClassLookupTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetUserClasses();
        InitSpwdStruct(&gPass);
        gPass.nGids = 2;
        gPass.gid[0] = 100;
        gPass.gid[1] = 200;
        gVirtualUser = 0;
        gRestrictedUser = 0;
        gURestrictByPrimaryGroupOnly = 0;
        gUAlwaysRestrictVirtualUsers = 1;
        for (int &a : gAllow)
            a = 1;
    }
    void TearDown() override { ResetUserClasses(); }

    void Close() { ASSERT_EQ(CloseUserClasses(), 0); }
    std::string Slot() { return gRUserPtr->restriction; }
};

TEST_F(ClassLookupTest, WithoutClassKeysEveryoneIsRestrictedByDefault)
{
    Close();
    CheckForRestrictedUser();
    EXPECT_EQ(gSessionUserClass, 0);
    EXPECT_EQ(gRestrictedUser, 1);
    EXPECT_EQ(Slot(), "restricted");
}

TEST_F(ClassLookupTest, ListedGroupsTakeMembersByPrimaryOrSupplementaryGroup)
{
    ASSERT_EQ(BeginNewUserClass("staff"), 0);
    ASSERT_EQ(SetClassRestrictedGroups("200"), 0);
    ASSERT_EQ(SetClassRestrictMode("unrestricted +R-W"), 0);
    Close();
    CheckForRestrictedUser();
    EXPECT_EQ(gSessionUserClass, 0);
    EXPECT_EQ(gRestrictedUser, 0);
    EXPECT_EQ(gAllow[kPermRead], 1);
    EXPECT_EQ(gAllow[kPermDelete], 0);

    gURestrictByPrimaryGroupOnly = 1;
    for (int &a : gAllow)
        a = 1;
    CheckForRestrictedUser();
    EXPECT_EQ(gSessionUserClass, 1);   // the default class
    EXPECT_EQ(gRestrictedUser, 1);
    EXPECT_EQ(gAllow[kPermDelete], 1);
}

TEST_F(ClassLookupTest, AllExceptTurnsTheListAround)
{
    ASSERT_EQ(BeginNewUserClass("outsiders"), 0);
    ASSERT_EQ(SetClassRestrictedGroups("all except 100"), 0);
    ASSERT_EQ(SetClassRestrictMode("none"), 0);
    Close();
    CheckForRestrictedUser();
    EXPECT_EQ(gSessionUserClass, 1);
    gPass.gid[0] = 300;
    gPass.nGids = 1;
    CheckForRestrictedUser();
    EXPECT_EQ(gSessionUserClass, 0);
    EXPECT_EQ(gRestrictedUser, 0);
}

TEST_F(ClassLookupTest, VirtualUsersAreRestrictedWhenTheSettingSaysSo)
{
    ASSERT_EQ(SetClassRestrictedGroups("100"), 0);
    ASSERT_EQ(SetClassRestrictMode("none"), 0);
    Close();
    gVirtualUser = 1;
    CheckForRestrictedUser();
    EXPECT_EQ(gRestrictedUser, 1);
    EXPECT_EQ(Slot(), "restrictedvirtual");
    gUAlwaysRestrictVirtualUsers = 0;
    CheckForRestrictedUser();
    EXPECT_EQ(gRestrictedUser, 0);
    EXPECT_EQ(Slot(), "restrictedvirtual");
}

}  // namespace

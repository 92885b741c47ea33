// User classes declared by the class keys of general.cf.
#include "config/userclass.h"

#include <gtest/gtest.h>

#include <string>

#include "Spwd.h"
#include "config/config.h"
#include "conffile.h"
#include "session/login.h"
#include "session/shell.h"

using ::testing::ExitedWithCode;

namespace {

class UserClasses : public ::testing::Test {
  protected:
    void SetUp() override { SetConfigDefaults(); }
    void TearDown() override { SetConfigDefaults(); }

    // Reads a general.cf and closes the table as start-up does.
    void ReadAndClose(const std::string &contents)
    {
        ReadConfigFile(dir_.Write("general.cf", contents).c_str());
        ASSERT_EQ(CloseUserClasses(), 0);
    }
    static std::string Perms(const UserClass &uc)
    {
        char buf[32];
        GetUserPermissionsString(uc.permissions, buf, sizeof(buf));
        return buf;
    }
    static int InUse()
    {
        int n = 0;
        for (const UserClass &uc : gUserClasses)
            n += uc.inUse;
        return n;
    }

    TempConfDir dir_;
};

TEST_F(UserClasses, WithoutClassKeysThereIsOnlyTheDefaultClass)
{
    ReadAndClose("port=21\n");
    EXPECT_EQ(InUse(), 1);
    EXPECT_STREQ(gUserClasses[0].name, "default");
    EXPECT_EQ(gUserClasses[0].groupRule, kGroupRuleAll);
    EXPECT_EQ(gUserClasses[0].restricted, 1);
    EXPECT_EQ(Perms(gUserClasses[0]), "RWLCu");
}

TEST_F(UserClasses, KeysAfterAOneLineClassGoToAFreshClass)
{
    ReadAndClose("u-read-only-groups = daemon\nu-restrict-mode = none\nu-restricted-groups = 100\n");
    EXPECT_STREQ(gUserClasses[0].name, "u-read-only-groups");
    EXPECT_EQ(gUserClasses[0].groupRule, kGroupRuleListed);
    EXPECT_EQ(gUserClasses[0].numGroups, 1);
    EXPECT_EQ(gUserClasses[0].groups[0], 1u);
    EXPECT_EQ(gUserClasses[0].restricted, 1);
    EXPECT_EQ(Perms(gUserClasses[0]), "RLC");
    EXPECT_STREQ(gUserClasses[1].name, "");
    EXPECT_EQ(gUserClasses[1].groups[0], 100u);
    EXPECT_EQ(gUserClasses[1].restricted, 0);
    EXPECT_STREQ(gUserClasses[2].name, "default");
}

// Which class a user (primary group 100, supplementary group 200) lands in:
// a class begun by name without groups takes nobody and its record goes to
// the next class; the unnamed class of keys outside any begun class takes all.
struct ClassCase {
    const char *cf;
    int index;              // the session's class
    const char *name;
    int restricted;
    int inUse;              // records in use after closing
};

class ClassOfAUser : public UserClasses, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ClassOfAUser, IsTheFirstClassOfItsGroups)
{
    ReadAndClose(GetParam().cf);
    InitSpwdStruct(&gPass);
    gPass.nGids = 2;
    gPass.gid[0] = 100;
    gPass.gid[1] = 200;
    gVirtualUser = 0;
    CheckForRestrictedUser();
    EXPECT_EQ(gSessionUserClass, GetParam().index);
    EXPECT_STREQ(gUserClasses[gSessionUserClass].name, GetParam().name);
    EXPECT_EQ(gRestrictedUser, GetParam().restricted);
    EXPECT_EQ(InUse(), GetParam().inUse);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ClassOfAUser,
    ::testing::Values(
        ClassCase{"begin-new-user-class = nogroups\nu-restrict-mode = none\n"
                  "begin-new-user-class = staff\nu-restricted-groups = 200\nu-restrict-mode = none\n",
                  0, "staff", 0, 2},
        ClassCase{"begin-new-user-class = nogroups\nu-restrict-mode = none\n", 0, "default", 1, 1},
        ClassCase{"u-restrict-mode = none\n", 0, "", 0, 2},
        ClassCase{"u-write-permission = no\nbegin-new-user-class = staff\nu-restricted-groups = 100\n"
                  "u-restrict-mode = unrestricted\n",
                  0, "", 1, 3},
        ClassCase{"begin-new-user-class = others\nu-restricted-groups = 300\nu-restrict-mode = none\n"
                  "begin-new-user-class = empty\nu-restricted-groups = none\nu-restrict-mode = none\n"
                  "begin-new-user-class = users\nu-restricted-groups = 100\nu-restrict-mode = none\n",
                  1, "users", 0, 3}));

TEST_F(UserClasses, WriteOnlyAndAddOnlyClasses)
{
    ReadAndClose("u-write-only-groups = 100\nu-add-only-groups = 200, 300\n");
    EXPECT_EQ(Perms(gUserClasses[0]), "WLCu");
    EXPECT_EQ(Perms(gUserClasses[1]), "cLCu");
    EXPECT_EQ(gUserClasses[1].numGroups, 2);
    EXPECT_EQ(gUserClasses[1].groups[1], 300u);
    EXPECT_STREQ(gUserClasses[2].name, "default");
}

TEST_F(UserClasses, ReadButNotWriteConfinedToTheHome)
{
    ReadAndClose("begin-new-user-class = readers\nu-restricted-groups = daemon\n"
                 "u-restrict-mode = +R-W homedir\nend-user-class\n");
    EXPECT_STREQ(gUserClasses[0].name, "readers");
    EXPECT_STREQ(gUserClasses[0].permText, "+R-W");
    EXPECT_EQ(Perms(gUserClasses[0]), "RLCu");
    EXPECT_EQ(gUserClasses[0].restricted, 1);
    EXPECT_EQ(gRestrictedModeSwitch, 1);
}

TEST_F(UserClasses, AllExceptInvertsTheGroupList)
{
    ReadAndClose("begin-new-user-class = others\nu-restricted-groups = all except root\n");
    EXPECT_EQ(gUserClasses[0].groupRule, kGroupRuleListed);
    EXPECT_EQ(gUserClasses[0].except, 1);
    EXPECT_EQ(gUserClasses[0].numGroups, 1);
    EXPECT_EQ(gUserClasses[0].groups[0], 0u);
}

TEST_F(UserClasses, ReadAndWritePermissionKeysSetTheDefaultOfLaterClasses)
{
    ReadAndClose("begin-new-user-class = first\nu-restricted-groups = 100\nu-write-permission = no\n"
                 "begin-new-user-class = later\nu-restricted-groups = 200\nu-restrict-mode = unrestricted\n");
    EXPECT_EQ(Perms(gUserClasses[0]), "RLCu");    // "first" got -W directly
    EXPECT_EQ(Perms(gUserClasses[1]), "RLCu");    // and "later" by default
    EXPECT_EQ(gUserClasses[1].restricted, 0);
    EXPECT_EQ(Perms(gUserClasses[2]), "RLCu");    // and so does "default"
}

TEST_F(UserClasses, TheClassNamedDefaultTakesEveryone)
{
    ReadAndClose("begin-new-user-class = Default\n");
    EXPECT_STREQ(gUserClasses[0].name, "default");
    EXPECT_EQ(gUserClasses[0].groupRule, kGroupRuleAll);
}

TEST(UserPermissions, TextsAndRendering)
{
    const struct { const char *text; const char *rendered; } cases[] = {
        {"+*", "RWLCu"},     {"-W", "RLCu"},      {"-R", "WLCu"},   {"-*+R", "R"},
        {"-W+w", "RwLCu"},   {"-W+md", "RmdLCu"}, {"-*+cuCL", "cLCu"}, {"-* +r t", "Rt"},
        {"-W+0ol", "RolLCu"},
    };
    for (const auto &c : cases) {
        int perms[kNumUserPermissions];
        for (int &p : perms)
            p = 1;
        char bad = 0;
        EXPECT_EQ(ParseUserPermissions(c.text, perms, &bad), 0) << c.text;
        char buf[32];
        GetUserPermissionsString(perms, buf, sizeof(buf));
        EXPECT_STREQ(buf, c.rendered) << c.text;
    }
}

TEST(UserPermissions, AnUnknownLetterIsReportedAfterTheOthersApply)
{
    int perms[kNumUserPermissions] = {};
    char bad = 0;
    EXPECT_EQ(ParseUserPermissions("+RxL", perms, &bad), -1);
    EXPECT_EQ(bad, 'x');
    EXPECT_EQ(perms[kPermRead], 1);
    EXPECT_EQ(perms[kPermMlsd], 1);
}

TEST(RestrictedGroups, NamesNumbersAndLimits)
{
    gid_t groups[kMaxClassGroups];
    int count, except, rule;
    SetRestrictedGroups("none", groups, &count, &except, &rule);
    EXPECT_EQ(rule, kGroupRuleNone);
    EXPECT_EQ(count, 0);

    SetRestrictedGroups("all", groups, &count, &except, &rule);
    EXPECT_EQ(rule, kGroupRuleAll);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(groups[0], static_cast<gid_t>(-1));

    ::testing::internal::CaptureStderr();
    SetRestrictedGroups("root,no-such-group-zv\t42", groups, &count, &except, &rule);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Could not get group ID for group name \"no-such-group-zv\"\n");
    EXPECT_EQ(rule, kGroupRuleListed);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(groups[0], 0u);
    EXPECT_EQ(groups[1], 42u);

    std::string many;
    for (int i = 1; i <= 20; i++)
        many += std::to_string(i) + " ";
    SetRestrictedGroups(many.c_str(), groups, &count, &except, &rule);
    EXPECT_EQ(count, kMaxClassGroups);
    EXPECT_EQ(groups[15], 16u);
}

using UserClassesDeathTest = UserClasses;

TEST_F(UserClassesDeathTest, ASixteenthClassIsOneTooMany)
{
    std::string cf;
    for (int i = 1; i <= 16; i++)
        cf += "begin-new-user-class = c" + std::to_string(i) + "\nu-restricted-groups = " + std::to_string(i) + "\n";
    EXPECT_EXIT(ReadConfigFile(dir_.Write("general.cf", cf).c_str()), ExitedWithCode(1),
                "^You cannot have more than 15 user classes\\.\n$");
}

TEST_F(UserClassesDeathTest, FifteenClassesStillLeaveRoomForDefault)
{
    std::string cf;
    for (int i = 1; i <= 15; i++)
        cf += "begin-new-user-class = c" + std::to_string(i) + "\nu-restricted-groups = " + std::to_string(i) + "\n";
    ReadAndClose(cf);
    EXPECT_STREQ(gUserClasses[14].name, "c15");
    EXPECT_STREQ(gUserClasses[15].name, "default");
}

TEST_F(UserClassesDeathTest, BadRestrictModes)
{
    const struct { const char *value; const char *message; } cases[] = {
        {"+Rx", "^Unknown user permission type \"x\" in restrict-mode\\.\n$"},
        {"bogus", "^Unknown restrict-mode \"bogus\"\n$"},
        {"subdir-of-homedir", "^Missing dir for the u-restrict-mode subdir-of-homedir option\\.\n$"},
        {"subdir-of-homedir /abs",
         "^The subdirectory for the u-restrict-mode subdir-of-homedir option must not be an absolute path\\.\n$"},
        {"root", "^Missing dir for the u-restrict-mode root option\\.\n$"},
        {"root rel", "^The directory for the u-restrict-mode root option must be an absolute path\\.\n$"},
    };
    for (const auto &c : cases) {
        const std::string path = dir_.Write("general.cf", std::string("u-restrict-mode = ") + c.value + "\n");
        EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1), c.message) << c.value;
    }
}

TEST_F(UserClassesDeathTest, TheRestrictDirectoryIsOneValueForAllClasses)
{
    ReadAndClose("begin-new-user-class = a\nu-restricted-groups = 1\nu-restrict-mode = root /srv/ftp\n"
                 "begin-new-user-class = b\nu-restricted-groups = 2\nu-restrict-mode = /srv/ftp\n");
    EXPECT_STREQ(gHomeDirSubDir, "/srv/ftp");
    EXPECT_EQ(gUserClasses[0].dirSet, 1);
    EXPECT_EQ(gUserClasses[1].dirSet, 1);

    SetConfigDefaults();
    const std::string path = dir_.Write("general.cf", "begin-new-user-class = a\nu-restrict-mode = subdir-of-homedir pub\n"
                                                      "begin-new-user-class = b\nu-restrict-mode = /srv/ftp\n");
    EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1),
                "^Sorry, but the u-restrict-mode option's root and subdir-of-homedir suboptions are currently "
                "limited to a single value which apply to all user classes\\.  You are seeing this message "
                "because you tried to set it to a different value than you had for another user class\\.\n$");
}

}  // namespace

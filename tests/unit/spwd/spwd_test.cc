// Account records, passwd/shadow look-ups, supplementary groups, the probe and
// the policy file.  Account files are shaped in private mount namespaces.
#include "Spwd.h"
#include "Strn.h"
#include "private_etc.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr char kAliceMd5[] = "$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/";   // "password"

TEST(SpwdRecord, InitResetsIdsToMinusOneAndEverythingElseToZero)
{
    Spwd p;
    memset(&p, 0x5a, sizeof p);
    InitSpwdStruct(&p);
    EXPECT_EQ(p.uid, -1);
    for (int32_t g : p.gid)
        EXPECT_EQ(g, -1);
    EXPECT_EQ(p.nGids, 0);
    EXPECT_EQ(p.alg, 0);
    EXPECT_STREQ(p.username, "");
    for (char c : p.reserved)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(sizeof(Spwd), 1152u);
}

TEST(SpwdRecord, UnparseWritesAPasswdLineWithTheGroupList)
{
    Spwd p;
    InitSpwdStruct(&p);
    Strncpy(p.username, "bob");
    Strncpy(p.passwd, "$1$x$y");
    p.uid = 1001;
    p.gid[0] = 100;
    p.gid[1] = 200;
    p.gid[2] = 300;
    p.nGids = 3;
    Strncpy(p.gecos, "Bob B");
    Strncpy(p.homedir, "/home/bob");
    Strncpy(p.shell, "/bin/sh");
    char line[256];
    EXPECT_STREQ(UnparseSpwdEntry(line, sizeof line, &p), "bob:$1$x$y:1001:100,200,300:Bob B:/home/bob:/bin/sh");

    char small[10];
    memset(small, 'z', sizeof small);
    UnparseSpwdEntry(small, sizeof small, &p);
    EXPECT_STREQ(small, "bob:$1$x$");

    p.nGids = 1;
    EXPECT_STREQ(UnparseSpwdEntry(line, sizeof line, &p), "bob:$1$x$y:1001:100:Bob B:/home/bob:/bin/sh");
}

// ---- Supplementary groups from a group file ----------------------------------------

class GroupFile : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string overlong = "longline:x:103:" + std::string(600, 'm') + ",bob\n";
        std::string longName(45, 'u');
        path_ = dir_.Write("group",
                           "# a comment naming bob,\n"
                           "root:x:0:\n"
                           "\n"
                           "staff:x:100:bobby,alice\n"
                           "wheel:x:101:bob\n"
                           "users:x:102:alice,bob,carol\n" +
                               overlong +
                               "malformed line without colons bob\n"
                               "empty:x:104:\n"
                               "cut:x:106:" + longName.substr(0, 39) + "\n"
                               "full:x:107:" + longName + "\n"
                               "last:x:105:bob");   // no final newline
        saved_ = gSpwdGroupFile;
        gSpwdGroupFile = path_.c_str();
        gGetUserGroupsMethod = 2;
    }
    void TearDown() override
    {
        gSpwdGroupFile = saved_;
        gGetUserGroupsMethod = 2;
        SpwdSetScratchBuffer(nullptr, 0);
    }
    std::vector<int32_t> Groups(const char *user, int maxg = 32)
    {
        int32_t list[32];
        int n = GetUserGroups(list, maxg, user);
        return n < 0 ? std::vector<int32_t>{-100} : std::vector<int32_t>(list, list + n);
    }

    TempDir dir_;
    std::string path_;
    const char *saved_ = nullptr;
};

TEST_F(GroupFile, MembershipIsAnExactCommaDelimitedNameMatch)
{
    EXPECT_EQ(Groups("bob"), (std::vector<int32_t>{101, 102, 105}));
    EXPECT_EQ(Groups("bobby"), (std::vector<int32_t>{100}));
    EXPECT_EQ(Groups("alice"), (std::vector<int32_t>{100, 102}));
    EXPECT_EQ(Groups("bo"), (std::vector<int32_t>{}));
    EXPECT_EQ(Groups("carol"), (std::vector<int32_t>{102}));
}

TEST_F(GroupFile, ALongNameIsNotMatchedByAMemberWithItsPrefix)
{
    EXPECT_EQ(Groups(std::string(45, 'u').c_str()), (std::vector<int32_t>{107}));
    EXPECT_EQ(Groups(std::string(39, 'u').c_str()), (std::vector<int32_t>{106}));
}

TEST_F(GroupFile, StopsStoringAtMaxg)
{
    EXPECT_EQ(Groups("bob", 2), (std::vector<int32_t>{101, 102}));
}

TEST_F(GroupFile, MaxgZeroIsInvalid)
{
    int32_t list[4] = {7, 7, 7, 7};
    errno = 0;
    EXPECT_EQ(GetUserGroups(list, 0, "bob"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(GroupFile, AScratchBufferTakesLongerLinesAndIsWipedAfterwards)
{
    std::vector<char> scratch(4096, 'q');
    SpwdSetScratchBuffer(scratch.data(), scratch.size());
    EXPECT_EQ(Groups("bob"), (std::vector<int32_t>{101, 102, 103, 105}));
    for (char c : scratch)
        ASSERT_EQ(c, 0);
}

TEST_F(GroupFile, AMissingFileOrAnUnknownMethodGivesMinusOne)
{
    int32_t list[4] = {7, 7, 7, 7};
    gSpwdGroupFile = "/nonexistent/group";
    EXPECT_EQ(GetUserGroups(list, 4, "bob"), -1);
    EXPECT_EQ(list[0], -1);

    list[0] = 7;
    gGetUserGroupsMethod = 3;
    errno = 0;
    EXPECT_EQ(GetUserGroups(list, 4, "bob"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(list[0], -1);
}

TEST(ProcessGroups, SetGroupsThenTheGetgroupsMethodReadsThemBack)
{
    int rc = RunWithPrivateEtc({}, [] {
        const int32_t mine[] = {1234, 5678, 91011};
        CHILD_CHECK(SetGroups(3, mine) == 0);
        gGetUserGroupsMethod = 1;
        int32_t list[8];
        CHILD_CHECK(GetUserGroups(list, 8, "whoever") == 3);
        CHILD_CHECK(list[0] == 1234 && list[1] == 5678 && list[2] == 91011);
        CHILD_CHECK(GetUserGroups(list, 2, "whoever") == 2);

        CHILD_CHECK(SetGroups(0, nullptr) == 0);
        list[0] = 7;
        errno = 0;
        CHILD_CHECK(GetUserGroups(list, 8, "whoever") == -1);
        CHILD_CHECK(errno == EINVAL);
        CHILD_CHECK(list[0] == -1);
    });
    EXPECT_EQ(rc, 0);
}

// ---- Look-ups against private account files ---------------------------------------

class Accounts : public ::testing::Test {
  protected:
    // Shapes passwd, shadow and group and runs body with them in place.
    template <class Body>
    int Run(const std::string &passwd, const std::string &shadow, Body body)
    {
        std::string group = "root:x:0:\nalpha:x:6001:alice,bob\nalphabet:x:6002:alicea\n";
        return RunWithPrivateEtc({{dir_.Write("passwd", passwd), "/etc/passwd"},
                                  {dir_.Write("shadow", shadow, 0600), "/etc/shadow"},
                                  {dir_.Write("group", group), "/etc/group"}},
                                 body);
    }

    static std::string Passwd()
    {
        return "root:x:0:0:root:/root:/bin/bash\n"
               "alice:x:5001:5001:Alice A:/home/alice:/bin/sh\n"
               "bob:$6$abc$def:5002:5002:Bob:/home/bob:/bin/sh\n"
               "carol:x:5003:5003::/home/carol:/bin/sh\n"
               "dave::5004:5004::/:/bin/sh\n";
    }
    static std::string Shadow(const std::string &alicePassword)
    {
        return "root:*:19000:0:99999:7:::\n"
               "alice:" + alicePassword + ":19000:0:99999:7:::\n"
               "bob:$6$other$xyz:19000:0:99999:7:::\n"
               "dave::19000:0:99999:7:::\n";
    }

    TempDir dir_;
};

TEST_F(Accounts, APlaceholderInPasswdGivesTheShadowPassword)
{
    int rc = Run(Passwd(), Shadow(kAliceMd5), [] {
        Spwd p;
        CHILD_CHECK(GetSpwdByName("alice", &p, 1, 1, 1) == 0);
        CHILD_CHECK_STREQ(p.username, "alice");
        CHILD_CHECK_STREQ(p.passwd, kAliceMd5);
        CHILD_CHECK(p.alg == 0);
        CHILD_CHECK(p.uid == 5001);
        CHILD_CHECK(p.gid[0] == 5001);
        CHILD_CHECK(p.nGids == 2);
        CHILD_CHECK(p.gid[1] == 6001);
        CHILD_CHECK(p.gid[2] == -1);
        CHILD_CHECK_STREQ(p.gecos, "Alice A");
        CHILD_CHECK_STREQ(p.homedir, "/home/alice");
        CHILD_CHECK_STREQ(p.shell, "/bin/sh");
        CHILD_CHECK(CheckPassword("password", p.passwd, 0, 0) == 0);
        CHILD_CHECK(CheckPassword("Password", p.passwd, 0, 0) == -1);
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(Accounts, PasswordAndGroupsOnlyWhenAskedFor)
{
    int rc = Run(Passwd(), Shadow(kAliceMd5), [] {
        Spwd p;
        CHILD_CHECK(GetSpwdByName("alice", &p, 0, 0, 1) == 0);
        CHILD_CHECK_STREQ(p.passwd, "");
        CHILD_CHECK(p.nGids == 1);
        CHILD_CHECK(p.gid[1] == -1);
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(Accounts, AValidPasswdFieldIsKeptAndAMissingShadowLeavesThePlaceholder)
{
    int rc = Run(Passwd(), Shadow(kAliceMd5), [] {
        Spwd p;
        CHILD_CHECK(GetSpwdByName("bob", &p, 1, 0, 1) == 0);
        CHILD_CHECK_STREQ(p.passwd, "$6$abc$def");
        CHILD_CHECK(GetSpwdByName("carol", &p, 1, 0, 1) == 0);
        CHILD_CHECK_STREQ(p.passwd, "x");
        CHILD_CHECK(ValidEncryptedPassword(p.passwd) == 0);
        CHILD_CHECK(GetSpwdByName("dave", &p, 1, 0, 1) == 0);
        CHILD_CHECK_STREQ(p.passwd, "");
        CHILD_CHECK(CheckPassword("", p.passwd, 0, 0) == -1);   // no password is no match
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(Accounts, AnUnknownUserGivesMinusOneAndAResetRecord)
{
    int rc = Run(Passwd(), Shadow(kAliceMd5), [] {
        Spwd p;
        CHILD_CHECK(GetSpwdByName("alice", &p, 1, 1, 0) == 0);
        CHILD_CHECK(GetSpwdByName("nosuchuser", &p, 1, 1, 1) == -1);
        CHILD_CHECK(p.uid == -1);
        CHILD_CHECK(p.nGids == 0);
        CHILD_CHECK_STREQ(p.passwd, "");
        CHILD_CHECK(GetSpwdByUID(77777, &p, 1, 1, 1) == -1);
        CHILD_CHECK(GetSpwdByUID(5002, &p, 0, 0, 1) == 0);
        CHILD_CHECK_STREQ(p.username, "bob");
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(Accounts, EnumerationReturnsEveryAccountThenMinusOne)
{
    int rc = Run(Passwd(), Shadow(kAliceMd5), [] {
        Spwd p;
        std::string names;
        for (int first = 1; GetSpwdEnt(first, &p, 1, 1, 0) == 0; first = 0)
            names += std::string(p.username) + ",";
        EndSpwd();
        CHILD_CHECK_STREQ(names, "root,alice,bob,carol,dave,");
        // A fresh start rewinds.
        CHILD_CHECK(GetSpwdEnt(1, &p, 0, 0, 1) == 0);
        CHILD_CHECK_STREQ(p.username, "root");
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(Accounts, TheProbeFindsTheFirstValidPasswordAndCountsTheAccounts)
{
    int rc = Run(Passwd(), Shadow(kAliceMd5), [] {
        unsigned n = 0;
        int tx = 7;
        CHILD_CHECK(CanGetEncryptedPasswords2(20, &n, &tx) == 1);
        CHILD_CHECK(n == 3);   // root by uid, then root and alice enumerated
        CHILD_CHECK(tx == 0);
    });
    EXPECT_EQ(rc, 0);

    // bob's passwd and shadow fields are valid too: take them away.
    std::string passwd = Passwd();
    passwd.replace(passwd.find("$6$abc$def"), 10, "x");
    std::string shadow = Shadow("!");
    shadow.replace(shadow.find("$6$other$xyz"), 12, "!!");
    rc = Run(passwd, shadow, [] {
        unsigned n = 0;
        int tx = 7;
        CHILD_CHECK(CanGetEncryptedPasswords2(0, &n, &tx) == 0);
        CHILD_CHECK(n == 6);
        CHILD_CHECK(tx == 0);
        CHILD_CHECK(CanGetEncryptedPasswords() == 0);
    });
    EXPECT_EQ(rc, 0);
}

// ---- Initialisation ----------------------------------------------------------------

TEST(PolicyFile, CryptDefaultMd5SelectsSunMd5AndSystemBlowfish)
{
    TempDir dir;
    std::string path = dir.Write("policy.conf", "#CRYPT_DEFAULT=md5\nCRYPT_ALGORITHMS_ALLOW=1,2a,md5\nCRYPT_DEFAULT=md5\n");
    const char *saved = gSpwdPolicyFile;
    gSpwdUseSystemCryptForMD5 = 1;
    gSpwdPolicyFile = path.c_str();
    SpwdLibraryInit(0, nullptr);
    EXPECT_EQ(gSpwdUseSystemCryptForBlowfish, 1);
    EXPECT_EQ(gSpwdUseSystemCryptForMD5, 0);
    EXPECT_EQ(gSpwdUseSunMD5, 1);
    EXPECT_EQ(gSpwdDebugStream, stderr);

    gSpwdUseSystemCryptForBlowfish = 0;
    gSpwdUseSunMD5 = 0;
    gSpwdPolicyFile = "/nonexistent/policy.conf";
    SpwdLibraryInit(0, nullptr);
    EXPECT_EQ(gSpwdUseSystemCryptForBlowfish, 0);
    EXPECT_EQ(gSpwdUseSunMD5, 0);
    gSpwdPolicyFile = saved;
}

TEST(NormalBuild, WritesNoTrace)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    SpwdLibraryInit(0, nullptr);
    gSpwdDebugStream = fp;
    Spwd p;
    InitSpwdStruct(&p);
    ValidEncryptedPassword2("$1$abc$def", nullptr);
    CheckPassword("pw", kAliceMd5, 0, 0);
    GetSpwdByName("root", &p, 0, 0, 1);
    EXPECT_EQ(ftell(fp), 0);
    gSpwdDebugStream = stderr;
    fclose(fp);
}

} // namespace

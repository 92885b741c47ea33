// Password sources of a set and the checks a password database must pass.
// The tests run as root, as the server does.
#include "config/domain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "domain_test_util.h"

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

class PasswdDatabase : public DomainTest {
  protected:
    void SetUp() override
    {
        DomainTest::SetUp();
        chmod(dir_.path().c_str(), 0700);
        db_ = dir_.Write("passwd.db", "", 0600);
    }
    // The check's result and what it logged.
    int Check(const std::string &path)
    {
        CaptureStderr();
        const int rc = StartupCheckPermissionsOnPasswdFile(path.c_str());
        log_ = GetCapturedStderr();
        return rc;
    }
    std::string db_;
    std::string log_;
};

TEST_F(PasswdDatabase, APrivateFileInAPrivateDirectoryIsUsed)
{
    EXPECT_EQ(Check(db_), 0);
    EXPECT_EQ(log_, "");
}

TEST_F(PasswdDatabase, GroupOrPublicAccessIsRejectedWhenRunningAsRoot)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root";
    for (const mode_t mode : {0640, 0604, 0610, 0620}) {
        chmod(db_.c_str(), mode);
        EXPECT_EQ(Check(db_), -1) << std::oct << mode;
        EXPECT_EQ(log_, "Password database " + db_ + " must not be accessible in any way by group or public.\n"
                        "\"/bin/chmod go-rwx\" this file if it is a legitimate database file.\n");
    }
}

TEST_F(PasswdDatabase, ThePathMustBeAFullPathname)
{
    EXPECT_EQ(Check("passwd.db"), -1);
    EXPECT_EQ(log_, "Password database passwd.db is not a full pathname, not using it.\n");
    // Relative with a directory part: still relative to whatever directory a
    // process happens to be in.
    EXPECT_EQ(Check("etc/passwd.db"), -1);
    EXPECT_EQ(log_, "Password database etc/passwd.db is not a full pathname, not using it.\n");
}

TEST_F(PasswdDatabase, AMissingFileIsNotUsed)
{
    EXPECT_EQ(Check(dir_ / "none.db"), -1);
    EXPECT_EQ(log_, "Password database " + (dir_ / "none.db") + " does not exist.\n");
}

TEST_F(PasswdDatabase, APublicWritableDirectoryIsRefused)
{
    for (const mode_t mode : {0777, 01777, 0703}) {
        chmod(dir_.path().c_str(), mode);
        EXPECT_EQ(Check(db_), -1) << std::oct << mode;
        EXPECT_EQ(log_, dir_.path() + " is public-writeable, will not use passwd databases in this directory.\n");
    }
}

TEST_F(PasswdDatabase, TheSystemPasswdFileIsExemptFromTheModeCheck)
{
    EXPECT_EQ(Check("/etc/passwd"), 0);
    EXPECT_EQ(log_, "");
}

TEST_F(PasswdDatabase, TheListKeepsTheUsableSourcesInOrder)
{
    const std::string second = dir_.Write("second.db", "", 0600);
    const std::string open = dir_.Write("open.db", "", 0644);
    CaptureStderr();
    ReadDomainCf("set-name=a\npasswd=" + db_ + ", /etc/passwd,none\t/dev/null," + open + "," + second + "\n");
    const std::string log = GetCapturedStderr();
    const DomainInfo *d = GetFirstDomain();
    EXPECT_EQ(d->passwd, db_ + ", /etc/passwd,none\t/dev/null," + open + "," + second);
    ASSERT_EQ(d->numPasswdSources, getuid() == 0 ? 3 : 4);
    EXPECT_EQ(d->passwdSources[0].kind, kPasswdDatabase);
    EXPECT_EQ(d->passwdSources[0].path, db_);
    EXPECT_EQ(d->passwdSources[1].kind, kPasswdSystem);
    EXPECT_STREQ(d->passwdSources[1].path, "/etc/passwd");
    EXPECT_EQ(d->passwdSources[d->numPasswdSources - 1].path, second);
    if (getuid() == 0) {
        EXPECT_THAT(log, HasSubstr("Password database " + open + " must not be accessible"));
    }
}

TEST_F(PasswdDatabase, NoneLeavesNoSource)
{
    ReadDomainCf("set-name=a\npasswd=none\nset-name=b\npasswd=/dev/null\n");
    EXPECT_EQ(gDomainInfo[0]->numPasswdSources, 0);
    EXPECT_STREQ(gDomainInfo[0]->passwd, "none");
    EXPECT_EQ(gDomainInfo[1]->numPasswdSources, 0);
}

TEST_F(PasswdDatabase, PerSetDatabasesFollowTheSetName)
{
    dir_.Mkdir("a", 0700);
    const std::string a = dir_.Write("a/passwd.db", "", 0600);
    ReadDomainCf("set-name=a\npasswd=" + dir_.path() + "/@SETNAME@/passwd.db\n");
    ASSERT_EQ(GetFirstDomain()->numPasswdSources, 1);
    EXPECT_EQ(GetFirstDomain()->passwdSources[0].path, a);
}

}  // namespace

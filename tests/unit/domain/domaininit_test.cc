// Finishing the sets: the real anonymous root, the log patterns, the address
// text and server name, and the warnings for a chrooted anonymous area.
#include "config/domain.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "Strn.h"
#include "config/config.h"
#include "domain_test_util.h"

using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

std::string Cwd()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof(buf)) != nullptr ? buf : "";
}

using DomainFinish = DomainTest;

TEST_F(DomainFinish, ASymlinkedAnonymousRootBecomesItsRealPath)
{
    const std::string real = dir_.Mkdir("real");
    dir_.Mkdir("real/pub");
    dir_.Symlink(real + "/pub", "link");
    const std::string before = Cwd();
    ReadDomainCf("set-name=a\nftp-home=" + (dir_ / "link") + "/\n");
    PostReadDomainConfigInit();
    const DomainInfo *d = GetFirstDomain();
    EXPECT_EQ(d->ftpHome, RealPath(real) + "/pub");
    EXPECT_EQ(d->ftpHomeLen, static_cast<int>(strlen(d->ftpHome)));
    EXPECT_EQ(Cwd(), before);
    EXPECT_EQ(gCurDomain, d);
}

TEST_F(DomainFinish, WithoutStartupLResolveTheRootIsKeptAsGiven)
{
    const std::string real = dir_.Mkdir("real");
    dir_.Symlink(real, "link");
    gStartupLResolve = 0;
    ReadDomainCf("set-name=a\nftp-home=" + (dir_ / "link") + "//\n");
    PostReadDomainConfigInit();
    EXPECT_EQ(GetFirstDomain()->ftpHome, dir_ / "link");
}

TEST_F(DomainFinish, ARootThatCannotBeEnteredIsKeptAsGiven)
{
    ReadDomainCf("set-name=a\nftp-home=" + (dir_ / "missing") + "\n");
    PostReadDomainConfigInit();
    EXPECT_EQ(GetFirstDomain()->ftpHome, dir_ / "missing");
}

TEST_F(DomainFinish, ASetWithoutARootGetsTheDefaultOne)
{
    gStartupLResolve = 0;
    Strncpy(gDefaultFTPHome, "/srv/anon");
    ReadDomainCf("set-name=a\n");
    PostReadDomainConfigInit();
    EXPECT_STREQ(GetFirstDomain()->ftpHome, "/srv/anon");
    EXPECT_EQ(GetFirstDomain()->ftpHomeLen, 9);
}

TEST_F(DomainFinish, TheRootIsResolvedWithRootsRightsAndTheEuidIsRestored)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root";
    dir_.Mkdir("closed", 0700);
    const std::string real = dir_.Mkdir("closed/pub");
    dir_.Symlink(real, "link");
    chmod(dir_.path().c_str(), 0711);
    const std::string expected = RealPath(real);
    ReadDomainCf("set-name=a\nftp-home=" + (dir_ / "link") + "\n");
    EXPECT_EXIT(
        {
            if (seteuid(65534) < 0)
                _exit(3);
            PostReadDomainConfigInit();
            const bool resolved = GetFirstDomain()->ftpHome == expected;
            // _exit: the leak checker cannot run in a process that is no longer root.
            _exit(resolved && geteuid() == 65534 ? 0 : 2);
        },
        ExitedWithCode(0), "");
}

TEST_F(DomainFinish, TheLogPatternsOfGeneralCfAreCopiedIntoEverySet)
{
    Strncpy(gLogMiscPath, "/var/log/zorvad/misc.%Y%m%d");
    Strncpy(gLogStatPath, "/var/log/zorvad/stat");
    ReadDomainCf("set-name=a\nlog-xfer=/x/@SETNAME@\nset-name=b\n");
    PostReadDomainConfigInit();
    for (int i = 0; i < 2; i++) {
        EXPECT_STREQ(DomainLogPathPattern(gDomainInfo[i], kLogMisc), "/var/log/zorvad/misc.%Y%m%d");
        EXPECT_STREQ(DomainLogPathPattern(gDomainInfo[i], kLogStat), "/var/log/zorvad/stat");
    }
    EXPECT_STREQ(DomainLogPathPattern(gDomainInfo[0], kLogXfer), "/x/a");
    EXPECT_STREQ(DomainLogPathPattern(gDomainInfo[0], kLogSession), "");
    EXPECT_EQ(DomainLogPathPattern(gDomainInfo[0], kLogEvent), nullptr);
}

TEST_F(DomainFinish, TheAddressIsWrittenAsDottedText)
{
    ReadDomainCf("set-name=a\nserver-address=192.0.2.44\nserver-name=given.example\nset-name=b\n");
    PostReadDomainConfigInit();
    EXPECT_STREQ(gDomainInfo[0]->serverAddrStr, "192.0.2.44");
    EXPECT_STREQ(gDomainInfo[0]->serverName, "given.example");
    EXPECT_STREQ(gDomainInfo[1]->serverAddrStr, "0.0.0.0");
    EXPECT_STREQ(gDomainInfo[1]->serverName, "");
}

// The server name comes from the reverse look-up of the set's address, which
// reads /etc/hosts first: the test gives the process its own.
TEST_F(DomainFinish, TheServerNamePrefersAnFtpAlias)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root";
    const std::string hosts = dir_.Write("hosts",
                                         "127.0.0.1 localhost\n"
                                         "192.0.2.7 www.example.test ftp.example.test other.example.test\n"
                                         "192.0.2.8 ftp.second.test www.second.test\n"
                                         "192.0.2.9 plain.example.test files.example.test\n");
    ReadDomainCf("set-name=a\nserver-address=192.0.2.7\n"
                 "set-name=b\nserver-address=192.0.2.8\n"
                 "set-name=c\nserver-address=192.0.2.9\n"
                 "set-name=d\nserver-address=127.0.0.1\n");
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0
                || mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) < 0)
                exit(3);
            PostReadDomainConfigInit();
            fprintf(stderr, "[%s][%s][%s][%s]\n", gDomainInfo[0]->serverName, gDomainInfo[1]->serverName,
                    gDomainInfo[2]->serverName, gDomainInfo[3]->serverName);
            exit(0);
        },
        ExitedWithCode(0), HasSubstr("[ftp.example.test][ftp.second.test][plain.example.test][localhost]\n"));
}

// ---- A chrooted anonymous area ----------------------------------------------------------------

class ChrootedArea : public DomainTest {
  protected:
    void SetUp() override
    {
        DomainTest::SetUp();
        root_ = dir_.Mkdir("anon");
        dir_.Mkdir("anon/bin");
        dir_.Mkdir("anon/etc");
        ReadDomainCf("set-name=a\nftp-home=" + root_ + "\n");
        root_ = RealPath(root_);
        gChrootedAtStart = 1;
    }
    std::string Finish()
    {
        CaptureStderr();
        PostReadDomainConfigInit();
        return GetCapturedStderr();
    }
    std::string root_;
};

TEST_F(ChrootedArea, ArchiversAndEventProgramsMustBeRunnableUnderTheRoot)
{
    Strncpy(gTarPath, "/bin/tar");
    Strncpy(gLoginEventProcessor, "/bin/on-login");
    std::string log = Finish();
    EXPECT_THAT(log, HasSubstr("Cannot run " + root_ + "/bin/tar: No such file or directory.\n"
                               "Either copy it to that path or disable that line in your .cf file.\n"));
    EXPECT_THAT(log, HasSubstr("Cannot run " + root_ + "/bin/on-login: "));

    dir_.Write("anon/bin/tar", "#!/bin/sh\n", 0755);
    dir_.Write("anon/bin/on-login", "#!/bin/sh\n", 0755);
    EXPECT_THAT(Finish(), Not(HasSubstr("Cannot run")));
}

TEST_F(ChrootedArea, NothingIsCheckedWithoutAChroot)
{
    gChrootedAtStart = 0;
    Strncpy(gTarPath, "/bin/tar");
    gUseTCPWrappers = 1;
    EXPECT_EQ(Finish(), "");
}

TEST_F(ChrootedArea, TcpWrapperTablesMustHaveReadableCopiesUnderTheRoot)
{
    struct stat st {};
    if (stat("/etc/hosts.allow", &st) < 0 || stat("/etc/hosts.deny", &st) < 0)
        GTEST_SKIP() << "this host has no TCP Wrappers tables";
    gUseTCPWrappers = 1;
    std::string log = Finish();
    EXPECT_THAT(log, HasSubstr("Cannot find " + root_ + "/etc/hosts.allow: No such file or directory.\n"
                               "For TCP Wrappers to work for a, the file\n" +
                               root_ + "/etc/hosts.allow needs to exist and be public-readable.\n"
                               "(The server will not allow this file to be downloaded.)\n"));
    EXPECT_THAT(log, HasSubstr("Cannot find " + root_ + "/etc/hosts.deny: "));

    dir_.Write("anon/etc/hosts.allow", "", 0600);
    dir_.Write("anon/etc/hosts.deny", "", 0644);
    log = Finish();
    EXPECT_THAT(log, HasSubstr("Cannot find " + root_ + "/etc/hosts.allow: Permission denied.\n"));
    EXPECT_THAT(log, Not(HasSubstr("hosts.deny")));
}

TEST_F(ChrootedArea, AReloadDoesNotRepeatTheChecks)
{
    Strncpy(gTarPath, "/bin/tar");
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), 0);
    EXPECT_THAT(GetCapturedStderr(), Not(HasSubstr("Cannot run")));
}

}  // namespace

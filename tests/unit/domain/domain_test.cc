// Reading domain.cf: the shared line syntax, "@SETNAME@", the keys and their
// special values, the errors, the set look-ups and reloads.
#include "config/domain.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Strn.h"
#include "config/config.h"
#include "domain_test_util.h"

using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

in_addr_t Addr(const char *dotted)
{
    return inet_addr(dotted);
}

DomainInfo *ByLocal(const char *text, int *index, int remember)
{
    SioAddr a;
    EXPECT_EQ(SioAddrFromText(text, &a), 0);
    return GetDomainByLocalAddr(&a, index, remember);
}

std::string AddrText(const SioAddr &a)
{
    char text[kSioAddrTextSize];
    return SioAddrText(text, sizeof(text), &a);
}

// A file's text with every "@NUL@" made a NUL byte.
std::string WithNuls(std::string text)
{
    for (size_t at; (at = text.find("@NUL@")) != std::string::npos;)
        text.replace(at, 5, std::string(1, '\0'));
    return text;
}

using DomainRead = DomainTest;

TEST_F(DomainRead, LinesFollowTheGeneralCfSyntax)
{
    ReadDomainCf("# a comment line\n"
                 "Set-Name = a\n"
                 "\n"
                 "ftp-home /srv/a\n"
                 "MAX-DOMAIN-USERS=5 # a comment after the value\n"
                 "# server-name=commented\n"
                 "  welcome-message\t=\t/msg/welcome  \r\n");
    ASSERT_EQ(gNumDomains, 1);
    const DomainInfo *d = gDomainInfo[0];
    EXPECT_STREQ(d->setName, "a");
    EXPECT_STREQ(d->ftpHome, "/srv/a");
    EXPECT_EQ(d->maxDomainUsers, 5);
    EXPECT_STREQ(d->serverName, "");
    EXPECT_STREQ(d->welcomeMessage, "/msg/welcome");
}

TEST_F(DomainRead, AFreshSetHasTheDefaults)
{
    ReadDomainCf("set-name=plain\n");
    const DomainInfo *d = GetFirstDomain();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->serverAddr.sa.sa_family, AF_UNSPEC);
    EXPECT_STREQ(d->ftpHome, "");
    EXPECT_EQ(d->anonOnly, 0);
    EXPECT_EQ(d->nonAnonOnly, 0);
    EXPECT_EQ(d->maxDomainUsers, 0);
    EXPECT_EQ(d->maxDomainUsersPerIP, 0);
    EXPECT_EQ(d->maxDomainUsersPerUsername, 0);
    for (int fd : d->logFds)
        EXPECT_EQ(fd, -1);
    EXPECT_STREQ(d->aLoginMessage, "");
    EXPECT_EQ(d->uVChrootRestrictedUsers, 1);
    EXPECT_EQ(d->aFileOwner, static_cast<uid_t>(-1));
    EXPECT_EQ(d->aFileGroup, static_cast<gid_t>(-1));
    EXPECT_STREQ(d->passwd, "/etc/passwd");
    ASSERT_EQ(d->numPasswdSources, 1);
    EXPECT_EQ(d->passwdSources[0].kind, kPasswdSystem);
    EXPECT_EQ(d->aUmask, -1);
    EXPECT_EQ(d->uUmask, -1);
    EXPECT_EQ(d->aDownloadBandwidth, 0);
    EXPECT_EQ(d->passiveIP, INADDR_NONE);
}

TEST_F(DomainRead, EverySetNameTokenIsReplacedByTheSetName)
{
    ReadDomainCf("set-name=a\n"
                 "ftp-home=/home/ftp/@SETNAME@\n"
                 "log-xfer=/var/log/@SETNAME@/@SETNAME@-xfer.%Y%m%d\n"
                 "set-name=bee\n"
                 "ftp-home=/home/ftp/@SETNAME@\n"
                 "a-login-message=@SETNAME@@SETNAME\n");
    ASSERT_EQ(gNumDomains, 2);
    EXPECT_STREQ(gDomainInfo[0]->ftpHome, "/home/ftp/a");
    EXPECT_STREQ(gDomainInfo[0]->logXferPath, "/var/log/a/a-xfer.%Y%m%d");
    EXPECT_STREQ(gDomainInfo[1]->ftpHome, "/home/ftp/bee");
    EXPECT_STREQ(gDomainInfo[1]->aLoginMessage, "bee@SETNAME");
}

TEST_F(DomainRead, AnExpandedValueIsCutAt511Bytes)
{
    const std::string name(60, 'n');
    std::string tokens;
    for (int i = 0; i < 10; i++)
        tokens += "@SETNAME@";
    ReadDomainCf("set-name=" + name + "\nu-goodbye-message=/" + tokens + "\n");
    const std::string got = GetFirstDomain()->uGoodbyeMessage;
    EXPECT_EQ(got.size(), 511u);
    EXPECT_EQ(got, ("/" + std::string(600, 'n')).substr(0, 511));
}

TEST_F(DomainRead, TheRestOfAnOverlongLineIsNotALineOfItsOwn)
{
    ReadDomainCf("set-name=a\n"
                 "welcome-message=/" + std::string(70000, 'x') + "\n"
                 "server-name=next.example\n");
    EXPECT_EQ(strlen(GetFirstDomain()->welcomeMessage), 511u);
    EXPECT_STREQ(GetFirstDomain()->serverName, "next.example");
}

TEST_F(DomainRead, ASecondBlockOfANameOverridesOnlyTheKeysItGives)
{
    ReadDomainCf("set-name=a\n"
                 "ftp-home=/first\n"
                 "server-type=non-anonymous-only\n"
                 "passwd=none\n"
                 "max-domain-users=3\n"
                 "max-domain-users-per-ip=2\n"
                 "set-name=b\n"
                 "set-name=a\n"
                 "server-name=second.example\n"
                 "max-domain-users=5\n");
    ASSERT_EQ(gNumDomains, 2);
    const DomainInfo *a = gDomainInfo[0];
    EXPECT_STREQ(a->setName, "a");
    EXPECT_STREQ(gDomainInfo[1]->setName, "b");
    EXPECT_STREQ(a->serverName, "second.example");
    EXPECT_EQ(a->maxDomainUsers, 5);
    // What the second block does not give stays as the first block set it.
    EXPECT_STREQ(a->ftpHome, "/first");
    EXPECT_EQ(a->nonAnonOnly, 1);
    EXPECT_STREQ(a->passwd, "none");
    EXPECT_EQ(a->numPasswdSources, 0);
    EXPECT_EQ(a->maxDomainUsersPerIP, 2);
}

TEST_F(DomainRead, PlainKeysSetTheirFields)
{
    ReadDomainCf("set-name=a\n"
                 "server-name=ftp.example.com\n"
                 "server-address=192.0.2.10\n"
                 "passive-ip=192.0.2.11\n"
                 "max-domain-users-per-ip=2\n"
                 "max-domain-users-per-username=1\n"
                 "log-session=/var/log/zorvad/session.%Y\n"
                 "a-login-message=/m/alogin\n"
                 "u-login-message=/m/ulogin\n"
                 "a-goodbye-message=/m/abye\n"
                 "a-lowercase-pathnames=yes\n"
                 "u-lowercase-pathnames=on\n"
                 "u-vchroot-restricted-users=no\n"
                 "a-download-bandwidth-per-user=100\n"
                 "a-upload-bandwidth-per-user=200\n"
                 "u-download-bandwidth-per-user=300\n"
                 "u-upload-bandwidth-per-user=400\n"
                 "a-umask=027\n"
                 "u-umask=999\n"
                 "a-file-owner=root\n"
                 "a-file-group=root\n");
    const DomainInfo *d = GetFirstDomain();
    EXPECT_STREQ(d->serverName, "ftp.example.com");
    EXPECT_EQ(AddrText(d->serverAddr), "192.0.2.10");
    EXPECT_EQ(d->passiveIP, Addr("192.0.2.11"));
    EXPECT_EQ(d->maxDomainUsersPerIP, 2);
    EXPECT_EQ(d->maxDomainUsersPerUsername, 1);
    EXPECT_STREQ(d->logSessionPath, "/var/log/zorvad/session.%Y");
    EXPECT_STREQ(d->aLoginMessage, "/m/alogin");
    EXPECT_STREQ(d->uLoginMessage, "/m/ulogin");
    EXPECT_STREQ(d->aGoodbyeMessage, "/m/abye");
    EXPECT_EQ(d->aLowercasePathnames, 1);
    EXPECT_EQ(d->uLowercasePathnames, 1);
    EXPECT_EQ(d->uVChrootRestrictedUsers, 0);
    EXPECT_EQ(d->aDownloadBandwidth, 100);
    EXPECT_EQ(d->aUploadBandwidth, 200);
    EXPECT_EQ(d->uDownloadBandwidth, 300);
    EXPECT_EQ(d->uUploadBandwidth, 400);
    EXPECT_EQ(d->aUmask, 027);
    EXPECT_EQ(d->uUmask, -1);    // not an octal mode up to 0777: unchanged
    EXPECT_EQ(d->aFileOwner, 0u);
    EXPECT_EQ(d->aFileGroup, 0u);
}

TEST_F(DomainRead, UnknownOwnersAreWarningsThatLeaveTheSettingUnset)
{
    CaptureStderr();
    const std::string path = ReadDomainCf("set-name=a\n"
                                          "a-file-owner=no-such-user-zq\n"
                                          "a-file-group=no-such-group-zq\n");
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Warning caused by line 2 of " + path + ".\nInvalid user name: no-such-user-zq.\n"));
    EXPECT_THAT(err, HasSubstr("Warning caused by line 3 of " + path + ".\nInvalid group name: no-such-group-zq.\n"));
    EXPECT_EQ(GetFirstDomain()->aFileOwner, static_cast<uid_t>(-1));
    EXPECT_EQ(GetFirstDomain()->aFileGroup, static_cast<gid_t>(-1));
}

struct ServerTypeCase {
    const char *value;
    int anonOnly;
    int nonAnonOnly;
    bool keepsPasswd;
};

class ServerType : public DomainTest, public ::testing::WithParamInterface<ServerTypeCase> {};

TEST_P(ServerType, SetsTheTwoFlags)
{
    ReadDomainCf(std::string("set-name=a\nserver-type=") + GetParam().value + "\n");
    const DomainInfo *d = GetFirstDomain();
    EXPECT_EQ(d->anonOnly, GetParam().anonOnly);
    EXPECT_EQ(d->nonAnonOnly, GetParam().nonAnonOnly);
    EXPECT_EQ(d->numPasswdSources, GetParam().keepsPasswd ? 1 : 0);
    EXPECT_STREQ(d->passwd, GetParam().keepsPasswd ? "/etc/passwd" : "");
}

INSTANTIATE_TEST_SUITE_P(Values, ServerType,
                         ::testing::Values(ServerTypeCase{"all-users", 0, 0, true},
                                           ServerTypeCase{"non-anonymous-only", 0, 1, true},
                                           ServerTypeCase{"disabled", -1, -1, true},
                                           ServerTypeCase{"anonymous-only", 1, 0, false},
                                           ServerTypeCase{"whatever", 1, 0, false}));

TEST_F(DomainRead, PasswdAnonymousOnlyDropsTheSourcesAndAdmitsOnlyAnonymousUsers)
{
    ReadDomainCf("set-name=a\npasswd=anonymous-only\n");
    EXPECT_EQ(GetFirstDomain()->anonOnly, 1);
    EXPECT_EQ(GetFirstDomain()->numPasswdSources, 0);
}

// ---- Errors at start-up ---------------------------------------------------------------------

class DomainReadDeathTest : public DomainTest {
  protected:
    // Writes domain.cf and expects reading it to exit 1 with message; "%s" in
    // the message stands for the file's path.
    void ExpectFailure(const std::string &contents, std::string message)
    {
        const std::string path = dir_.Write("domain.cf", contents);
        if (const size_t at = message.find("%s"); at != std::string::npos)
            message.replace(at, 2, path);
        EXPECT_EXIT(ReadDomainConfigFile(path.c_str()), ExitedWithCode(1), HasSubstr(message)) << contents;
    }
};

TEST_F(DomainReadDeathTest, AKeyWithoutAValueIsASyntaxError)
{
    ExpectFailure("set-name=a\n\nftp-home\n", "Syntax error on line 3 of %s.\n");
    ExpectFailure("set-name=a\nwelcome-message =  \n", "Syntax error on line 2 of %s.\n");
}

TEST_F(DomainReadDeathTest, EveryKeyNeedsASetNameBeforeIt)
{
    ExpectFailure("# first\nftp-home=/x\nset-name=a\n", "You must set the `set-name' variable first.\n");
}

TEST_F(DomainReadDeathTest, GeneralCfKeysAreRefusedWithTheirOwnMessage)
{
    ExpectFailure("set-name=a\nport=2121\n",
                  "Variable \"port\" on line 2 of %s needs to be set in\nthe general configuration file.\n");
    ExpectFailure("set-name=a\n\nLog-Misc=/x\n",
                  "Variable \"Log-Misc\" on line 3 of %s needs to be set in\nthe general configuration file.\n");
}

TEST_F(DomainReadDeathTest, UnknownKeysAreRefused)
{
    ExpectFailure("set-name=a\nno-such-key=1\n",
                  "Unknown variable \"no-such-key\" on line 2 of configuration file.\n");
}

TEST_F(DomainReadDeathTest, AnInvalidServerAddressNamesTheLine)
{
    ExpectFailure("set-name=a\nserver-address=300.1.2.3\n",
                  "Invalid server-address \"300.1.2.3\"; try something\nin the form of 192.168.96.99\n"
                  "Error caused by line 2 of %s.\n");
}

TEST_F(DomainReadDeathTest, AnInvalidPassiveAddressIsRefused)
{
    ExpectFailure("set-name=a\npassive-ip=1.2.3.4.5\n",
                  "Invalid IP address given for the passive-ip option.\n");
}

TEST_F(DomainReadDeathTest, AMissingFileAtStartUpIsFatal)
{
    const std::string path = dir_ / "missing.cf";
    EXPECT_EXIT(ReadDomainConfigFile(path.c_str()), ExitedWithCode(1),
                HasSubstr(path + ": No such file or directory\n"));
}

// ---- Look-ups -----------------------------------------------------------------------------------

TEST_F(DomainRead, TheLocalAddressChoosesTheSetAndAnUnknownOneTheFirst)
{
    ReadDomainCf("set-name=one\n"
                 "set-name=two\nserver-address=127.0.0.2\n"
                 "set-name=three\nserver-address=127.0.0.3\n");
    int index = -1;
    EXPECT_EQ(ByLocal("127.0.0.3", &index, 0), gDomainInfo[2]);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(gDomain, 0);    // not remembered

    EXPECT_EQ(ByLocal("127.0.0.2", &index, 1), gDomainInfo[1]);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(gDomain, 1);
    EXPECT_EQ(gCurDomain, gDomainInfo[1]);

    EXPECT_EQ(ByLocal("127.0.0.9", &index, 1), gDomainInfo[0]);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(gDomain, 0);
    EXPECT_EQ(ByLocal("127.0.0.9", nullptr, 0), gDomainInfo[0]);
}

TEST_F(DomainRead, AnIPv6LocalAddressChoosesItsSet)
{
    ReadDomainCf("set-name=one\nserver-address=127.0.0.2\n"
                 "set-name=six\nserver-address=[::1]\n");
    EXPECT_EQ(ByLocal("::1", nullptr, 0), gDomainInfo[1]);
    EXPECT_EQ(ByLocal("::2", nullptr, 0), gDomainInfo[0]);
    EXPECT_EQ(ByLocal("::ffff:127.0.0.2", nullptr, 0), gDomainInfo[0]);    // not the IPv4 set's
}

TEST_F(DomainRead, LookUpsOfAnEmptyTableFindNothing)
{
    int index = -1;
    EXPECT_EQ(GetFirstDomain(), nullptr);
    EXPECT_EQ(ByLocal("127.0.0.1", &index, 1), nullptr);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(GetDomainBySetName("a"), nullptr);
}

TEST_F(DomainRead, SetNamesMatchExactly)
{
    ReadDomainCf("set-name=Alpha\nset-name=alpha\n");
    ASSERT_EQ(gNumDomains, 2);
    EXPECT_EQ(GetDomainBySetName("alpha"), gDomainInfo[1]);
    EXPECT_EQ(GetDomainBySetName("Alpha"), gDomainInfo[0]);
    EXPECT_EQ(GetDomainBySetName("ALPHA"), nullptr);
}

TEST_F(DomainRead, ManySetsKeepTheirOrder)
{
    std::string cf;
    for (int i = 0; i < 40; i++)
        cf += "set-name=s" + std::to_string(i) + "\nmax-domain-users=" + std::to_string(i) + "\n";
    ReadDomainCf(cf);
    ASSERT_EQ(gNumDomains, 40);
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(gDomainInfo[i]->maxDomainUsers, i);
}

// ---- Reloads ------------------------------------------------------------------------------------

using DomainReload = DomainTest;

TEST_F(DomainReload, SetsAreUpdatedInPlaceAndRemovedOnesStay)
{
    ReadDomainCf("set-name=a\nftp-home=/a1\nset-name=b\nftp-home=/b1\nmax-domain-users=7\n");
    PostReadDomainConfigInit();
    DomainInfo *const a = gDomainInfo[0];
    DomainInfo *const b = gDomainInfo[1];

    dir_.Write("domain.cf", "set-name=c\nftp-home=/c2\nset-name=b\nftp-home=/b2\n");
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), 0);
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(log, "Successfully reloaded domain configuration file " + (dir_ / "domain.cf") + ".\n");

    ASSERT_EQ(gNumDomains, 3);
    EXPECT_EQ(gDomainInfo[0], a);
    EXPECT_EQ(gDomainInfo[1], b);
    EXPECT_STREQ(a->ftpHome, "/a1");
    EXPECT_STREQ(b->ftpHome, "/b2");
    EXPECT_EQ(b->maxDomainUsers, 0);
    EXPECT_STREQ(gDomainInfo[2]->setName, "c");
    EXPECT_STREQ(gDomainInfo[2]->ftpHome, "/c2");
}

TEST_F(DomainReload, TheCurrentSetStaysCurrent)
{
    ReadDomainCf("set-name=a\nset-name=b\nserver-address=127.0.0.2\n");
    PostReadDomainConfigInit();
    ByLocal("127.0.0.2", nullptr, 1);
    dir_.Write("domain.cf", "set-name=new\nset-name=b\nserver-address=127.0.0.2\nmax-domain-users=4\n");
    CaptureStderr();
    ASSERT_EQ(ReloadDomainCf(), 0);
    GetCapturedStderr();
    EXPECT_EQ(gDomain, 1);
    EXPECT_EQ(gCurDomain, gDomainInfo[1]);
    EXPECT_EQ(gCurDomain->maxDomainUsers, 4);
}

TEST_F(DomainReload, ChildrenReportTheReloadOnlyWhenVerbose)
{
    ReadDomainCf("set-name=a\n");
    gChild = 3;
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), 0);
    EXPECT_EQ(GetCapturedStderr(), "");

    gTraceLogging = 1;
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), 0);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("Successfully reloaded domain configuration file"));
}

TEST_F(DomainReload, AMissingFileKeepsTheSets)
{
    ReadDomainCf("set-name=a\nftp-home=/a1\n");
    unlink((dir_ / "domain.cf").c_str());
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), -1);
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(log, "Could not reload domain configuration file " + (dir_ / "domain.cf") +
                       ": No such file or directory.\n");
    ASSERT_EQ(gNumDomains, 1);
    EXPECT_STREQ(gDomainInfo[0]->ftpHome, "/a1");
}

TEST_F(DomainReload, ARelativePathGetsAHint)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    dir_.Write("domain.cf", "set-name=a\n");
    EXPECT_EQ(ReadDomainConfigFile("domain.cf"), 0);
    unlink("domain.cf");
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), -1);
    const std::string log = GetCapturedStderr();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(log, "Could not reload domain configuration file domain.cf: No such file or directory.\n"
                   "Try using an absolute pathname to the domain.cf when you launch Zorvad.\n");
    EXPECT_EQ(gNumDomains, 1);
}

TEST_F(DomainReload, AKeyWithoutAValueIsSkipped)
{
    ReadDomainCf("set-name=a\n");
    dir_.Write("domain.cf", "set-name=a\nftp-home\nserver-name=kept\n");
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), 0);
    GetCapturedStderr();
    EXPECT_STREQ(gDomainInfo[0]->serverName, "kept");
}

// A file that cannot be read whole is not taken: the reload logs why and the
// process goes on with the sets it had, whatever the error and wherever it is.
struct BadReload {
    const char *file;
    const char *message;
};

class DomainReloadError : public DomainTest, public ::testing::WithParamInterface<BadReload> {};

TEST_P(DomainReloadError, KeepsTheSetsInForceAndTheProcess)
{
    ReadDomainCf("set-name=a\nftp-home=/a1\nserver-name=one.example\nmax-domain-users=7\n"
                 "set-name=b\nserver-address=127.0.0.2\n");
    PostReadDomainConfigInit();
    ByLocal("127.0.0.2", nullptr, 1);
    DomainInfo *const a = gDomainInfo[0];
    DomainInfo *const b = gDomainInfo[1];
    const DomainInfo aBefore = *a, bBefore = *b;

    const std::string path = dir_.Write("domain.cf", WithNuls(GetParam().file));
    std::string message = GetParam().message;
    if (const size_t at = message.find("%s"); at != std::string::npos)
        message.replace(at, 2, path);

    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), -1);
    const std::string log = GetCapturedStderr();
    EXPECT_THAT(log, HasSubstr(message));
    EXPECT_THAT(log, HasSubstr("Domain configuration file " + path +
                               " was not reloaded; the sets in force are kept.\n"));
    EXPECT_THAT(log, ::testing::Not(HasSubstr("Successfully reloaded")));

    ASSERT_EQ(gNumDomains, 2);
    EXPECT_EQ(gDomainInfo[0], a);
    EXPECT_EQ(gDomainInfo[1], b);
    EXPECT_EQ(memcmp(a, &aBefore, sizeof(aBefore)), 0);
    EXPECT_EQ(memcmp(b, &bBefore, sizeof(bBefore)), 0);
    EXPECT_EQ(gCurDomain, b);

    // The next good file is taken.
    dir_.Write("domain.cf", "set-name=a\nftp-home=/a2\n");
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), 0);
    GetCapturedStderr();
    EXPECT_STREQ(a->ftpHome, "/a2");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, DomainReloadError,
    ::testing::Values(
        BadReload{"set-name=a\nftp-home=/new\nset-name=z\nbogus=1\n",
                  "Unknown variable \"bogus\" on line 4 of configuration file.\n"},
        BadReload{"set-name=a\nmax-domain-users=1\nport=2121\n",
                  "Variable \"port\" on line 3 of %s needs to be set in\nthe general configuration file.\n"},
        BadReload{"ftp-home=/x\nset-name=a\n", "You must set the `set-name' variable first.\n"},
        BadReload{"set-name=a\nserver-address=300.1.2.3\n",
                  "Invalid server-address \"300.1.2.3\"; try something\nin the form of 192.168.96.99\n"
                  "Error caused by line 2 of %s.\n"},
        BadReload{"set-name=b\nserver-name=x@NUL@y\nserver-address=127.0.0.9\n",
                  "Unknown value \"x\" for variable \"server-name\" on line 2 of configuration file.\n"}));

TEST_F(DomainReload, AChildReportsAFailedReloadOnlyWhenVerbose)
{
    ReadDomainCf("set-name=a\n");
    dir_.Write("domain.cf", "set-name=a\nbogus=1\n");
    gChild = 3;
    CaptureStderr();
    EXPECT_EQ(ReloadDomainCf(), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

// ---- Damaged lines --------------------------------------------------------------------------

// A NUL byte must not hide the line after it: the damaged line is refused with
// its number, in general.cf and domain.cf alike (they share the line reader).
struct NulLine {
    bool domainCf;
    const char *file;       // "@NUL@" stands for a NUL byte
    const char *message;    // "%s" stands for the file's path
};

class NulLineDeathTest : public DomainTest, public ::testing::WithParamInterface<NulLine> {};

TEST_P(NulLineDeathTest, IsRefusedWithItsNumber)
{
    const std::string path = dir_.Write(GetParam().domainCf ? "domain.cf" : "general.cf", WithNuls(GetParam().file));
    std::string message = GetParam().message;
    if (const size_t at = message.find("%s"); at != std::string::npos)
        message.replace(at, 2, path);
    if (GetParam().domainCf)
        EXPECT_EXIT(ReadDomainConfigFile(path.c_str()), ExitedWithCode(1), HasSubstr(message));
    else
        EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1), HasSubstr(message));
}

INSTANTIATE_TEST_SUITE_P(
    Files, NulLineDeathTest,
    ::testing::Values(
        NulLine{false, "port=2121\nmax-users=3@NUL@junk\ndeny-paths=/secret\n",
                "Unknown value \"3\" for variable \"max-users\" on line 2 of configuration file.\n"},
        NulLine{false, "port=2121\n@NUL@\ndeny-paths=/secret\n", "Syntax error on line 2 of %s.\n"},
        NulLine{true, "set-name=a\nserver-name=x@NUL@y\nserver-type=anonymous-only\n",
                "Unknown value \"x\" for variable \"server-name\" on line 2 of configuration file.\n"},
        NulLine{true, "set-name=a\nftp-home@NUL@=/x\npasswd=/etc/passwd\n",
                "Unknown value \"\" for variable \"ftp-home\" on line 2 of configuration file.\n"},
        NulLine{true, "set-name=a\n# a note@NUL@\nserver-type=anonymous-only\n",
                "Syntax error on line 2 of %s.\n"}));

}  // namespace

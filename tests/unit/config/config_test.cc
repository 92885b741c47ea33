// general.cf: line syntax, value kinds, special values and refusals.
#include "config/config.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "conffile.h"

using ::testing::ExitedWithCode;

namespace {

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override { SetConfigDefaults(); }
    void TearDown() override { SetConfigDefaults(); }

    // Reads a general.cf with the given lines.
    void Read(const std::string &contents) { ReadConfigFile(Path(contents).c_str()); }
    std::string Path(const std::string &contents) { return dir_.Write("general.cf", contents); }

    TempConfDir dir_;
};

// ---- Defaults -----------------------------------------------------------------

TEST_F(ConfigFile, UntouchedKeysKeepTheirDefaults)
{
    Read("port=2121\n");
    EXPECT_EQ(gServerPort, 2121);
    EXPECT_EQ(gNumChildren, 1);
    EXPECT_EQ(gMinChildren, 1);
    EXPECT_EQ(gMaxUsersPerIP, 0);
    EXPECT_EQ(gMaxAnonymousUsers, -1);
    EXPECT_EQ(gChildLifetime, 43200);
    EXPECT_STREQ(gPIDFile, "");
    EXPECT_STREQ(gLogMiscPath, "");
    EXPECT_EQ(gLogXfers, 1);
    EXPECT_EQ(gLogSessions, 0);
    EXPECT_EQ(gLogUmask, 077u);
    EXPECT_EQ(gSyslog, 0);
    EXPECT_EQ(gTraceLogging, 0);
    EXPECT_EQ(gShmKeyBase, static_cast<key_t>(0x77C0FFEE));
    EXPECT_EQ(gSingleServerAddress.sa.sa_family, AF_INET);
    EXPECT_TRUE(SioAddrIsAny(&gSingleServerAddress));
    EXPECT_EQ(gListenIPv6, 0);
    EXPECT_EQ(gPassiveIP, INADDR_NONE);
    EXPECT_EQ(gIdleTimeout, 300);
    EXPECT_EQ(gLoginTimeout, 15);
    EXPECT_EQ(gConnTimeout, 15);
    EXPECT_EQ(gXferTimeout, 3600);
    EXPECT_EQ(gMaxLoginFailures, 2);
    EXPECT_EQ(gSocketKeepAlive, 1);
    EXPECT_EQ(gUseTimeCache, 1);
    EXPECT_EQ(gSCache, 300);
    EXPECT_EQ(gSioSignalMode, 1);
    EXPECT_EQ(gNice, -3);
    EXPECT_EQ(gAllowPORT, 1);
    EXPECT_EQ(gAllowPASV, 1);
    EXPECT_EQ(gAllowPasvPreconnections, 2);
    EXPECT_EQ(gAnonUmask, 022u);
    EXPECT_EQ(gUserUmask, 022u);
    EXPECT_EQ(gAnonReadPermission, 1);
    EXPECT_EQ(gAnonWritePermission, 0);
    EXPECT_EQ(gUserReadPermission, 1);
    EXPECT_EQ(gUserWritePermission, 1);
    EXPECT_EQ(gLsCacheSize, 150000);
    EXPECT_EQ(gLsMaxCacheDirs, 64);
    EXPECT_EQ(gLsCacheDirAge, 900);
    EXPECT_EQ(gMaxDataRBufSize, 262144);
    EXPECT_EQ(gMaxDataSBufSize, 262144);
    EXPECT_DOUBLE_EQ(gNoopDelay, 1.0 / 3.0);
    EXPECT_EQ(gCmdThrottle, 300);
    EXPECT_EQ(gAllowedSITECommands, 59);
    EXPECT_EQ(gLogXferTypeMask, 255);
    EXPECT_EQ(gEventdTypeMask, 1023);
    EXPECT_EQ(gAPasswordMode, 1);
    EXPECT_EQ(gDefaultTransferType, 'A');
    EXPECT_EQ(gAuthTimeout, 10);
    EXPECT_STREQ(gDenyUsersFile, "/etc/ftpusers");
    EXPECT_STREQ(gValidUserShellFile, "/etc/shells");
    EXPECT_STREQ(gConnectHeader, "");
    EXPECT_EQ(gCustomConnectHeader, 0);
    EXPECT_EQ(gStartupLResolve, 1);
    EXPECT_EQ(gLsTimeLocal, 1);
}

TEST_F(ConfigFile, SetConfigDefaultsUndoesAFile)
{
    Read("port=2121\nidle-timeout=5\npid-file=/x/y\nallow-paths=/a\nbanner=Hi\nipc-key=0x1234\n"
         "a-umask=077\nnoop-delay=2.5\na-password-mode=exactly secret\n");
    SetConfigDefaults();
    EXPECT_EQ(gServerPort, 21);
    EXPECT_EQ(gIdleTimeout, 300);
    EXPECT_STREQ(gPIDFile, "");
    EXPECT_EQ(gNumAllowPaths, 0);
    EXPECT_STREQ(gConnectHeader, "");
    EXPECT_EQ(gCustomConnectHeader, 0);
    EXPECT_EQ(gShmKeyBase, static_cast<key_t>(0x77C0FFEE));
    EXPECT_EQ(gAnonUmask, 022u);
    EXPECT_DOUBLE_EQ(gNoopDelay, 1.0 / 3.0);
    EXPECT_EQ(gAPasswordMode, 1);
    EXPECT_STREQ(gRequiredAnonPasswd, "");
}

// ---- Line syntax ---------------------------------------------------------------

class LineForms : public ConfigFile, public ::testing::WithParamInterface<const char *> {};

TEST_P(LineForms, AllSetThePort)
{
    Read(GetParam());
    EXPECT_EQ(gServerPort, 2121);
}

INSTANTIATE_TEST_SUITE_P(KeyValueSeparatorsAndCase, LineForms,
                         ::testing::Values("Port = 2121\n", "port 2121\n", "PORT=2121\n", "port\t2121\n",
                                           "  port=2121  \n", "port=2121\r\n", "port=2121"));

TEST_F(ConfigFile, CommentsAndBlankLines)
{
    Read("# port=99\n\n   \nidle-timeout=60 # one minute\n");
    EXPECT_EQ(gServerPort, 21);
    EXPECT_EQ(gIdleTimeout, 60);
}

TEST_F(ConfigFile, ACommentAfterTheValueEndsIt)
{
    Read("port=99 # comment\n");
    EXPECT_EQ(gServerPort, 99);
}

TEST_F(ConfigFile, ALaterLineOverridesAnEarlierOne)
{
    Read("port=99\nport=100\n");
    EXPECT_EQ(gServerPort, 100);
}

TEST_F(ConfigFile, AKeyWithoutAValueGetsTheEmptyValue)
{
    Read("banner=\nallow-port\n");
    EXPECT_STREQ(gConnectHeader, "");
    EXPECT_EQ(gCustomConnectHeader, 1);
    EXPECT_EQ(gAllowPORT, 0);
}

TEST(SplitConfigLine, KeyAndValue)
{
    char line[] = "  log-misc = /var/log/zorvad/misc.%Y%m%d  \t\r\n";
    char *key, *value;
    ASSERT_EQ(SplitConfigLine(line, &key, &value), 1);
    EXPECT_STREQ(key, "log-misc");
    EXPECT_STREQ(value, "/var/log/zorvad/misc.%Y%m%d");

    char comment[] = "#port=1\n";
    EXPECT_EQ(SplitConfigLine(comment, &key, &value), 0);
    char blank[] = " \t\r\n";
    EXPECT_EQ(SplitConfigLine(blank, &key, &value), 0);
}

// ---- Value kinds ----------------------------------------------------------------

TEST(StrToBoolOrInt, WordsAndNumbers)
{
    const struct { const char *text; int value; } cases[] = {
        {"yes", 1}, {"Y", 1},     {"true", 1}, {"T", 1},   {"no", 0},   {"False", 0}, {"n", 0},
        {"on", 1},  {"ON", 1},    {"off", 0},  {"OFF", 0}, {"o", 1},    {"  yes", 1}, {"\tno", 0},
        {"42", 42}, {"-3", -3},   {"", 0},     {"  7", 7}, {"abc", 0},  {"0", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StrToBoolOrInt(c.text), c.value) << '"' << c.text << '"';
}

TEST_F(ConfigFile, AllowPasvTakesBooleansAndNumbers)
{
    Read("allow-pasv=off\n");
    EXPECT_EQ(gAllowPASV, 0);
    Read("allow-pasv=on\n");
    EXPECT_EQ(gAllowPASV, 1);
    Read("allow-pasv=2\n");
    EXPECT_EQ(gAllowPASV, 2);
}

TEST_F(ConfigFile, ModesAboveOctal777LeaveTheSettingUnchanged)
{
    Read("a-umask=027\nu-umask=1777\nlog-umask=9\n");
    EXPECT_EQ(gAnonUmask, 027u);
    EXPECT_EQ(gUserUmask, 022u);
    EXPECT_EQ(gLogUmask, 077u);
}

TEST_F(ConfigFile, RealsAndTexts)
{
    Read("noop-delay=0.5\nlog-misc=/var/log/zorvad/misc.%Y%m%d\nzip=/usr/bin/zip\n");
    EXPECT_DOUBLE_EQ(gNoopDelay, 0.5);
    EXPECT_STREQ(gLogMiscPath, "/var/log/zorvad/misc.%Y%m%d");
    EXPECT_STREQ(gZipPath, "/usr/bin/zip");
}

TEST_F(ConfigFile, TextsAreCutToTheirField)
{
    Read("pid-file=/" + std::string(300, 'p') + "\n");
    EXPECT_EQ(strlen(gPIDFile), sizeof(gPIDFile) - 1);
}

TEST_F(ConfigFile, VerboseSynonymsSetTheVerboseLevel)
{
    for (const char *key : {"verbose", "verbose-logging", "verbose-mode", "debug", "debuglevel"}) {
        SetConfigDefaults();
        Read(std::string(key) + "=3\n");
        EXPECT_EQ(gTraceLogging, 3) << key;
    }
    Read("auth-debug=1\n");
    EXPECT_EQ(gAuthDebug, 1);
    Read("authd-debug=3\n");
    EXPECT_EQ(gAuthDebug, 3);
}

// ---- Special values -----------------------------------------------------------

TEST_F(ConfigFile, IpcKeyIsHexadecimalWithOrWithout0x)
{
    Read("ipc-key=0x1234\n");
    EXPECT_EQ(gShmKeyBase, 0x1234);
    SetConfigDefaults();
    Read("ipc-key=1234\n");
    EXPECT_EQ(gShmKeyBase, 0x1234);
}

// The look-up helper's id is front-uid-base, the fronts' ids those above it
// up to front-uid-base + max-users, the logger's the next one.
TEST_F(ConfigFile, FrontIdsStayBelow2To31AndLeaveOutNobody)
{
    EXPECT_EQ(gFrontUidBase, 2100000000);
    EXPECT_TRUE(FrontIdRangeValid());
    const struct {
        const char *lines;
        bool valid;
    } kRanges[] = {
        {"front-uid-base=2147483637\nmax-users=8\n", true},     // up to 2147483646, the logger's
        {"front-uid-base=2147483638\nmax-users=8\n", false},
        {"front-uid-base=65525\nmax-users=8\n", false},         // the logger's would be 65534
        {"front-uid-base=65524\nmax-users=8\n", true},
        {"front-uid-base=65535\nmax-users=8\n", true},
        {"front-uid-base=65534\nmax-users=8\n", false},       // the helper's id would be nobody's
        {"front-uid-base=65532\nmax-users=1\n", false},
    };
    for (const auto &r : kRanges) {
        SetConfigDefaults();
        Read(r.lines);
        EXPECT_EQ(FrontIdRangeValid(), r.valid) << r.lines;
    }
    Read("front-uid-base=1000\nmax-users=4\n");
    EXPECT_FALSE(IsFrontId(1000));
    EXPECT_TRUE(IsFrontId(1001));
    EXPECT_TRUE(IsFrontId(1004));
    EXPECT_FALSE(IsFrontId(1005));
    EXPECT_FALSE(IsReservedId(999));
    EXPECT_TRUE(IsReservedId(1000));
    EXPECT_TRUE(IsReservedId(1004));
    EXPECT_EQ(LoggerReservedId(), 1005);
    EXPECT_TRUE(IsReservedId(1005));
    EXPECT_FALSE(IsReservedId(1006));
}

TEST_F(ConfigFile, EphemeralPortRangeIsAccepted)
{
    Read("ephemeral-port-range=49152-65535\n");
    EXPECT_EQ(gEphemeralPortLo, 49152);
    EXPECT_EQ(gEphemeralPortHi, 65535);
}

TEST_F(ConfigFile, MaxDataBufferSizesBelow512AreIgnored)
{
    Read("max-data-sbuf-size=100\nmax-data-rbuf-size=4096\n");
    EXPECT_EQ(gMaxDataSBufSize, 262144);
    EXPECT_EQ(gMaxDataRBufSize, 4096);
}

TEST_F(ConfigFile, DataBufferSizesBelow512AndNegativePreconnectionWaitsAreIgnored)
{
    Read("data-sbuf-size=100\ndata-rbuf-size=-5\nallow-pasv-preconnections=-1\n");
    EXPECT_EQ(gDataSBufSize, 0);
    EXPECT_EQ(gDataRBufSize, 0);
    EXPECT_EQ(gAllowPasvPreconnections, 2);
    Read("data-sbuf-size=65536\nallow-pasv-preconnections=no\n");
    EXPECT_EQ(gDataSBufSize, 65536);
    EXPECT_EQ(gAllowPasvPreconnections, 0);
    Read("allow-pasv-preconnections=7\n");
    EXPECT_EQ(gAllowPasvPreconnections, 7);
}

TEST_F(ConfigFile, TcpWrappersModesTurnReverseLookupsOn)
{
    Read("tcp-wrappers=no\n");
    EXPECT_EQ(gUseTCPWrappers, 0);
    EXPECT_EQ(gDNSLookup, 0);
    Read("tcp-wrappers=yes\n");
    EXPECT_EQ(gUseTCPWrappers, 1);
    EXPECT_EQ(gDNSLookup, 1);
    SetConfigDefaults();
    Read("tcp-wrappers=user\n");
    EXPECT_EQ(gUseTCPWrappers, 2);
    EXPECT_EQ(gDNSLookup, 1);
}

TEST_F(ConfigFile, ThrottleLogSessionsAndWtmpWords)
{
    Read("throttle=no\nlog-sessions=yes-verbose\nwtmp-log-mode=non-anonymous\n");
    EXPECT_EQ(gCmdThrottle, 0);
    EXPECT_EQ(gLogSessions, 2);
    EXPECT_EQ(gWtmpLogMode, 2);
    Read("throttle=50\nlog-sessions=yes\nwtmp-log-mode=yes\n");
    EXPECT_EQ(gCmdThrottle, 50);
    EXPECT_EQ(gLogSessions, 1);
    EXPECT_EQ(gWtmpLogMode, 1);
    Read("wtmp-log-mode=no\n");
    EXPECT_EQ(gWtmpLogMode, 0);
}

TEST_F(ConfigFile, AnonymousPasswordModes)
{
    const struct { const char *value; int mode; } cases[] = {
        {"none", 0}, {"any", 1}, {"at-sign", 2}, {"look-valid", 3},
    };
    for (const auto &c : cases) {
        Read(std::string("a-password-mode=") + c.value + "\n");
        EXPECT_EQ(gAPasswordMode, c.mode) << c.value;
    }
    Read("a-password-mode=exactly guest@here\n");
    EXPECT_EQ(gAPasswordMode, 4);
    EXPECT_STREQ(gRequiredAnonPasswd, "guest@here");
}

TEST_F(ConfigFile, WordValuedSwitches)
{
    Read("core-subdir=yes\ncd-message=.msg\nnfs-root-squash=maybe\nstartup-lresolve=no\n"
         "ls-time-format=gmt\n");
    EXPECT_STREQ(gCoreSubDir, "main");
    EXPECT_STREQ(gCdMessage, ".msg");
    EXPECT_EQ(gNFSRootSquash, 1);
    EXPECT_EQ(gStartupLResolve, 0);
    EXPECT_EQ(gLsTimeLocal, 0);
    Read("core-subdir=no\ncd-message=no\nnfs-root-squash=no\nls-time-format=Local\n");
    EXPECT_STREQ(gCoreSubDir, "");
    EXPECT_STREQ(gCdMessage, "");
    EXPECT_EQ(gNFSRootSquash, 0);
    EXPECT_EQ(gLsTimeLocal, 1);
}

TEST_F(ConfigFile, ListingDateFormats)
{
    const struct { const char *value; const char *format; } cases[] = {
        {"ls", ""}, {"Default", ""}, {"iso", "%Y-%m-%d %H:%M:%S"}, {"iso2", "%Y-%m-%d %H:%M"},
        {"%d.%m.%Y", "%d.%m.%Y"},
    };
    for (const auto &c : cases) {
        Read(std::string("ls-date-and-time-format=") + c.value + "\n");
        EXPECT_STREQ(gLsDateFormat, c.format) << c.value;
    }
}

TEST_F(ConfigFile, DefaultTransferTypeLetters)
{
    Read("default-transfer-type=I\n");
    EXPECT_EQ(gDefaultTransferType, 'I');
    Read("default-transfer-type=L 8\n");
    EXPECT_EQ(gDefaultTransferType, 'I');
    Read("default-transfer-type=a\n");
    EXPECT_EQ(gDefaultTransferType, 'A');
}

TEST_F(ConfigFile, LogOwnerAndGroupByName)
{
    Read("log-owner=daemon\nlog-group=daemon\n");
    EXPECT_EQ(gLogOwner, 1u);
    EXPECT_EQ(gLogGroup, 1u);
}

TEST_F(ConfigFile, EventProcessorsTakeFullPathnames)
{
    Read("download-event-processor=/usr/local/bin/dl\nlogout-event-processor=\n");
    EXPECT_STREQ(gDownloadEventProcessor, "/usr/local/bin/dl");
    EXPECT_STREQ(gLogoutEventProcessor, "");
}

TEST_F(ConfigFile, AddressesByNumberOrName)
{
    Read("passive-ip=127.0.0.2\nsingle-server-address=localhost\n");
    EXPECT_EQ(gPassiveIP, inet_addr("127.0.0.2"));
    EXPECT_EQ(gSingleServerAddress.in.sin_addr.s_addr, inet_addr("127.0.0.1"));
    Read("single-server-address=[::1]\n");
    EXPECT_TRUE(SioAddrIsV6(&gSingleServerAddress));
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&gSingleServerAddress.in6.sin6_addr));
}

TEST_F(ConfigFile, MemoryDebugIsNotedAndLeftOff)
{
    ::testing::internal::CaptureStderr();
    Read("memory-debug=yes\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Note: this system does not have a supported implementation of mallinfo().\n"
                   "The `memory-debug' option will be disabled.\n\n");
    EXPECT_EQ(gMemoryDebug, 0);
}

TEST_F(ConfigFile, AllowProxyConnectionsSetsBothDirections)
{
    Read("allow-proxy-connections=yes\n");
    EXPECT_EQ(gAllowIncomingProxyDataConnections, 1);
    EXPECT_EQ(gAllowOutgoingProxyDataConnections, 1);
}

TEST_F(ConfigFile, PathListsAddUpWithTheirLengths)
{
    Read("allow-paths=/pub|/home/shared\t/srv\ndeny-paths=/etc\nallow-paths=/opt/data\n");
    ASSERT_EQ(gNumAllowPaths, 4);
    EXPECT_STREQ(gAllowPathsArray[0], "/pub");
    EXPECT_EQ(gAllowPathLensArray[0], 4);
    EXPECT_STREQ(gAllowPathsArray[1], "/home/shared");
    EXPECT_EQ(gAllowPathLensArray[1], 12);
    EXPECT_STREQ(gAllowPathsArray[2], "/srv");
    EXPECT_STREQ(gAllowPathsArray[3], "/opt/data");
    ASSERT_EQ(gNumDenyPaths, 1);
    EXPECT_STREQ(gDenyPathsArray[0], "/etc");
    EXPECT_EQ(gDenyPathLensArray[0], 4);
}

TEST_F(ConfigFile, APathPrefixTooLongForAnyPathIsSkipped)
{
    Read("deny-paths=/" + std::string(600, 'd') + "|/etc\n");
    ASSERT_EQ(gNumDenyPaths, 1);
    EXPECT_STREQ(gDenyPathsArray[0], "/etc");
}

TEST_F(ConfigFile, AllowedSiteCommands)
{
    Read("allowed-site-commands=chmod,umask symlink\n");
    EXPECT_EQ(gAllowedSITECommands, 7);
    Read("allowed-site-commands=all\n");
    EXPECT_EQ(gAllowedSITECommands, 255);
    Read("allowed-site-commands=none\n");
    EXPECT_EQ(gAllowedSITECommands, 0);
    Read("allowed-site-commands=RBUF sbuf date df quota utime\n");
    EXPECT_EQ(gAllowedSITECommands, 32 | 128 | 64 | 16 | 8);
}

TEST_F(ConfigFile, TransactionTypeLetters)
{
    Read("log-xfer-transaction-types=rS-x\neventd-transaction-types=io\n");
    EXPECT_EQ(gLogXferTypeMask, 3);
    EXPECT_EQ(gEventdTypeMask, 768);
    Read("log-xfer-transaction-types=RSTDMCLNIO\neventd-transaction-types=\n");
    EXPECT_EQ(gLogXferTypeMask, 1023);
    EXPECT_EQ(gEventdTypeMask, 0);
}

TEST_F(ConfigFile, BindLocalDataPortRetries)
{
    Read("bind-local-data-port=yes 5 10\n");
    EXPECT_EQ(gBindLocalDataPort, 1);
    EXPECT_EQ(gBindLocalDataPortDelay, 5);
    EXPECT_EQ(gBindLocalDataPortRetries, 10);
    Read("bind-local-data-port=yes 100 5\n");    // 500 seconds in all: too long
    EXPECT_EQ(gBindLocalDataPortDelay, 0);
    EXPECT_EQ(gBindLocalDataPortRetries, 0);
    Read("bind-local-data-port=no\n");
    EXPECT_EQ(gBindLocalDataPort, 0);
}

TEST_F(ConfigFile, BannerBecomesTheGreeting)
{
    Read("banner=Welcome to the archive.\n");
    InitConnectHeader();
    EXPECT_STREQ(gConnectHeader, "Welcome to the archive.");
    EXPECT_EQ(gCustomConnectHeader, 1);
}

TEST_F(ConfigFile, DataBufSizeDoesNotChangeTheGreeting)
{
    Read("data-buf-size=65536\n");
    InitConnectHeader();
    EXPECT_STREQ(gConnectHeader, "Zorvad Server ready.");
    EXPECT_EQ(gCustomConnectHeader, 0);
}

TEST_F(ConfigFile, IgnoredKeysAreAccepted)
{
    Read("end-user-class=x\nshm-file=/tmp/shm\ndata-buf-size=1\n");
    SUCCEED();
}

TEST(ConfigKeys, TheTableIsSharedWithDomainCf)
{
    EXPECT_EQ(IsConfigKey("Set-Name"), 1);
    EXPECT_EQ(IsConfigKey("zip"), 1);
    EXPECT_EQ(IsConfigKey("a-file-owner"), 1);
    EXPECT_EQ(IsConfigKey("no-such-key"), 0);
}

// ---- Refusals: one message to standard error, exit status 1 ---------------------

using ConfigFileDeathTest = ConfigFile;

TEST_F(ConfigFileDeathTest, SetNameBelongsInDomainCf)
{
    const std::string path = Path("port=2121\n\nset-name=x\n");
    EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1),
                "^Variable \"set-name\" on line 3 of " + path
                    + " needs to be set in\nindividual domain configuration files.\n$");
}

class PerDomainKeys : public ConfigFile, public ::testing::WithParamInterface<const char *> {};

TEST_P(PerDomainKeys, AreRefusedWithTheDomainMessage)
{
    const std::string path = Path(std::string("# domain key\n") + GetParam() + "=1\n");
    EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1),
                std::string("^Variable \"") + GetParam() + "\" on line 2 of .* needs to be set in\n"
                    + "individual domain configuration files.\n$");
}

INSTANTIATE_TEST_SUITE_P(
    All, PerDomainKeys,
    ::testing::Values("a-download-bandwidth-per-user", "a-login-message", "a-lowercase-pathnames",
                      "a-upload-bandwidth-per-user", "ftp-home", "log-session", "log-xfer",
                      "max-domain-users", "passwd", "server-address", "server-name", "server-type",
                      "set-name", "u-login-message", "u-vchroot-restricted-users", "welcome-message"));

class UnknownKeys : public ConfigFile, public ::testing::WithParamInterface<const char *> {};

TEST_P(UnknownKeys, AreRefusedAsUnknownVariables)
{
    const std::string path = Path(std::string("port=21\n") + GetParam() + " = 1\n");
    EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1),
                std::string("^Unknown variable \"") + GetParam()
                    + "\" on line 2 of configuration file.\n$");
}

INSTANTIATE_TEST_SUITE_P(
    All, UnknownKeys,
    ::testing::Values("a-file-group", "a-file-owner", "a-goodbye-message", "max-domain-users-per-ip",
                      "max-domain-users-per-username", "u-download-bandwidth-per-user", "u-goodbye-message",
                      "u-lowercase-pathnames", "u-upload-bandwidth-per-user", "no-such-key"));

TEST_F(ConfigFileDeathTest, AMissingFileIsReportedWithTheSystemError)
{
    const std::string path = dir_.dir() + "/missing.cf";
    EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1),
                "^" + path + ": No such file or directory\n$");
}

TEST_F(ConfigFileDeathTest, UnacceptableValues)
{
    EXPECT_EXIT(Read("\na-password-mode=bogus\n"), ExitedWithCode(1),
                "^Unknown value \"bogus\" for variable \"a-password-mode\" on line 2 of configuration file.\n$");
    EXPECT_EXIT(Read("a-password-mode=exactly\n"), ExitedWithCode(1),
                "^Unknown value \"exactly\" for variable \"a-password-mode\" on line 1 of configuration file.\n$");
    EXPECT_EXIT(Read("IPC-Key=zz\n"), ExitedWithCode(1),
                "^Unknown value \"zz\" for variable \"IPC-Key\" on line 1 of configuration file.\n$");
    EXPECT_EXIT(Read("ipc-key=0\n"), ExitedWithCode(1), "^Unknown value \"0\" for variable \"ipc-key\"");
    for (const char *base : {"0", "-5", "12x", "", "2147483647", "99999999999"})
        EXPECT_EXIT(Read(std::string("front-uid-base=") + base + "\n"), ExitedWithCode(1),
                    "^Unknown value \"" + std::string(base) + "\" for variable \"front-uid-base\"");
}

TEST_F(ConfigFileDeathTest, BadPortRanges)
{
    EXPECT_EXIT(Read("ephemeral-port-range=50 60\n"), ExitedWithCode(1), "^Bad port range \\[50,60\\]\n$");
    EXPECT_EXIT(Read("ephemeral-port-range=60000-50000\n"), ExitedWithCode(1),
                "^Bad port range \\[60000,50000\\]\n$");
    EXPECT_EXIT(Read("ephemeral-port-range=1024-65536\n"), ExitedWithCode(1),
                "^Bad port range \\[1024,65536\\]\n$");
    EXPECT_EXIT(Read("ephemeral-port-range=2000\n"), ExitedWithCode(1), "^Bad port range \\[2000,0\\]\n$");
}

TEST_F(ConfigFileDeathTest, KeysWithTheirOwnMessages)
{
    EXPECT_EXIT(Read("default-transfer-type=X\n"), ExitedWithCode(1),
                "^Invalid TYPE X \\(syntax error in default-transfer-type=\"X\"\\)\\.\n$");
    EXPECT_EXIT(Read("log-owner=no-such-user-zv\n"), ExitedWithCode(1), "^Unknown user no-such-user-zv\\.\n$");
    EXPECT_EXIT(Read("log-group=no-such-group-zv\n"), ExitedWithCode(1),
                "^Unknown group no-such-group-zv\\.\n$");
    EXPECT_EXIT(Read("upload-event-processor=bin/up\n"), ExitedWithCode(1),
                "^Please use a full pathname when setting upload-event-processor\\.\n$");
    EXPECT_EXIT(Read("allowed-site-commands=chmod bogus\n"), ExitedWithCode(1),
                "^Unknown SITE command \\(bogus\\) used with allowed-site-commands\\.\n$");
}

TEST_F(ConfigFileDeathTest, InvalidAddressesNameTheLine)
{
    const std::string path = Path("port=21\npassive-ip=256.1.1.1\n");
    EXPECT_EXIT(ReadConfigFile(path.c_str()), ExitedWithCode(1),
                "^Invalid IP address given for the passive-ip option\\.\nError caused by line 2 of " + path
                    + "\\.\n$");
    const std::string path2 = Path("single-server-address=no-such-host.invalid\n");
    EXPECT_EXIT(ReadConfigFile(path2.c_str()), ExitedWithCode(1),
                "^Invalid single-server-address \"no-such-host\\.invalid\"; try something\nin the form of "
                "192\\.168\\.96\\.99\nError caused by line 1 of " + path2 + "\\.\n$");
}

}  // namespace

// Data connections over loopback: PORT and PASV with their checks, opening
// the connection passively, actively and on the default port, and the
// replies.  Checks that end the session run in a forked child.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "transfer/data.h"
#include "config/domain.h"
#include "session/shell.h"
#include "status/shm.h"
#include "process/startup.h"

namespace {

std::vector<unsigned> gSlept;
unsigned RecordSleep(unsigned s)
{
    gSlept.push_back(s);
    return 0;
}

SioAddr Addr(const char *ip, int port)
{
    SioAddr a {};
    EXPECT_EQ(SioAddrFromText(ip, &a), 0);
    SioAddrSetPort(&a, port);
    return a;
}

// A listening socket on a loopback address; port() tells where.
struct Listener {
    explicit Listener(const char *ip = "127.0.0.1", int port = 0)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        SioAddr a = Addr(ip, port);
        EXPECT_EQ(bind(fd, &a.sa, SioAddrLen(&a)), 0);
        EXPECT_EQ(listen(fd, 4), 0);
    }
    ~Listener() { close(fd); }
    int port() const
    {
        struct sockaddr_in a {};
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }
    int Accept(SioAddr *peer) const
    {
        socklen_t len = sizeof(*peer);
        return accept(fd, &peer->sa, &len);
    }
    int fd;
};

// A control port whose neighbour below was just free: the kernel picks the
// neighbour, so tests running side by side never pick the same one.
int ControlPortAboveAFreeOne()
{
    Listener probe;
    return probe.port() + 1;
}

int Connect(const char *fromIp, int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    SioAddr from = Addr(fromIp, 0);
    bind(fd, &from.sa, SioAddrLen(&from));
    SioAddr to = Addr("127.0.0.1", port);
    EXPECT_EQ(connect(fd, &to.sa, SioAddrLen(&to)), 0);
    return fd;
}

int PortOf227(const std::string &reply)
{
    std::smatch m;
    const std::regex re(R"(^227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$)");
    if (!std::regex_match(reply, m, re))
        return -1;
    return std::stoi(m[5]) * 256 + std::stoi(m[6]);
}

class DataTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        gCtrl = sv_[1];
        gLoggedIn = 1;
        gIsAnon = 0;
        gTraceLogging = 0;
        gClientIsLocal = 1;
        gLocalCtrlAddr = Addr("127.0.0.1", 21);
        gRemoteCtrlAddr = Addr("127.0.0.1", 40021);
        gData = gPassiveData = -1;
        gPassive = 0;
        gUsingDefaultDataPort = 1;
        gPORTDidntWorkForThisUser = gFailedDataConnections = 0;
        gRestartPt = 0;
        gMode = 'S';
        gType = 'A';
        gConnTimeout = 5;
        gAllowPORT = gAllowPASV = 1;
        gAllowOutgoingPortsBelow1024 = gAllowIncomingPortsBelow1024 = 1;
        gAllowOutgoingProxyDataConnections = gAllowIncomingProxyDataConnections = 0;
        gAllowOutgoingProxyDataConnectionPortsBelow1024 = 0;
        gAllowProxyWhenControlOriginatesFromLoopback = 0;
        gAllowPasvPreconnections = 2;
        gEphemeralPortLo = gEphemeralPortHi = 0;
        gPassiveIP = INADDR_NONE;
        gBindLocalDataPort = 1;
        gBindLocalDataPortDelay = gBindLocalDataPortRetries = 0;
        gPreferredDataRBufSize = gPreferredDataSBufSize = 0;
        gDataRBufSize = gDataSBufSize = 0;
        gReduceSocketBufferMemory = 0;
        domain_ = DomainInfo{};
        domain_.passiveIP = INADDR_NONE;
        gCurDomain = &domain_;
        Strncpy(gRUserPtr->host, "localhost", sizeof(gRUserPtr->host));
        gSlept.clear();
        gDataSleep = RecordSleep;
    }
    void TearDown() override
    {
        if (gData >= 0)
            close(gData);
        if (gPassiveData >= 0)
            close(gPassiveData);
        gData = gPassiveData = -1;
        gPassive = 0;
        close(sv_[0]);
        close(sv_[1]);
        gCtrl = -1;
        gCurDomain = nullptr;
    }

    std::string Reply1(int firstWaitMs = 5000)
    {
        std::string text;
        struct pollfd p = {sv_[0], POLLIN, 0};
        while (poll(&p, 1, text.empty() ? firstWaitMs : 100) > 0) {
            char b[1024];
            const ssize_t n = read(sv_[0], b, sizeof(b));
            if (n <= 0)
                break;
            text.append(b, static_cast<size_t>(n));
        }
        return text;
    }
    std::string Command(void (*handler)(char *), const char *arg)
    {
        char buf[128];
        snprintf(buf, sizeof(buf), "%s", arg);
        handler(buf);
        return Reply1();
    }

    // Runs fn in a child that must end the session; returns its replies.
    template <typename Fn>
    std::string EndsTheSession(Fn fn, int firstWaitMs = 5000)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            fn();
            _exit(99);
        }
        const std::string text = Reply1(firstWaitMs);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 99) << "the session went on";
        return text;
    }

    DomainInfo domain_;
    int sv_[2] = {-1, -1};
};

TEST(PortArgumentTest, SixNumbersWithAnySeparatorsAndNoneAbove255)
{
    struct sockaddr_in a;
    ASSERT_EQ(ParsePortArgument("127,0,0,1,4,1", &a), 0);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(0x7F000001));
    EXPECT_EQ(ntohs(a.sin_port), 1025);
    ASSERT_EQ(ParsePortArgument("10 1 2 3 x 255 y 255", &a), 0);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(0x0A010203));
    EXPECT_EQ(ntohs(a.sin_port), 65535);
    EXPECT_EQ(ParsePortArgument("127,0,0,1,4", &a), -1);
    EXPECT_EQ(ParsePortArgument("127,0,0,256,4,1", &a), -1);
    EXPECT_EQ(ParsePortArgument("", &a), -1);
    EXPECT_EQ(ParsePortArgument("1,2,3,4,5,99999999999999999999", &a), -1);
}

TEST(EprtArgumentTest, ThreeDelimitedFieldsForIPv4AndTheOtherProtocolsApart)
{
    SioAddr a;
    ASSERT_EQ(ParseEprtArgument("|1|10.1.2.3|65535|", &a, AF_INET), 0);
    EXPECT_EQ(a.in.sin_addr.s_addr, htonl(0x0A010203));
    EXPECT_EQ(SioAddrPort(&a), 65535);
    ASSERT_EQ(ParseEprtArgument("!1!127.0.0.1!1025!", &a, AF_INET), 0);
    EXPECT_EQ(SioAddrPort(&a), 1025);
    EXPECT_EQ(ParseEprtArgument("|2|::1|5282|", &a, AF_INET), kEprtOtherProtocol);
    // On an IPv6 control connection only protocol 2, with an IPv6 address.
    ASSERT_EQ(ParseEprtArgument("|2|2001:db8::1|5282|", &a, AF_INET6), 0);
    EXPECT_EQ(a.sa.sa_family, AF_INET6);
    EXPECT_EQ(SioAddrPort(&a), 5282);
    EXPECT_EQ(ParseEprtArgument("|1|10.1.2.3|21|", &a, AF_INET6), kEprtOtherProtocol);
    EXPECT_EQ(ParseEprtArgument("|2|10.1.2.3|21|", &a, AF_INET6), -1);
    for (const char *bad : {"", "|1|10.1.2.3|21", "|1|10.1.2.3|21||", "|1|10.1.2.3|0|", "|1|10.1.2.3|65536|",
                            "|1|10.1.2.3|-21|", "|1|10.1.2|21|", "|1|10.1.2.256|21|", "|1|host|21|", "||10.1.2.3|21|",
                            " 1 10.1.2.3 21 ", "|x|10.1.2.3|21|", "|1|10.1.2.3|99999999999999999999|"})
        EXPECT_EQ(ParseEprtArgument(bad, &a, AF_INET), -1) << bad;
}

TEST(PassiveAddressTest, DotsBecomeCommasAndThePortTwoBytes)
{
    char text[64];
    PassiveAddressText(text, sizeof(text), htonl(0xC0A80A01), 40001);
    EXPECT_STREQ(text, "192,168,10,1,156,65");
}

TEST_F(DataTest, PortToTheClientsOwnHostIsAccepted)
{
    EXPECT_EQ(Command(Port, "127,0,0,1,19,137"), "200 PORT command successful.\r\n");
    EXPECT_EQ(gUsingDefaultDataPort, 0);
    EXPECT_STREQ(gRemoteDataAddrStr, "127.0.0.1:5001");
    EXPECT_EQ(gRemoteDataAddrIsLoopback, 1);
    EXPECT_EQ(gPassive, 0);
}

TEST_F(DataTest, PortRefusalsThatKeepTheSession)
{
    gPORTDidntWorkForThisUser = 1;
    EXPECT_EQ(Command(Port, "127,0,0,1,19,137"),
              "550 PORT didn't work for you last time, why would it this time? Try PASV instead.\r\n");
    gPORTDidntWorkForThisUser = 0;
    gAllowPORT = 0;
    EXPECT_EQ(Command(Port, "127,0,0,1,19,137"), "550 This site does not permit PORT.  Please use PASV instead.\r\n");
    gAllowPORT = 1;
    EXPECT_EQ(Command(Port, "1,2,3"), "501 Syntax error in parameters.\r\n");
}

TEST_F(DataTest, PortToAThirdHostEndsTheSession)
{
    EXPECT_EQ(EndsTheSession([] {
                  char arg[] = "127,0,0,2,19,137";
                  Port(arg);
              }),
              "550 Data connection must go to same host as control connection.\r\n");
}

TEST_F(DataTest, PortToLoopbackFromARemoteClientEndsTheSession)
{
    gRemoteCtrlAddr = Addr("192.0.2.7", 40021);
    gClientIsLocal = 0;
    EXPECT_EQ(EndsTheSession([] {
                  char arg[] = "127,0,0,1,19,137";
                  Port(arg);
              }),
              "550 Data connection to 127.0.0.1 is not allowed when control connection is from 192.0.2.7!\r\n");
}

TEST_F(DataTest, PortBelow1024EndsTheSessionWhenNotAllowed)
{
    gAllowOutgoingPortsBelow1024 = 0;
    EXPECT_EQ(EndsTheSession([] {
                  char arg[] = "127,0,0,1,0,21";
                  Port(arg);
              }),
              "550 Remote port numbers below 1024 are not allowed here.\r\n");
}

TEST_F(DataTest, ProxyKeysLetPortNameAnotherHostAbove1023)
{
    gAllowOutgoingProxyDataConnections = 1;
    EXPECT_EQ(Command(Port, "127,0,0,2,19,137"), "200 PORT command successful.\r\n");
    EXPECT_EQ(EndsTheSession([] {
                  char arg[] = "127,0,0,2,0,80";
                  Port(arg);
              }),
              "550 Proxy data connections must be to port numbers above 1023.\r\n");
    gAllowOutgoingProxyDataConnections = 0;
    gAllowProxyWhenControlOriginatesFromLoopback = 1;
    EXPECT_EQ(Command(Port, "127,0,0,2,19,137"), "200 PORT command successful.\r\n");
}

TEST_F(DataTest, TwoPasvInARowAnnounceTheSamePort)
{
    const int first = PortOf227(Command(Pasv, ""));
    ASSERT_GT(first, 0);
    EXPECT_EQ(gPassive, 1);
    EXPECT_EQ(gUsingDefaultDataPort, 0);
    EXPECT_EQ(PortOf227(Command(Pasv, "")), first);
}

TEST_F(DataTest, PasvRefusedWhenSwitchedOff)
{
    gAllowPASV = 0;
    EXPECT_EQ(Command(Pasv, ""), "550 This site does not permit PASV.  Please use PORT instead.\r\n");
}

TEST_F(DataTest, ThePassivePortComesFromTheEphemeralRangeWithoutItsTop)
{
    gEphemeralPortLo = 40000;
    gEphemeralPortHi = 40002;
    for (int i = 0; i < 6; i++) {
        const int port = PortOf227(Command(Pasv, ""));
        EXPECT_TRUE(port == 40000 || port == 40001) << port;
        CancelPassiveMode();
    }
}

TEST_F(DataTest, TheAnnouncedAddressPrefersTheDomainsThenTheConfiguredOne)
{
    gPassiveIP = htonl(0xC0000201);   // 192.0.2.1
    std::string reply = Command(Pasv, "");
    EXPECT_EQ(reply.rfind("227 Entering Passive Mode (192,0,2,1,", 0), 0u) << reply;
    domain_.passiveIP = htonl(0xC6336402);   // 198.51.100.2
    reply = Command(Pasv, "");
    EXPECT_EQ(reply.rfind("227 Entering Passive Mode (198,51,100,2,", 0), 0u) << reply;
}

TEST_F(DataTest, APreConnectedPassiveSocketIsReplacedAfterTheConfiguredWait)
{
    gClientIsLocal = 0;
    gAllowPasvPreconnections = 3;
    const int first = PortOf227(Command(Pasv, ""));
    const int early = Connect("127.0.0.1", first);
    usleep(10000);
    const int second = PortOf227(Command(Pasv, ""));
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(gSlept, std::vector<unsigned>{3});
    close(early);
}

TEST_F(DataTest, APreConnectedPassiveSocketEndsTheSessionWhenSoConfigured)
{
    gClientIsLocal = 0;
    gAllowPasvPreconnections = 0;
    const int first = PortOf227(Command(Pasv, ""));
    const int early = Connect("127.0.0.1", first);
    usleep(10000);
    EXPECT_EQ(EndsTheSession([] {
                  char arg[] = "";
                  Pasv(arg);
              },
                             500),
              "");
    close(early);
}

TEST_F(DataTest, APassiveConnectionIsAcceptedFromTheClientsHost)
{
    const int port = PortOf227(Command(Pasv, ""));
    const int client = Connect("127.0.0.1", port);
    struct sockaddr_in local {};
    socklen_t len = sizeof(local);
    getsockname(client, reinterpret_cast<struct sockaddr *>(&local), &len);
    const int fd = OpenData("file.bin", 10);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(fd, gData);
    EXPECT_EQ(gPassiveData, -1);
    EXPECT_STREQ(gDataPortType, "Ps");
    char expected[256];
    snprintf(expected, sizeof(expected),
             "150 Data connection accepted from 127.0.0.1:%d; transfer starting for file.bin (10 bytes).\r\n",
             ntohs(local.sin_port));
    EXPECT_EQ(Reply1(), expected);
    CloseData(1);
    EXPECT_EQ(gData, -1);
    EXPECT_EQ(gUsingDefaultDataPort, 1);
    close(client);
}

// A stranger's connection is dropped while the owner's is awaited; when
// none comes before conn-timeout, the refusal's reply ends the session.
TEST_F(DataTest, OnlyAPassiveConnectionFromAnotherHostEndsTheSessionAtTheTimeOut)
{
    gConnTimeout = 1;
    const int port = PortOf227(Command(Pasv, ""));
    const int client = Connect("127.0.0.2", port);
    EXPECT_EQ(EndsTheSession([] { OpenData(nullptr, -1); }),
              "550 Passive connection must come from same host as control connection.\r\n");
    close(client);
}

TEST_F(DataTest, PassiveModeWithoutAListeningSocketEndsTheSession)
{
    gPassive = 1;
    EXPECT_EQ(EndsTheSession([] { OpenData(nullptr, -1); }), "550 Cannot open passive data connection.\r\n");
}

TEST_F(DataTest, AfterPortTheServerConnectsToTheGivenAddress)
{
    Listener client;
    char arg[64];
    snprintf(arg, sizeof(arg), "127,0,0,1,%d,%d", client.port() >> 8, client.port() & 255);
    EXPECT_EQ(Command(Port, arg), "200 PORT command successful.\r\n");
    EXPECT_GE(OpenData(nullptr, -1), 0);
    EXPECT_EQ(Reply1(), "150 Opening ASCII mode data connection.\r\n");
    EXPECT_STREQ(gDataPortType, "Po");
    SioAddr peer;
    const int fd = client.Accept(&peer);
    EXPECT_GE(fd, 0);
    close(fd);
    CloseData(0);

    gType = 'I';
    EXPECT_EQ(Command(Port, arg), "200 PORT command successful.\r\n");
    OpenData("name", -1);
    EXPECT_EQ(Reply1(), "150 Opening BINARY mode data connection for name.\r\n");
    CloseData(0);
    EXPECT_EQ(Command(Port, arg), "200 PORT command successful.\r\n");
    OpenData("MLSD", -1);
    EXPECT_EQ(Reply1(), "150 Opening data connection for MLSD.\r\n");
    CloseData(0);
    EXPECT_EQ(Command(Port, arg), "200 PORT command successful.\r\n");
    OpenData("big", 123456);
    EXPECT_EQ(Reply1(), "150 Opening BINARY mode data connection for big (123456 bytes).\r\n");
    CloseData(0);
}

TEST_F(DataTest, TheDefaultPortIsTheClientsControlPortFromOurPortMinusOne)
{
    Listener client;
    const int control = ControlPortAboveAFreeOne();
    gLocalCtrlAddr = Addr("127.0.0.1", control);
    gRemoteCtrlAddr = Addr("127.0.0.1", client.port());
    EXPECT_GE(OpenData(nullptr, -1), 0);
    EXPECT_EQ(Reply1(), "150 Opening ASCII mode data connection.\r\n");
    EXPECT_STREQ(gDataPortType, "Df");
    SioAddr peer;
    const int fd = client.Accept(&peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SioAddrPort(&peer), control - 1);
    close(fd);
    CloseData(0);
}

TEST_F(DataTest, ABusyPortMinusOneIsRetriedThenAnyPortIsUsed)
{
    Listener client;
    Listener busy;
    const int control = busy.port() + 1;
    gLocalCtrlAddr = Addr("127.0.0.1", control);
    gRemoteCtrlAddr = Addr("127.0.0.1", client.port());
    gBindLocalDataPortRetries = 2;
    gBindLocalDataPortDelay = 1;
    EXPECT_GE(OpenData(nullptr, -1), 0);
    EXPECT_EQ(gSlept, (std::vector<unsigned>{1, 1}));
    SioAddr peer;
    const int fd = client.Accept(&peer);
    ASSERT_GE(fd, 0);
    EXPECT_NE(SioAddrPort(&peer), control - 1);
    close(fd);
    CloseData(0);
    Reply1();
}

std::vector<uid_t> gEuidsWhileAsleep;
unsigned RecordEuidAsleep(unsigned)
{
    gEuidsWhileAsleep.push_back(geteuid());
    return 0;
}

// A logged-in user's session (real uid root, effective uid the user's)
// holds root for each bind to the port below ours alone: never across the
// sleep between two attempts, and the user's identity is back afterwards.
TEST_F(DataTest, RootIsNotHeldWhileWaitingToRetryTheBindBelowOurPort)
{
    Listener client;
    Listener busy;
    const int control = busy.port() + 1;
    gLocalCtrlAddr = Addr("127.0.0.1", control);
    gRemoteCtrlAddr = Addr("127.0.0.1", client.port());
    gBindLocalDataPortRetries = 2;
    gBindLocalDataPortDelay = 1;
    const pid_t pid = fork();
    if (pid == 0) {
        constexpr uid_t kUser = 65534;
        gDataSleep = RecordEuidAsleep;
        if (seteuid(kUser) < 0)
            _exit(10);
        const int fd = OpenData(nullptr, -1);
        const bool asleepAsUser = gEuidsWhileAsleep == std::vector<uid_t>{kUser, kUser};
        _exit(fd < 0 ? 11 : !asleepAsUser ? 12 : geteuid() != kUser ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no seteuid, 11: no data connection, 12: slept as root, 13: still root";
    Reply1();
}

TEST_F(DataTest, ARefusedConnectionIsAnsweredAndTheSessionGoesOn)
{
    int port;
    {
        Listener gone;
        port = gone.port();
    }
    char arg[64];
    snprintf(arg, sizeof(arg), "127,0,0,1,%d,%d", port >> 8, port & 255);
    Command(Port, arg);
    EXPECT_EQ(OpenData(nullptr, -1), -1);
    char expected[128];
    snprintf(expected, sizeof(expected), "550 Cannot connect to 127.0.0.1:%d - Connection refused.\r\n", port);
    EXPECT_EQ(Reply1(), expected);
    EXPECT_EQ(gFailedDataConnections, 1);
    EXPECT_EQ(gPORTDidntWorkForThisUser, 0);
    EXPECT_EQ(gSlept, std::vector<unsigned>{3});
    EXPECT_EQ(gData, -1);
}

TEST_F(DataTest, ModeBKeepsTheConnectionForTheNextTransfer)
{
    Listener client;
    char arg[64];
    snprintf(arg, sizeof(arg), "127,0,0,1,%d,%d", client.port() >> 8, client.port() & 255);
    Command(Port, arg);
    gMode = 'B';
    const int fd = OpenData("a", 1);
    Reply1();
    CloseData(1);
    EXPECT_EQ(gData, fd);
    EXPECT_EQ(OpenData("b", 3), fd);
    EXPECT_EQ(Reply1(), "125 Data connection already open; transfer starting for b (3 bytes).\r\n");
    EXPECT_EQ(OpenData(nullptr, -1), fd);
    EXPECT_EQ(Reply1(), "125 Data connection already open; transfer starting.\r\n");
    CloseData(0);
    EXPECT_EQ(gData, -1);
    EXPECT_EQ(gUsingDefaultDataPort, 1);
}

TEST_F(DataTest, PortCancelsPassiveMode)
{
    PortOf227(Command(Pasv, ""));
    ASSERT_GE(gPassiveData, 0);
    EXPECT_EQ(Command(Port, "127,0,0,1,19,137"), "200 PORT command successful.\r\n");
    EXPECT_EQ(gPassiveData, -1);
    EXPECT_EQ(gPassive, 0);
    EXPECT_EQ(gUsingDefaultDataPort, 0);
}

TEST_F(DataTest, RunningOutOfDescriptorsEndsTheProcessWithStatusFour)
{
    const pid_t pid = fork();
    if (pid == 0) {
        gChild = 1;
        const int spare = dup(0);             // the highest descriptor in use, roughly
        struct rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        const rlim_t soft = rl.rlim_cur;
        rl.rlim_cur = static_cast<rlim_t>(spare + 1);
        setrlimit(RLIMIT_NOFILE, &rl);
        // The soft limit goes back up at exit, for the sanitizers' own checks.
        static rlim_t restore;
        restore = soft;
        atexit([] {
            struct rlimit r;
            getrlimit(RLIMIT_NOFILE, &r);
            r.rlim_cur = restore;
            setrlimit(RLIMIT_NOFILE, &r);
        });
        char arg[] = "";
        Pasv(arg);
        _exit(99);
    }
    EXPECT_EQ(Reply1(), "550 Passive mode failed: socket: Too many open files\r\n");
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
}

TEST_F(DataTest, DataSocketBuffersFollowTheClientThenTheConfiguration)
{
    auto sizes = [](int fd) {
        int r = 0, s = 0;
        socklen_t len = sizeof(int);
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &r, &len);
        getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &s, &len);
        close(fd);
        return std::make_pair(r, s);
    };
    gPreferredDataSBufSize = 300000;
    gDataSBufSize = 8192;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    SetDataSocketBufferSizes(fd);
    EXPECT_GE(sizes(fd).second, 300000);
    gPreferredDataSBufSize = 0;
    fd = socket(AF_INET, SOCK_STREAM, 0);
    SetDataSocketBufferSizes(fd);
    EXPECT_LE(sizes(fd).second, 2 * 8192);
    gDataSBufSize = 0;
    gReduceSocketBufferMemory = 1;
    fd = socket(AF_INET, SOCK_STREAM, 0);
    SetDataSocketBufferSizes(fd);
    EXPECT_LE(sizes(fd).first, 2 * 2048 + 512);
}

}  // namespace

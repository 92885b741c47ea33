// Address texts and service names.
#include "sio_test_util.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

struct AddrCase {
    const char *text;
    int defaultPort;
    unsigned short port;
};

class AddrForms : public ::testing::TestWithParam<AddrCase> {};

TEST_P(AddrForms, ParsesToLoopbackAndPort)
{
    SioAddr sa;
    memset(&sa, 0xAA, sizeof(sa));
    ASSERT_EQ(AddrStrToAddr(GetParam().text, &sa, GetParam().defaultPort), 0);
    EXPECT_EQ(sa.in.sin_family, AF_INET);
    EXPECT_EQ(sa.in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(sa.in.sin_port), GetParam().port);
    EXPECT_EQ(sa.in.sin_zero[0], 0);
}

INSTANTIATE_TEST_SUITE_P(Sio, AddrForms, ::testing::Values(
    AddrCase{"ftp://127.0.0.1/", 0, 21},             // from the service table
    AddrCase{"ftp://127.0.0.1", 0, 21},
    AddrCase{"ftp://127.0.0.1:2121/pub/x", 0, 21 * 100 + 21},
    AddrCase{"ftp://127.0.0.1:0/", 0, 21},           // port 0 falls back to the service
    AddrCase{"2121://127.0.0.1/", 0, 2121},          // a numeric service
    AddrCase{"nosuchservice://127.0.0.1/", 0, 0},
    AddrCase{"127.0.0.1:2121", 0, 2121},
    AddrCase{"2121@127.0.0.1", 0, 2121},
    AddrCase{"127.0.0.1", 2121, 2121},
    AddrCase{"localhost:21", 0, 21},                 // a name from /etc/hosts
    AddrCase{"ftp://localhost/", 0, 21}));

TEST(AddrStrToAddr, ABareHostWithoutADefaultPortIsRefused)
{
    SioAddr sa {};
    errno = 0;
    EXPECT_EQ(AddrStrToAddr("127.0.0.1", &sa, 0), kSioErrAddrString);
    EXPECT_EQ(errno, EADDRNOTAVAIL);
}

TEST(AddrStrToAddr, AnUnknownHostIsReported)
{
    SioAddr sa {};
    errno = 0;
    EXPECT_EQ(AddrStrToAddr("no-such-host.invalid:21", &sa, 0), kSioErrHostLookup);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(AddrStrToAddr(":21", &sa, 0), kSioErrHostLookup);
}

TEST(AddrStrToAddr, AnOverlongTextIsCut)
{
    const std::string text = "127.0.0.1:" + std::string(200, '2');
    SioAddr sa {};
    EXPECT_EQ(AddrStrToAddr(text.c_str(), &sa, 0), 0);
    EXPECT_EQ(sa.in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

struct FormatCase {
    const char *fmt;
    size_t dsize;
    const char *expected;
};

class AddrFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(AddrFormats, ExpandTheEscapes)
{
    const SioAddr sa = Loopback(21);
    char dst[64];
    memset(dst, 'X', sizeof(dst));
    EXPECT_EQ(AddrToAddrStr(dst, GetParam().dsize, &sa, 0, GetParam().fmt), dst);
    EXPECT_STREQ(dst, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Sio, AddrFormats, ::testing::Values(
    FormatCase{nullptr, 64, "127.0.0.1:21"},
    FormatCase{"%h port %p is %s", 64, "127.0.0.1 port 21 is ftp"},
    FormatCase{"%t/%u", 64, "ftp/fsp"},
    FormatCase{"100%% %x%", 64, "100% x"},
    FormatCase{"[%h]", 6, "[127."},
    FormatCase{"%p", 1, ""}));

TEST(AddrToAddrStr, ServicesFallBackToTheNumber)
{
    const SioAddr sa = Loopback(64999);
    char dst[64];
    AddrToAddrStr(dst, sizeof(dst), &sa, 0, "%s %t %u");
    EXPECT_STREQ(dst, "64999 64999 64999");
}

TEST(AddrToAddrStr, AReverseLookupGivesTheName)
{
    const SioAddr sa = Loopback(2121);
    char dst[64];
    AddrToAddrStr(dst, sizeof(dst), &sa, 1, nullptr);
    EXPECT_STREQ(dst, "localhost:2121");
}

TEST(InetNtoA, WritesTheDottedQuadBounded)
{
    struct in_addr ia {};
    ia.s_addr = htonl(0xC0A80102);
    char dst[16];
    memset(dst, 'X', sizeof(dst));
    EXPECT_STREQ(InetNtoA(dst, &ia, sizeof(dst)), "192.168.1.2");
    EXPECT_EQ(dst[15], '\0');
    char small[6];
    EXPECT_STREQ(InetNtoA(small, &ia, sizeof(small)), "192.1");
}

TEST(Services, NamesAndNumbers)
{
    EXPECT_EQ(ServiceNameToPortNumber("ftp", 0), 21);
    EXPECT_EQ(ServiceNameToPortNumber("ftp", 't'), 21);
    EXPECT_EQ(ServiceNameToPortNumber("ftp", 'u'), 0);
    EXPECT_EQ(ServiceNameToPortNumber("fsp", 0), 21);  // udp only
    EXPECT_EQ(ServiceNameToPortNumber("ftp", 'x'), 0);
    EXPECT_EQ(ServiceNameToPortNumber("ftp-data/extra", 0), 20);
    EXPECT_EQ(ServiceNameToPortNumber("2121abc", 0), 2121);
    EXPECT_EQ(ServiceNameToPortNumber("nosuchservice", 0), 0);
    EXPECT_EQ(ServiceNameToPortNumber("", 0), 0);

    char name[32];
    EXPECT_EQ(ServicePortNumberToName(21, name, sizeof(name), 0), 1);
    EXPECT_STREQ(name, "ftp");
    EXPECT_EQ(ServicePortNumberToName(21, name, sizeof(name), 'u'), 1);
    EXPECT_STREQ(name, "fsp");
    EXPECT_EQ(ServicePortNumberToName(64999, name, sizeof(name), 0), 0);
    EXPECT_STREQ(name, "64999");
}

}  // namespace

// IPv6 hosts stand in brackets wherever a port may follow; the bare address
// takes the default port.
TEST(AddrStrToAddr, IPv6FormsParse)
{
    struct Case {
        const char *text;
        int defaultPort;
        int port;
    } cases[] = {{"[::1]:2121", 0, 2121}, {"[::1]", 21, 21}, {"::1", 21, 21}, {"2121@::1", 0, 2121},
                 {"ftp://[::1]:2121/pub", 0, 2121}, {"ftp://[::1]/", 0, 21}};
    for (const Case &c : cases) {
        SioAddr sa;
        ASSERT_EQ(AddrStrToAddr(c.text, &sa, c.defaultPort), 0) << c.text;
        EXPECT_EQ(sa.sa.sa_family, AF_INET6) << c.text;
        EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&sa.in6.sin6_addr)) << c.text;
        EXPECT_EQ(SioAddrPort(&sa), c.port) << c.text;
    }
    SioAddr sa;
    EXPECT_EQ(AddrStrToAddr("[::1]", &sa, 0), kSioErrAddrString);
    EXPECT_EQ(AddrStrToAddr("::1", &sa, 0), kSioErrAddrString);
}

TEST(AddrToAddrStr, IPv6IsBracketedOnlyWhereAPortFollows)
{
    SioAddr sa;
    ASSERT_EQ(SioAddrFromText("2001:db8::7", &sa), 0);
    SioAddrSetPort(&sa, 40001);
    char dst[64];
    EXPECT_STREQ(AddrToAddrStr(dst, sizeof(dst), &sa, 0, nullptr), "[2001:db8::7]:40001");
    EXPECT_STREQ(AddrToAddrStr(dst, sizeof(dst), &sa, 0, "%h"), "2001:db8::7");
    SioAddr v4 = Loopback(21), other;
    ASSERT_EQ(SioAddrFromText("::ffff:127.0.0.1", &other), 0);
    EXPECT_FALSE(SioAddrSameHost(&v4, &other));     // a mapped address is not the IPv4 host
}

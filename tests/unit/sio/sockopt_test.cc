// Socket options, elapsed time and the version text.
#include "sio_test_util.h"

#include <netinet/ip.h>
#include <netinet/tcp.h>

namespace {

TEST(SocketOptions, BufferSizesRoundTrip)
{
    Fd s(TcpSocket());
    EXPECT_EQ(SetSocketBufSize(s, 65536, 32768), 0);
    size_t r = 0;
    size_t w = 0;
    EXPECT_EQ(GetSocketBufSize(s, &r, &w), 0);
    EXPECT_GE(r, 65536u);  // the kernel keeps room for its own bookkeeping too
    EXPECT_GE(w, 32768u);
    EXPECT_EQ(GetSocketBufSize(s, nullptr, &w), 0);

    EXPECT_EQ(SetSockBufSize(s, 0, 0), -1);
    EXPECT_EQ(SetSockBufSize(s, 0, 16384), 0);
    size_t r2 = 0;
    EXPECT_EQ(GetSockBufSize(s, &r2, &w), 0);
    EXPECT_EQ(r2, r);  // a size of 0 left the receive buffer alone

    EXPECT_EQ(GetSocketBufSize(-1, &r, &w), -1);
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(w, 0u);
}

TEST(SocketOptions, FlagsRoundTrip)
{
    Fd s(TcpSocket());
    EXPECT_EQ(SetSocketNagleAlgorithm(s, 1), 0);
    EXPECT_EQ(GetSocketNagleAlgorithm(s), 1);
    EXPECT_EQ(SetSocketNagleAlgorithm(s, 0), 0);
    EXPECT_EQ(GetSocketNagleAlgorithm(s), 0);
    EXPECT_EQ(GetSocketNagleAlgorithm(-1), -1);

    EXPECT_EQ(SetSocketLinger(s, 1, 7), 0);
    int secs = 0;
    EXPECT_EQ(GetSocketLinger(s, &secs), 1);
    EXPECT_EQ(secs, 7);
    EXPECT_EQ(SetSocketLinger(s, 0, 0), 0);
    EXPECT_EQ(GetSocketLinger(s, nullptr), 0);

    EXPECT_EQ(SetSocketKeepAlive(s, 1), 0);
    int on = 0;
    socklen_t len = sizeof(on);
    getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
    EXPECT_EQ(on, 1);

    EXPECT_EQ(SetTypeOfService(s, IPTOS_THROUGHPUT), 0);
    int tos = 0;
    len = sizeof(tos);
    getsockopt(s, IPPROTO_IP, IP_TOS, &tos, &len);
    EXPECT_EQ(tos, IPTOS_THROUGHPUT);

    EXPECT_EQ(GetSockErr(s), 0);
    EXPECT_EQ(GetSockErr(-1), -99);
    EXPECT_EQ(SetSockErr(-1, 0), -1);

    EXPECT_EQ(fcntl(s, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(SetCloExec(s), 0);
    EXPECT_NE(fcntl(s, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(SetCloExec(-1), -1);
}

TEST(Duration, CountsFromTheStart)
{
    struct timeval start {};
    gettimeofday(&start, nullptr);
    start.tv_sec -= 2;
    start.tv_usec = 0;
    const double d = Duration(&start);
    EXPECT_GE(d, 2.0);
    EXPECT_LT(d, 60.0);
}

TEST(SIOGetVersion, CopiesTheVersionBounded)
{
    char v[16];
    EXPECT_STREQ(SIOGetVersion(v, sizeof(v)), "5.6.2");
    char small[4];
    EXPECT_STREQ(SIOGetVersion(small, sizeof(small)), "5.6");
    EXPECT_EQ(SIOGetVersion(small, 1), nullptr);
}

}  // namespace

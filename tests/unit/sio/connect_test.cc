// Accepting, connecting, binding and closing.
#include "sio_test_util.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>

namespace {

class Connection : public SioModeTest {};
INSTANTIATE_TEST_SUITE_P(Sio, Connection, ::testing::Bool(), SioModeName);

TEST_P(Connection, ConnectAndAcceptOnLoopback)
{
    Listener l;
    for (int tlen : {-1, 0, 5}) {
        Fd c(TcpSocket());
        ASSERT_EQ(SConnect(c, &l.addr, 5), 0);
        SioAddr peer {};
        Fd a(SAcceptA(l.fd, &peer, tlen));
        ASSERT_GE(a.get(), 0) << tlen;
        EXPECT_EQ(peer.in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(SWrite(c, "hi", 2, 5), 2);
        char buf[2];
        EXPECT_EQ(SRead(a, buf, 2, 5, kSioWholeSize), 2);
    }
    for (int tlen : {0, 5}) {
        Fd c(TcpSocket());
        ASSERT_EQ(SConnect(c, &l.addr, 0), 0);
        SioAddr peer {};
        Fd a(SAcceptS(l.fd, &peer, tlen));
        ASSERT_GE(a.get(), 0) << tlen;
        EXPECT_EQ(peer.in.sin_family, AF_INET);
        EXPECT_EQ(peer.in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    }
}

TEST_P(Connection, ARefusedConnectKeepsItsErrno)
{
    unsigned short port;
    {
        Listener l;  // a port that was free a moment ago and is closed now
        port = l.port();
    }
    Fd c(TcpSocket());
    const SioAddr sa = Loopback(port);
    errno = 0;
    EXPECT_EQ(SConnect(c, &sa, 5), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(Connection, AlarmAcceptTimesOut)
{
    Listener l;
    errno = 0;
    EXPECT_EQ(SAcceptA(l.fd, nullptr, 1), kSioErrTimeout);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(CurrentHandler(SIGALRM), SIG_DFL);
}

// Alarms fired at random moments, also just as accept takes a connection: the
// call returns either the connection or a time-out that leaves it waiting.
TEST(Connection, AnAlarmAsAcceptTakesAConnectionNeverLosesIt)
{
    Listener l;
    SIOInitSignals();   // kept between the calls: the alarms come at any time
    std::atomic<bool> stop{false};
    const pthread_t caller = pthread_self();
    std::thread alarms([&] {
        for (unsigned i = 0; !stop; i++) {
            pthread_kill(caller, SIGALRM);
            std::this_thread::sleep_for(std::chrono::microseconds(i % 37));
        }
    });
    int lost = 0;
    for (int i = 0; i < 3000 && lost == 0; i++) {
        Fd c(TcpSocket());
        while (connect(c, reinterpret_cast<const struct sockaddr *>(&l.addr), sizeof(l.addr)) < 0 && errno == EINTR) {
        }
        int a = SAcceptA(l.fd, nullptr, 5);
        if (a < 0) {
            SetNonBlocking(l.fd, true);
            while ((a = accept(l.fd, nullptr, nullptr)) < 0 && errno == EINTR) {
            }
            SetNonBlocking(l.fd, false);
            lost += a < 0;
        }
        Fd taken(a);
    }
    stop = true;
    alarms.join();
    SIORestoreSignals();
    EXPECT_EQ(lost, 0);
}

TEST(Connection, SelectAcceptTimesOut)
{
    Listener l;
    SioAddr peer {};
    errno = 0;
    EXPECT_EQ(SAcceptS(l.fd, &peer, 1), kSioErrTimeout);
    EXPECT_EQ(errno, ETIMEDOUT);
}

// A listener whose accept queue is full drops new SYNs, so a connect waits.
TEST(Connection, ConnectTimesOutOnAFullListener)
{
    Listener l(0);
    Fd queued[3] = {Fd(TcpSocket()), Fd(TcpSocket()), Fd(TcpSocket())};
    for (Fd &q : queued) {
        SetNonBlocking(q, true);
        connect(q, reinterpret_cast<const struct sockaddr *>(&l.addr), sizeof(l.addr));
    }
    usleep(100000);
    Fd c(TcpSocket());
    errno = 0;
    EXPECT_EQ(SConnect(c, &l.addr, 1), kSioErrTimeout);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(SBind, BindsTheWildcardAddressAndSetsReuseOnRequest)
{
    Fd s(TcpSocket());
    ASSERT_EQ(SBind(s, 0, 1, 1), 0);
    SioAddr sa {};
    socklen_t len = sizeof(sa);
    ASSERT_EQ(getsockname(s, reinterpret_cast<struct sockaddr *>(&sa), &len), 0);
    EXPECT_EQ(sa.in.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(sa.in.sin_port, 0);
    int on = 0;
    len = sizeof(on);
    getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, &len);
    EXPECT_NE(on, 0);
    EXPECT_EQ(SListen(s, 5), 0);
}

// Two tries: one pause of 3 seconds between them, none after the last.
TEST(SBind, ABusyPortIsTriedAgainAfterAPause)
{
    Fd holder(TcpSocket());
    ASSERT_EQ(SBind(holder, 0, 1, 0), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    SioAddr sa {};
    socklen_t len = sizeof(sa);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<struct sockaddr *>(&sa), &len), 0);

    Fd s(TcpSocket());
    struct timeval start {};
    gettimeofday(&start, nullptr);
    errno = 0;
    EXPECT_EQ(SBind(s, ntohs(sa.in.sin_port), 2, 0), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    const double took = Duration(&start);
    EXPECT_GE(took, 2.9);
    EXPECT_LT(took, 6.0);  // no pause after the last try
}

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) >= 0;
}

TEST_P(Connection, CloseDeliversPendingDataWithALimitAndClosesWithout)
{
    TcpPair p;
    ASSERT_EQ(write(p.client, "bye", 3), 3);
    const int fd = p.client.Release();
    EXPECT_EQ(SClose(fd, 5), 0);
    EXPECT_FALSE(IsOpen(fd));
    char buf[8];
    EXPECT_EQ(SRead(p.server, buf, sizeof(buf), 5, kSioWholeSizeOrEof), 3);

    const int other = p.server.Release();
    EXPECT_EQ(SClose(other, 0), 0);
    EXPECT_FALSE(IsOpen(other));
}

TEST(SClose, BadDescriptorsFail)
{
    errno = 0;
    EXPECT_EQ(SClose(-1, 5), -1);
    EXPECT_EQ(errno, EBADF);
    Fd s(TcpSocket());
    const int fd = s.Release();
    close(fd);
    EXPECT_EQ(SClose(fd, 5), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(SClose(fd, 0), -1);
}

// A socket lingering over data the peer never takes would hold close() for 30 seconds;
// the limit cuts that short, and the socket is closed.
TEST(SClose, TheLimitCutsALongLingerShort)
{
    TcpPair p;
    FillUp(p.client);
    ASSERT_EQ(SetSocketLinger(p.client, 1, 30), 0);
    const int fd = p.client.Release();
    struct timeval start {};
    gettimeofday(&start, nullptr);
    EXPECT_EQ(SClose(fd, 1), 0);
    EXPECT_LT(Duration(&start), 20.0);
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(CurrentHandler(SIGALRM), SIG_DFL);
    EXPECT_EQ(CurrentHandler(SIGPIPE), SIG_DFL);
}

}  // namespace

// Timed transfers: completion rules, end of file, time-outs, broken pipes and signals.
#include "sio_test_util.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/wait.h>

namespace {

class Transfer : public SioModeTest {};
INSTANTIATE_TEST_SUITE_P(Sio, Transfer, ::testing::Bool(), SioModeName);

TEST_P(Transfer, RetryZeroReturnsAPartialReadAtOnce)
{
    SocketPair sp;
    ASSERT_EQ(write(sp.b, "0123456789", 10), 10);
    char buf[100];
    EXPECT_EQ(SRead(sp.a, buf, sizeof(buf), 5, kSioReturnAtOnce), 10);
    EXPECT_EQ(memcmp(buf, "0123456789", 10), 0);
}

TEST_P(Transfer, RetryTwoReturnsWhatCameBeforeEndOfFile)
{
    SocketPair sp;
    ASSERT_EQ(write(sp.b, "0123456789", 10), 10);
    shutdown(sp.b, SHUT_WR);
    char buf[100];
    EXPECT_EQ(SRead(sp.a, buf, sizeof(buf), 5, kSioWholeSizeOrEof), 10);
}

TEST_P(Transfer, EndOfFileAtOnceReturnsZeroWithEveryRule)
{
    for (int retry : {kSioReturnAtOnce, kSioWholeSize, kSioWholeSizeOrEof}) {
        SocketPair sp;
        shutdown(sp.b, SHUT_WR);
        char buf[100];
        EXPECT_EQ(SRead(sp.a, buf, sizeof(buf), 5, retry), 0) << retry;
        EXPECT_EQ(SRecv(sp.a, buf, sizeof(buf), 0, 5, retry), 0) << retry;
        Pipe p;
        p.w.Reset();
        EXPECT_EQ(PRead(p.r, buf, sizeof(buf), retry), 0) << retry;
    }
}

TEST_P(Transfer, HandlersAreTheModesOnesAfterACall)
{
    SocketPair sp;
    ASSERT_EQ(SWrite(sp.b, "abc", 3, 5), 3);
    char buf[3];
    ASSERT_EQ(SRead(sp.a, buf, sizeof(buf), 5, kSioWholeSize), 3);
    SioSigProc expected = GetParam() ? SIOHandler : SIG_DFL;
    EXPECT_EQ(CurrentHandler(SIGALRM), expected);
    EXPECT_EQ(CurrentHandler(SIGPIPE), expected);
    EXPECT_EQ(gSioCanJmp, 0);
}

TEST_P(Transfer, WritingToAClosedPeerReturnsBrokenPipeAndTheProcessGoesOn)
{
    SocketPair sp;
    sp.b.Reset();
    errno = 0;
    EXPECT_EQ(SWrite(sp.a, "hello", 5, 5), kSioErrBrokenPipe);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(SSend(sp.a, "hello", 5, 0, 5), kSioErrBrokenPipe);
    EXPECT_EQ(errno, EPIPE);

    Pipe p;
    p.r.Reset();
    EXPECT_EQ(PWrite(p.w, "hello", 5), kSioErrBrokenPipe);
    EXPECT_EQ(errno, EPIPE);
}

// The peer reads a little and goes away while the writer is blocked on a full socket.
TEST_P(Transfer, WritingToAPeerThatGoesAwayReturnsTheCountWritten)
{
    SocketPair sp;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char buf[1000];
        size_t got = 0;
        while (got < sizeof(buf)) {
            const ssize_t n = read(sp.b, buf, sizeof(buf) - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        _exit(0);
    }
    sp.b.Reset();
    std::vector<char> big(8 << 20, 'x');
    const int n = SWrite(sp.a, big.data(), big.size(), 10);
    waitpid(child, nullptr, 0);
    EXPECT_GE(n, 1000);
    EXPECT_LT(n, static_cast<int>(big.size()));
}

volatile sig_atomic_t gUsr1Count = 0;
void CountUsr1(int)
{
    gUsr1Count = gUsr1Count + 1;
}

// SIGUSR1 without SA_RESTART arrives between the two halves of the data: the interrupted
// read is not reported and the read goes on.
TEST_P(Transfer, AHarmlessSignalDuringABlockingReadNeverSurfacesAsEintr)
{
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = CountUsr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGUSR1, &sa, &old);
    gUsr1Count = 0;

    SocketPair sp;
    const pid_t parent = getpid();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ssize_t ok = write(sp.b, "hello", 5);
        usleep(200000);
        kill(parent, SIGUSR1);
        usleep(200000);
        ok += write(sp.b, "world", 5);
        _exit(ok == 10 ? 0 : 1);
    }
    char buf[10];
    errno = 0;
    const int n = SRead(sp.a, buf, sizeof(buf), 10, kSioWholeSize);
    const int savedErrno = errno;
    int status = -1;
    waitpid(child, &status, 0);
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(n, 10);
    EXPECT_NE(savedErrno, EINTR);
    EXPECT_EQ(memcmp(buf, "helloworld", 10), 0);
    EXPECT_EQ(gUsr1Count, 1);
    EXPECT_EQ(status, 0);
}

TEST(Transfer, RetryOneTimesOutWhenTheRestNeverComes)
{
    SocketPair sp;
    ASSERT_EQ(write(sp.b, "0123456789", 10), 10);
    char buf[100];
    errno = 0;
    EXPECT_EQ(SRead(sp.a, buf, sizeof(buf), 1, kSioWholeSize), kSioErrTimeout);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(CurrentHandler(SIGALRM), SIG_DFL);
}

TEST(Transfer, AWriteToAFullSocketTimesOut)
{
    SIOInitSignals();
    SocketPair sp;
    FillUp(sp.a);
    errno = 0;
    EXPECT_EQ(SWrite(sp.a, "x", 1, 1), kSioErrTimeout);
    EXPECT_EQ(errno, ETIMEDOUT);
    SIORestoreSignals();
}

TEST(Transfer, NoTimeAtAllTimesOutAtOnce)
{
    SocketPair sp;
    ASSERT_EQ(write(sp.b, "0123456789", 10), 10);
    char buf[100];
    EXPECT_EQ(SRead(sp.a, buf, sizeof(buf), 0, kSioReturnAtOnce), kSioErrTimeout);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(Transfer, SendAndRecvPassTheirFlags)
{
    SocketPair sp;
    EXPECT_EQ(SSend(sp.b, "peek", 4, MSG_NOSIGNAL, 5), 4);
    char buf[10];
    EXPECT_EQ(SRecv(sp.a, buf, sizeof(buf), MSG_PEEK, 5, kSioReturnAtOnce), 4);
    EXPECT_EQ(SRecv(sp.a, buf, 4, 0, 5, kSioWholeSize), 4);
    EXPECT_EQ(memcmp(buf, "peek", 4), 0);
}

TEST(Transfer, EmptyWritesReturnZero)
{
    SocketPair sp;
    EXPECT_EQ(SWrite(sp.a, "", 0, 5), 0);
    Pipe p;
    EXPECT_EQ(PWrite(p.w, "", 0), 0);
}

TEST(Transfer, PipeReadsFollowTheirRule)
{
    Pipe p;
    ASSERT_EQ(PWrite(p.w, "0123456789", 10), 10);
    char buf[100];
    EXPECT_EQ(PRead(p.r, buf, 4, 1), 4);
    EXPECT_EQ(PRead(p.r, buf, sizeof(buf), 0), 6);
    ASSERT_EQ(PWrite(p.w, "abc", 3), 3);
    p.w.Reset();
    EXPECT_EQ(PRead(p.r, buf, sizeof(buf), 1), 3);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);
}

}  // namespace

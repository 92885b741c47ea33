// The transfer output buffer: what reaches the data connection for the
// restart offset, in MODE B, under the bandwidth limit, after the client's
// interrupt and after a failed write.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "session/shell.h"
#include "process/startup.h"
#include "transfer/xbuf.h"

namespace {

std::vector<long long> gSleeps;
void RecordSleep(long long usec)
{
    gSleeps.push_back(usec);
}

// The data connection is a temporary file, read back whole.
class XBufTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/xbuf_test.XXXXXX";
        gData = mkstemp(name);
        ASSERT_GE(gData, 0);
        unlink(name);
        gMode = 'S';
        gRestartPt = 0;
        gRetrBandwidthLimit = 0;
        gXferTimeout = 5;
        gSleeps.clear();
        gXBufSleep = RecordSleep;
        ResetXBuf();
    }
    void TearDown() override
    {
        if (gData >= 0)
            close(gData);
        gData = -1;
        gMode = 'S';
        gRestartPt = 0;
        gRetrBandwidthLimit = 0;
    }
    std::string Written()
    {
        std::string out;
        char buf[65536];
        ssize_t n;
        lseek(gData, 0, SEEK_SET);
        while ((n = read(gData, buf, sizeof(buf))) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    void Put(const std::string &s)
    {
        ASSERT_EQ(XBufWrite(s.data(), s.size()), static_cast<int>(s.size()));
    }
};

TEST_F(XBufTest, HoldsTheBytesUntilTheFlushAndCountsThem)
{
    Put("total 0\r\n");
    Put("a\r\n");
    EXPECT_EQ(Written(), "");
    EXPECT_EQ(XBufFlush(kModeBEndOfFile), 12);
    EXPECT_EQ(Written(), "total 0\r\na\r\n");
    EXPECT_EQ(gXBufTotalHandled, 12);
    EXPECT_EQ(gXBufTotalWrote, 12);
    EXPECT_EQ(XBufFlush(kModeBEndOfFile), 0);   // nothing more is due in stream mode
}

TEST_F(XBufTest, AFullBufferIsWrittenBeforeMoreIsTaken)
{
    std::string big(kXBufSize, 'x');
    Put(big);
    EXPECT_EQ(Written(), "");
    Put("yz");
    EXPECT_EQ(Written().size(), static_cast<size_t>(kXBufSize));
    XBufFlush(kModeBEndOfFile);
    EXPECT_EQ(Written(), big + "yz");
}

TEST_F(XBufTest, TakesAtMostOneBufferPerCall)
{
    std::string huge(kXBufSize + 10, 'h');
    EXPECT_EQ(XBufWrite(huge.data(), huge.size()), kXBufSize);
}

TEST_F(XBufTest, SkipsTheBytesBeforeTheRestartOffset)
{
    gRestartPt = 10;
    Put("0123");
    Put("4567");
    Put("89abcdef");
    XBufFlush(kModeBEndOfFile);
    EXPECT_EQ(Written(), "abcdef");
    EXPECT_EQ(gXBufTotalHandled, 16);
}

TEST_F(XBufTest, ARestartOffsetBeyondTheEndSendsNothing)
{
    gRestartPt = 100;
    Put("short listing\r\n");
    XBufFlush(kModeBEndOfFile);
    EXPECT_EQ(Written(), "");
}

TEST_F(XBufTest, ModeBFramesEachBlockWithItsDescriptorAndLength)
{
    gMode = 'B';
    Put("hello");
    XBufFlush(kModeBEndOfFile);
    EXPECT_EQ(Written(), std::string("\x40\x00\x05hello", 8));
    EXPECT_EQ(XBufFlush(kModeBEndOfFile), 0);   // the end was already marked
    EXPECT_EQ(Written().size(), 8u);
}

TEST_F(XBufTest, ModeBWritesAFullBlockWithDescriptorZeroAndEndsWithSixtyFour)
{
    gMode = 'B';
    std::string big(kXBufSize, 'b');
    Put(big);
    Put("!");
    XBufFlush(kModeBEndOfFile);
    const std::string out = Written();
    ASSERT_EQ(out.size(), 3u + kXBufSize + 3u + 1u);
    EXPECT_EQ(out.substr(0, 3), std::string("\x00\xFF\xFF", 3));
    EXPECT_EQ(out.substr(3 + kXBufSize), std::string("\x40\x00\x01!", 4));
    EXPECT_EQ(gXBufTotalWrote, static_cast<int64_t>(out.size()));

}

TEST_F(XBufTest, ModeBEndsAnEmptyTransferWithAnEmptyEndBlock)
{
    gMode = 'B';
    EXPECT_EQ(XBufFlush(kModeBEndOfFile), 3);
    EXPECT_EQ(Written(), std::string("\x40\x00\x00", 3));
}

TEST_F(XBufTest, TheBandwidthLimitWaitsUntilTheWrittenBytesAreDue)
{
    gRetrBandwidthLimit = 1;                    // 1 KiB per second
    std::string block(2048, 'k');
    Put(block);
    XBufFlush(0);
    EXPECT_TRUE(gSleeps.empty());               // nothing was due before the first write
    Put("more");
    XBufFlush(kModeBEndOfFile);
    ASSERT_EQ(gSleeps.size(), 1u);
    EXPECT_GT(gSleeps[0], 1500000);             // 2048 bytes at 1 KiB/s: two seconds after the start
    EXPECT_LE(gSleeps[0], 2000000);
}

TEST_F(XBufTest, AFailedWriteStopsTheTransferAndIsReported)
{
    close(gData);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    gData = sv[1];
    close(sv[0]);                               // the client went away
    Put("lost\r\n");
    EXPECT_LT(XBufFlush(kModeBEndOfFile), 0);
    EXPECT_LT(XBufFailed(), 0);
    EXPECT_LT(XBufWrite("x", 1), 0) << "a buffer that needs no flush still refuses after a failure";
}

// The client's interrupt arrives while a write is blocked: the write is cut,
// nothing more is written and the socket library's alarm is off again.
TEST_F(XBufTest, TheClientsInterruptCutsABlockedWrite)
{
    close(gData);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    char junk[4096] = {};
    while (write(p[1], junk, sizeof(junk)) > 0) {
    }
    fcntl(p[1], F_SETFL, 0);                    // full and blocking
    gData = p[1];

    struct sigaction sa {}, old {};
    sa.sa_handler = Cancel;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGURG, &sa, &old);
    gXferTimeout = 20;

    std::atomic<bool> done{false};
    const pthread_t self = pthread_self();
    std::thread interrupter([&] {
        while (!done) {
            usleep(50000);
            if (!done)
                pthread_kill(self, SIGURG);
        }
    });
    Put("listing\r\n");
    const int result = XBufFlush(kModeBEndOfFile);
    done = true;
    interrupter.join();
    sigaction(SIGURG, &old, nullptr);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(XBufCanceled(), 1);
    EXPECT_EQ(gCancel, SIGURG);
    EXPECT_EQ(XBufFailed(), 0);
    EXPECT_EQ(alarm(0), 0u);
    EXPECT_EQ(gCancelJmpReady, 0);
    Put("after the interrupt\r\n");             // taken, never written
    EXPECT_EQ(XBufFlush(kModeBEndOfFile), 0);
    close(p[0]);

    ResetXBuf();
    EXPECT_EQ(XBufCanceled(), 0);
    EXPECT_EQ(gCancel, 0);
}

}  // namespace

// The command line of an interrupt: the two ways clients send ABOR, a stray
// urgent byte, and the waits of the command cycle.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "loopback.h"

#include "config/config.h"
#include "sio.h"
#include "transfer/urgent.h"

namespace {

constexpr size_t kLine = 735;

// A connected loopback TCP pair: client_ talks to server_.
class UrgentTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        gTraceLogging = 0;
        ASSERT_EQ(MakeLoopbackPair(&server_, &client_), 0);
        ASSERT_EQ(InitSReadlineInfo(&srl_, server_, nullptr, 1024, 5), 0);
    }
    void TearDown() override
    {
        DisposeSReadlineInfo(&srl_);
        close(client_);
        close(server_);
    }
    // What the command cycle does for one line.
    std::string NextLine(int seconds = 5)
    {
        const int r = WaitForCommandLine(&srl_, seconds, kLine);
        if (r != 0)
            return "<" + std::to_string(r) + ">";
        char line[kLine];
        const int n = SReadline(&srl_, line, sizeof(line));
        return n > 0 ? std::string(line, static_cast<size_t>(n)) : "<" + std::to_string(n) + ">";
    }
    void SendOOB(const std::string &s) { ASSERT_EQ(send(client_, s.data(), s.size(), MSG_OOB), (ssize_t)s.size()); }
    void Send(const std::string &s) { ASSERT_EQ(send(client_, s.data(), s.size(), 0), (ssize_t)s.size()); }

    int client_ = -1, server_ = -1;
    SReadlineInfo srl_ {};
};

}  // namespace

TEST_F(UrgentTest, ALineFeedSentAsUrgentDataStillEndsTheLine)
{
    SendOOB("ABOR\r\n");                        // the urgent byte is the line feed
    EXPECT_EQ(NextLine(), "ABOR\n");
    Send("NOOP\r\n");
    EXPECT_EQ(NextLine(), "NOOP\n");
}

TEST_F(UrgentTest, TheTelnetSynchSendsItsLineInBand)
{
    Send("\xff\xf4\xff");
    SendOOB("\xf2");
    Send("ABOR\r\n");
    EXPECT_EQ(NextLine(), "\xff\xf4\xff" "ABOR\n");
}

TEST_F(UrgentTest, AStrayUrgentByteIsDroppedFromTheCommands)
{
    SendOOB("!");
    Send("SYST\r\n");
    EXPECT_EQ(NextLine(), "SYST\n");
}

TEST_F(UrgentTest, AnUrgentLineFeedArrivingWhileTheCycleWaitsIsAnsweredAtOnce)
{
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        SendOOB("ABOR\r\n");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NextLine(), "ABOR\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    late.join();
}

TEST_F(UrgentTest, TheInterruptedTransferDrainsTheUrgentByteAndCompletesTheLine)
{
    SendOOB("ABOR\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ReceiveUrgentData(&srl_), 1);
    EXPECT_TRUE(SReadlineReady(&srl_, kLine));
    EXPECT_EQ(NextLine(), "ABOR\n");
}

TEST_F(UrgentTest, APartialLineWaitsForItsEnd)
{
    Send("NO");
    EXPECT_EQ(NextLine(1), "<" + std::to_string(kSioErrTimeout) + ">");
    Send("OP\r\n");
    EXPECT_EQ(NextLine(), "NOOP\n");
}

TEST_F(UrgentTest, TheEndOfInputReachesTheLineReader)
{
    Send("QUIT");
    shutdown(client_, SHUT_WR);
    EXPECT_EQ(NextLine(), "QUIT");
    EXPECT_EQ(NextLine(), "<0>");
}

TEST_F(UrgentTest, AnOverlongLineIsHandedOverInPieces)
{
    Send(std::string(800, 'x'));
    const std::string piece = NextLine();
    EXPECT_EQ(piece.size(), kLine - 1);
}

TEST(SReadlineReadiness, StrayBytesEndALineAtAPause)
{
    char buf[16] = "AB\r\rC";
    SReadlineInfo srl {};
    srl.buf = buf;
    srl.bufSize = srl.bufSizeMax = sizeof(buf);
    srl.bufPtr = buf;
    srl.bufLim = buf + 5;
    EXPECT_TRUE(SReadlineReady(&srl, kLine));
    srl.bufLim = buf + 3;                       // "AB\r": the carriage return may still get its line feed
    EXPECT_FALSE(SReadlineReady(&srl, kLine));
}

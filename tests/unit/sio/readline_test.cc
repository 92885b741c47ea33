// The line reader.
#include "sio_test_util.h"

#include <cstring>
#include <string>

namespace {

// A line reader on one end of a socket pair whose other end sends the given text and,
// when asked, the end of input.
struct Reader {
    SocketPair sp;
    SReadlineInfo srl {};
    char line[64] {};

    explicit Reader(const std::string &input, bool eof = true, char *buf = nullptr, size_t bsize = 1024)
    {
        EXPECT_EQ(InitSReadlineInfo(&srl, sp.a, buf, bsize, 5), 0);
        Send(input);
        if (eof)
            shutdown(sp.b, SHUT_WR);
    }
    ~Reader() { DisposeSReadlineInfo(&srl); }
    void Send(const std::string &s) { EXPECT_EQ(write(sp.b, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    int Next(size_t size = sizeof(line)) { return SReadline(&srl, line, size); }
};

TEST(SReadline, CrLfLinesComeBackWithTheLineFeedOnly)
{
    Reader r("abcdef\r\nghijkl\r\n");
    EXPECT_EQ(r.Next(), 7);
    EXPECT_STREQ(r.line, "abcdef\n");
    EXPECT_EQ(r.Next(), 7);
    EXPECT_STREQ(r.line, "ghijkl\n");
    EXPECT_EQ(r.Next(), 0);
    EXPECT_STREQ(r.line, "");
}

TEST(SReadline, AnUnfinishedLineAtEndOfInputComesBackThenZero)
{
    Reader r("ab\r");
    EXPECT_EQ(r.Next(), 2);
    EXPECT_STREQ(r.line, "ab");
    EXPECT_EQ(r.Next(), 0);
}

TEST(SReadline, NulBytesAndLoneCarriageReturnsAreDropped)
{
    Reader r(std::string("a\0b\r\n", 5) + "c\rd\n");
    EXPECT_EQ(r.Next(), 3);
    EXPECT_STREQ(r.line, "ab\n");
    EXPECT_EQ(r.Next(), 3);
    EXPECT_STREQ(r.line, "cd\n");
}

// Two stray bytes and a pause in the input end the line, so a client that ends its lines
// with NULs or bare carriage returns is still served.
TEST(SReadline, TwoStrayBytesAndAPauseEndTheLine)
{
    Reader r(std::string("ab\0\0", 4), false);
    EXPECT_EQ(r.Next(), 3);
    EXPECT_STREQ(r.line, "ab\n");
    Reader cr("ab\rc\rd", false);
    EXPECT_EQ(cr.Next(), 5);
    EXPECT_STREQ(cr.line, "abcd\n");
}

TEST(SReadline, AnOverlongLineIsSplitAtTheBufferSize)
{
    Reader r("abcdefgh\n");
    EXPECT_EQ(r.Next(6), 5);
    EXPECT_STREQ(r.line, "abcde");
    EXPECT_EQ(r.Next(6), 4);
    EXPECT_STREQ(r.line, "fgh\n");
}

TEST(SReadline, ATinyLineBufferGetsAnEmptyString)
{
    Reader r("abc\n");
    strcpy(r.line, "xyz");
    EXPECT_EQ(r.Next(1), 0);
    EXPECT_STREQ(r.line, "");
    EXPECT_EQ(r.Next(), 4);  // nothing was consumed
}

TEST(SReadline, LinesSpanRefillsOfASmallCallerBuffer)
{
    char buf[3];
    Reader r("abcdefg\r\nxy\n", true, buf, sizeof(buf));
    EXPECT_EQ(r.srl.malloc, 0);
    EXPECT_EQ(r.Next(), 8);
    EXPECT_STREQ(r.line, "abcdefg\n");
    EXPECT_EQ(r.Next(), 3);
    EXPECT_STREQ(r.line, "xy\n");
    EXPECT_EQ(r.Next(), 0);
}

TEST(SReadline, FlushDropsWhatIsBuffered)
{
    Reader r("one\ntwo\n", false);
    EXPECT_EQ(r.Next(), 4);
    FlushSReadlineInfo(&r.srl);
    EXPECT_EQ(r.srl.bufPtr, r.srl.bufLim);
    r.Send("three\n");
    EXPECT_EQ(r.Next(), 6);
    EXPECT_STREQ(r.line, "three\n");
}

TEST(SReadline, ATimeOutIsReported)
{
    SocketPair sp;
    SReadlineInfo srl {};
    ASSERT_EQ(InitSReadlineInfo(&srl, sp.a, nullptr, 0, 0), 0);
    char line[16];
    EXPECT_EQ(SReadline(&srl, line, sizeof(line)), kSioErrTimeout);
    DisposeSReadlineInfo(&srl);
}

TEST(SReadlineInfo, ACallersBufferMustHoldAByte)
{
    SReadlineInfo srl {};
    char buf[1];
    EXPECT_EQ(InitSReadlineInfo(&srl, 7, buf, 0, 30), -1);
}

TEST(SReadlineInfo, TheLibraryBufferIsAtLeast512BytesAndDisposeClearsTheRecord)
{
    SReadlineInfo srl {};
    ASSERT_EQ(InitSReadlineInfo(&srl, 7, nullptr, 100, 30), 0);
    EXPECT_EQ(srl.malloc, 1);
    EXPECT_EQ(srl.bufSizeMax, 512u);
    EXPECT_EQ(srl.bufSize, 512u);
    EXPECT_EQ(srl.bufPtr, srl.buf + 512);
    EXPECT_EQ(srl.bufLim, srl.bufPtr);
    EXPECT_EQ(srl.fd, 7);
    EXPECT_EQ(srl.timeoutLen, 30);
    DisposeSReadlineInfo(&srl);
    EXPECT_EQ(srl.buf, nullptr);
    EXPECT_EQ(srl.bufSize, 0u);
    EXPECT_EQ(srl.fd, 0);
}

}  // namespace

// Datagrams with a descriptor between the processes of a session, read in two parts.
#include "sio_test_util.h"

#include <cerrno>
#include <cstring>

namespace {

// The pool child reads a front's login word in two parts, the TLS state
// apart: the front (a remote client's process) decides how much comes, and
// what it leaves out must leave the second part as it was.
TEST(RecvDatagramWithFdSplit, AShortRecordLeavesTheRestAsItWas)
{
    SocketPair p(SOCK_SEQPACKET);
    char sent[12];
    memset(sent, 'r', sizeof(sent));
    ASSERT_EQ(send(p.b, sent, 6, 0), 6);
    char head[8], rest[8];
    memset(head, 0, sizeof(head));
    memset(rest, 'x', sizeof(rest));
    int fd = -2;
    EXPECT_EQ(RecvDatagramWithFdSplit(p.a, head, sizeof(head), rest, sizeof(rest), &fd), 6);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(memcmp(head, "rrrrrr", 6), 0);
    EXPECT_EQ(memcmp(rest, "xxxxxxxx", 8), 0);

    ASSERT_EQ(send(p.b, sent, sizeof(sent), 0), static_cast<ssize_t>(sizeof(sent)));
    EXPECT_EQ(RecvDatagramWithFdSplit(p.a, head, sizeof(head), rest, sizeof(rest), &fd), 12);
    EXPECT_EQ(memcmp(rest, "rrrrxxxx", 8), 0);
}

// A record longer than both parts is refused whole, and the descriptor
// the front sent with it is not kept.
TEST(RecvDatagramWithFdSplit, ALongerRecordIsRefusedAndItsDescriptorClosed)
{
    SocketPair p(SOCK_SEQPACKET);
    Pipe pipe;
    char sent[20] = {};
    ASSERT_EQ(SendWithFd(p.b, sent, sizeof(sent), pipe.w), static_cast<int>(sizeof(sent)));
    pipe.w.Reset();
    char head[8], rest[8];
    int fd = -2;
    errno = 0;
    EXPECT_EQ(RecvDatagramWithFdSplit(p.a, head, sizeof(head), rest, sizeof(rest), &fd), kSioErrSystem);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(fd, -1);
    char c;
    EXPECT_EQ(read(pipe.r, &c, 1), 0);     // no write end is left open
}

}  // namespace

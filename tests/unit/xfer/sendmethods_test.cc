// The sending methods and the receivers against a real loopback data
// connection: the bytes that arrive, the restart offset, the notes, the
// client that goes away, and the replies of the failures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "loopback.h"

#include "Strn.h"
#include "config/config.h"
#include "transfer/sendmethods.h"
#include "session/shell.h"
#include "transfer/stor.h"
#include "transfer/xbuf.h"
#include "transfer/xferlog.h"

namespace {

std::string ReadAll(int fd)
{
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// gData is our end of a loopback TCP connection, client_ the other; gCtrl a
// socket pair whose other end collects the replies.
class MethodsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(OpenXferTestEnv(&client_, &replies_, &dir_, "xfer_methods"), 0);
        gRestartPt = 0;
        gMode = 'S';
        gRetrBandwidthLimit = gStorBandwidthLimit = 0;
        gXferTimeout = 10;
        gAsciiMode = 3;
        gCancel = 0;
        ResetXferState(0);
    }
    void TearDown() override
    {
        CloseXferTestEnv(client_, replies_, dir_);
    }
    int File(const std::string &content)
    {
        const std::string p = dir_ + "/f";
        const int fd = open(p.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        lseek(fd, 0, SEEK_SET);
        return fd;
    }
    std::string FileContent()
    {
        const int fd = open((dir_ + "/f").c_str(), O_RDONLY);
        std::string s = ReadAll(fd);
        close(fd);
        return s;
    }
    // Runs send while the client reads everything; returns what it got.
    template <typename F>
    std::string Download(F send)
    {
        std::string got;
        std::thread reader([&] { got = ReadAll(client_); });
        result_ = send();
        close(gData);
        gData = -1;
        reader.join();
        return got;
    }
    // The client sends data and closes; recv receives it.
    template <typename F>
    void Upload(const std::string &data, F recv)
    {
        std::thread writer([&] {
            send(client_, data.data(), data.size(), MSG_NOSIGNAL);
            shutdown(client_, SHUT_WR);
        });
        result_ = recv();
        writer.join();
    }
    std::string Replies()
    {
        char buf[4096];
        const ssize_t n = recv(replies_, buf, sizeof(buf), MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    int client_ = -1, replies_ = -1, result_ = 0;
    std::string dir_;
};

}  // namespace

TEST_F(MethodsTest, ThePlainLoopSendsTheFileFromTheRestartOffset)
{
    const std::string content = Pattern(200000);
    const int fd = File(content);
    gRestartPt = 1000;
    EXPECT_EQ(Download([&] { return RegRetrieve(fd); }), content.substr(1000));
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(gBytesRetr, 199000);
    EXPECT_EQ(gRestartedAt, 1000);
    EXPECT_EQ(gRestartPt, 0);
    EXPECT_TRUE(gXNoteBits & kXNoteRestarted);
    close(fd);
}

TEST_F(MethodsTest, SendfileSendsTheWholeFileAndNotesIt)
{
    const std::string content = Pattern(3 * 1024 * 1024 + 17);
    const int fd = File(content);
    EXPECT_EQ(Download([&] { return SendfileRetrieve(fd, static_cast<int64_t>(content.size())); }), content);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(gBytesRetr, static_cast<int64_t>(content.size()));
    EXPECT_TRUE(gXNoteBits & kXNoteSendfile);
    close(fd);
}

TEST_F(MethodsTest, SendfileRefusesARestartPointBeyondTheEnd)
{
    const std::string content = Pattern(600);
    const int fd = File(content);
    gRestartPt = 601;
    EXPECT_EQ(Download([&] { return SendfileRetrieve(fd, 600); }), "");
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(Replies(), "450 Restart point (601) is greater than the file size (600).\r\n");
    close(fd);
}

TEST_F(MethodsTest, TheMapSendsFromTheRestartOffsetAndRefusesOneBeyondTheEnd)
{
    const std::string content = Pattern(70000);
    const int fd = File(content);
    gRestartPt = 69999;
    EXPECT_EQ(Download([&] { return MmapRetrieve(fd, 70000); }), content.substr(69999));
    EXPECT_TRUE(gXNoteBits & kXNoteMmap);
    EXPECT_TRUE(gXNoteBits & kXNoteRestarted);
    close(fd);
}

TEST_F(MethodsTest, TheMapRefusesARestartPointBeyondTheEnd)
{
    const int fd = File(Pattern(70000));
    gRestartPt = 70001;
    EXPECT_EQ(Download([&] { return MmapRetrieve(fd, 70000); }), "");
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(Replies(), "450 Bad restart point.\r\n");
    close(fd);
}

TEST_F(MethodsTest, TypeASendsCrLfLineEndsAndCountsRestartInConvertedBytes)
{
    const int fd = File("one\ntwo\rthree\r\n");
    gRestartPt = 5;                             // "one\r\n" is 5 converted bytes
    EXPECT_EQ(Download([&] {
                  ResetXBuf();
                  return RegAsciiRetrieve3(fd);
              }),
              "two\r\nthree\r\n");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(gRestartedAt, 5);
    close(fd);
}

TEST_F(MethodsTest, TypeAModesOneAndTwoReadInSmallBlocks)
{
    const std::string text = std::string(300, 'a') + "\r" + std::string(211, 'b') + "\n";
    for (int mode : {1, 2}) {
        gAsciiMode = mode;
        const int fd = File(text);
        const std::string got = Download([&] {
            ResetXBuf();
            return RegAsciiRetrieve1_2(fd);
        });
        const std::string cr = mode == 1 ? "\r" : "\r\n";
        EXPECT_EQ(got, std::string(300, 'a') + cr + std::string(211, 'b') + "\r\n") << "mode " << mode;
        close(fd);
        // A fresh connection for the next mode.
        TearDown();
        SetUp();
    }
}

TEST_F(MethodsTest, AClientThatDropsTheConnectionCancelsWithBrokenPipe)
{
    const std::string content = Pattern(8 * 1024 * 1024);
    const int fd = File(content);
    char some[1000];
    std::thread dropper([&] {
        ASSERT_GT(read(client_, some, sizeof(some)), 0);
        close(client_);                         // unread data: the server sees a reset
        client_ = -1;
    });
    result_ = RegRetrieve(fd);
    dropper.join();
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(gCancel, SIGPIPE);
    EXPECT_EQ(Replies(), "") << "the outcome is answered by the caller";
    close(fd);
}

TEST_F(MethodsTest, RegStoreWritesTheReceivedBytesFromTheRestartOffset)
{
    const int fd = File("0123456789");
    gRestartPt = 4;
    const std::string data = "#!/bin/sh\necho hi\n";
    Upload(data, [&] { return RegStore(fd); });
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(FileContent(), "0123" + data);
    EXPECT_EQ(gBytesStor, static_cast<int64_t>(data.size()));
    EXPECT_EQ(gStoringExecutable, 1);
    EXPECT_TRUE(gXNoteBits & kXNoteRestarted);
    close(fd);
}

TEST_F(MethodsTest, TypeAUploadsGetLocalLineEnds)
{
    const int fd = File("");
    const std::string data = std::string(5000, 'x') + "\r\n" + "y\r" + std::string(4093, 'z') + "\r";
    Upload(data, [&] { return RegAsciiStore3(fd); });
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(FileContent(), std::string(5000, 'x') + "\ny\n" + std::string(4093, 'z') + "\n");
    close(fd);
}

TEST_F(MethodsTest, TypeAUploadsCannotRestart)
{
    const int fd = File("");
    gRestartPt = 10;
    result_ = RegAsciiStore1_2(fd);
    EXPECT_EQ(result_, -1);
    EXPECT_EQ(Replies(), "550 RESTart point not implemented for TYPE A.\r\n");
    close(fd);
}

TEST_F(MethodsTest, AStalledClientUnderASendTimeLimitIsATimeOut)
{
    // What the plain loop meets after sendfile gave up on a socket that
    // already had a send time limit: writes that end with EAGAIN.
    const int fd = File(Pattern(8 * 1024 * 1024));
    const int small = 4096;
    setsockopt(gData, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    struct timeval tv {};
    tv.tv_sec = 1;
    setsockopt(gData, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    result_ = RegRetrieve(fd);                  // the client reads nothing
    EXPECT_EQ(result_, -2);
    EXPECT_EQ(gCancel, SIGALRM);
    EXPECT_EQ(Replies(), "") << "the time-out is answered by the caller";
    close(fd);
}

TEST_F(MethodsTest, SendfileLeavesNoSendTimeLimitBehind)
{
    const std::string content = Pattern(100000);
    const int fd = File(content);
    EXPECT_EQ(Download([&] {
                  const int rc = SendfileRetrieve(fd, static_cast<int64_t>(content.size()));
                  struct timeval tv {};
                  socklen_t len = sizeof(tv);
                  getsockopt(gData, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
                  EXPECT_EQ(tv.tv_sec, 0);
                  EXPECT_EQ(tv.tv_usec, 0);
                  return rc;
              }),
              content);
    EXPECT_EQ(result_, 0);
    close(fd);
}

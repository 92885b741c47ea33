// The pool child's answers on the privileged channel, as code running in a
// logged-in anonymous session would ask them: only its own new objects
// inside the anonymous root go to their configured owner, only those get
// their times set, the data port comes as a socket of the pool child's
// own, and an event frame in the session's own name reaches the queue
// whole.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Strn.h"
#include "base/privchan.h"
#include "events/eventframe.h"
#include "events/events.h"
#include "paths/paths.h"
#include "sio.h"
#include "session/privsep.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

constexpr uid_t kSessionUid = 65534;

// The answer to a request that brings no descriptor back.
PrivAnswer AnswerOf(const PrivRequest &req, int fd)
{
    int given = -1;
    const PrivAnswer a = AnswerPrivRequest(req, fd, &given);
    EXPECT_EQ(given, -1);
    if (given >= 0)
        close(given);
    return a;
}
constexpr uid_t kIncomingOwner = 4321;

class PrivRequests : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(geteuid(), 0u) << "needs root";
        ASSERT_NE(mkdtemp(top_), nullptr);
        root_ = std::string(top_) + "/ftp";
        incoming_ = root_ + "/incoming";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(incoming_.c_str(), 0777), 0);
        ASSERT_EQ(chown(incoming_.c_str(), kIncomingOwner, kIncomingOwner), 0);
        gIsAnon = 1;
        gSessionUid = kSessionUid;
        Strncpy(gFTPHome, root_.c_str());
        PrepareRequestAnswers();
    }
    void TearDown() override
    {
        EndRequestAnswers();
        gIsAnon = 0;
        gFTPHome[0] = '\0';
        gSessionUid = static_cast<uid_t>(-1);
        const std::string cmd = std::string("rm -rf ") + top_;
        (void) !system(cmd.c_str());
    }

    // A file made by the session's account, mode given.
    int SessionFile(const std::string &path, mode_t mode = 0644)
    {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(fchown(fd, kSessionUid, kSessionUid), 0);
        EXPECT_EQ(fchmod(fd, mode), 0);
        return fd;
    }

    // The request of a session that names the object by its real path.
    static PrivAnswer Ask(PrivOp op, int fd, int64_t uid = -1, int64_t gid = -1, const std::string &path = "")
    {
        PrivRequest req {};
        req.op = op;
        req.uid = uid;
        req.gid = gid;
        memcpy(req.data, path.c_str(), path.size() + 1);
        req.length = path.empty() ? 0 : static_cast<int32_t>(path.size() + 1);
        return AnswerOf(req, fd);
    }

    static uid_t OwnerOf(int fd)
    {
        struct stat st {};
        fstat(fd, &st);
        return st.st_uid;
    }

    char top_[40] = "/tmp/privsep-test-XXXXXX";
    std::string root_, incoming_;
};

TEST_F(PrivRequests, AnUploadGoesToTheOwnerOfItsDirectoryAndLosesItsSetIdBits)
{
    const int fd = SessionFile(incoming_ + "/up", 06755);
    const PrivAnswer a = Ask(kPrivChown, fd, kIncomingOwner, kIncomingOwner, incoming_ + "/up");
    EXPECT_EQ(a.rc, 0) << strerror(a.err);
    struct stat st {};
    fstat(fd, &st);
    EXPECT_EQ(st.st_uid, kIncomingOwner);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    close(fd);
}

TEST_F(PrivRequests, ASessionCannotGiveAnythingToRootOrTakeWhatIsNotItsOwn)
{
    // Code running in the session asks for root as the new owner, for a file
    // outside the anonymous root, and for a file it does not own.
    const int mine = SessionFile(incoming_ + "/mine");
    EXPECT_EQ(Ask(kPrivChown, mine, 0, 0, incoming_ + "/mine").err, EPERM);
    EXPECT_EQ(OwnerOf(mine), kSessionUid);

    const int outside = SessionFile(std::string(top_) + "/outside");
    EXPECT_EQ(Ask(kPrivChown, outside, kIncomingOwner, kIncomingOwner, std::string(top_) + "/outside").err, EPERM);
    // Named by a path inside that is not where it is.
    EXPECT_EQ(Ask(kPrivChown, outside, kIncomingOwner, kIncomingOwner, incoming_ + "/mine").err, EPERM);
    EXPECT_EQ(OwnerOf(outside), kSessionUid);

    const int foreign = open((incoming_ + "/foreign").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(fchown(foreign, 1000, 1000), 0);
    EXPECT_EQ(Ask(kPrivChown, foreign, kIncomingOwner, kIncomingOwner, incoming_ + "/foreign").err, EPERM);
    EXPECT_EQ(OwnerOf(foreign), 1000u);

    // A file with a second name, which may lie anywhere (here outside).
    const int linked = SessionFile(incoming_ + "/linked");
    ASSERT_EQ(link((incoming_ + "/linked").c_str(), (std::string(top_) + "/linked").c_str()), 0);
    EXPECT_EQ(Ask(kPrivChown, linked, kIncomingOwner, kIncomingOwner, incoming_ + "/linked").err, EPERM);
    EXPECT_EQ(OwnerOf(linked), kSessionUid);
    close(linked);

    // Not an anonymous session: nothing is given away at all.
    gIsAnon = 0;
    EXPECT_EQ(Ask(kPrivChown, mine, kIncomingOwner, kIncomingOwner, incoming_ + "/mine").err, EPERM);
    for (int fd : {mine, outside, foreign})
        close(fd);
}

TEST_F(PrivRequests, OnlyAFileGivenAwayInThisSessionGetsItsTimesSet)
{
    const int given = SessionFile(incoming_ + "/given");
    ASSERT_EQ(Ask(kPrivChown, given, kIncomingOwner, kIncomingOwner, incoming_ + "/given").rc, 0);
    const int other = open((incoming_ + "/other").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(fchown(other, kIncomingOwner, kIncomingOwner), 0);

    PrivRequest req {};
    req.op = kPrivSetTimes;
    req.times[0] = req.times[1] = {1000000000, 0};
    EXPECT_EQ(AnswerOf(req, given).rc, 0);
    EXPECT_EQ(AnswerOf(req, other).err, EPERM);
    // The next session of the pool child inherits nothing of this one's.
    PrepareRequestAnswers();
    EXPECT_EQ(AnswerOf(req, given).err, EPERM);
    struct stat st {};
    fstat(given, &st);
    EXPECT_EQ(st.st_mtime, 1000000000);
    fstat(other, &st);
    EXPECT_NE(st.st_mtime, 1000000000);
    close(given);
    close(other);
}

TEST_F(PrivRequests, TheDataPortComesAsASocketOfRootsThatSharesThePortEvenWhenAnotherListens)
{
    // A port the kernel picks stands for the control port minus one.
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<struct sockaddr *>(&addr), &len), 0);
    close(probe);
    gLocalCtrlAddr.in = addr;
    gLocalCtrlAddr.in.sin_port = htons(static_cast<uint16_t>(ntohs(addr.sin_port) + 1));
    PrivRequest req {};
    req.op = kPrivBindDataPort;

    // A socket of the session's own (its user's, sharing nothing) is refused.
    const int own = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int given = -1;
    EXPECT_EQ(AnswerPrivRequest(req, own, &given).err, EINVAL);
    EXPECT_EQ(given, -1);
    close(own);

    const PrivAnswer a = AnswerPrivRequest(req, -1, &given);
    ASSERT_EQ(a.rc, 0) << strerror(a.err);
    ASSERT_GE(given, 0);
    struct sockaddr_in bound {};
    len = sizeof(bound);
    getsockname(given, reinterpret_cast<struct sockaddr *>(&bound), &len);
    EXPECT_EQ(bound.sin_port, addr.sin_port);
    EXPECT_EQ(bound.sin_addr.s_addr, addr.sin_addr.s_addr);
    struct stat st {};
    fstat(given, &st);
    EXPECT_EQ(st.st_uid, 0u);
    // The first listens, as code in a session may make it: the next one
    // is bound all the same.
    ASSERT_EQ(listen(given, 1), 0);
    int next = -1;
    EXPECT_EQ(AnswerPrivRequest(req, -1, &next).rc, 0);
    EXPECT_GE(next, 0);
    close(next);
    close(given);
    gLocalCtrlAddr = {};
}

TEST_F(PrivRequests, AnEventFrameReachesTheQueueWithItsHeaderWrittenFromItsLength)
{
    gEventMessageQueueID = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(gEventMessageQueueID, 0);
    // A record in the name of the session's own user and session.
    Strncpy(gRUserPtr->user, "anonymous");
    Strncpy(gRUserPtr->host, "127.0.0.1");
    Strncpy(gRUserPtr->sessionId, "SID");
    const char body[] = "LOGIN\nanonymous\n\n\n\n127.0.0.1\nSID\nnoCookie\n\n";
    PrivRequest req {};
    req.op = kPrivQueueEvent;
    req.data[0] = 'I';
    memcpy(req.data + 1, "STR\n999\n", kEventFrameHeaderSize);   // a lying header
    memcpy(req.data + 1 + kEventFrameHeaderSize, body, sizeof(body));
    req.length = static_cast<int32_t>(1 + kEventFrameHeaderSize + sizeof(body));
    EXPECT_EQ(AnswerOf(req, -1).rc, 0);
    EventQueueMessage m {};
    const ssize_t n = msgrcv(gEventMessageQueueID, &m, sizeof(m.text), 0, IPC_NOWAIT);
    EXPECT_EQ(n, static_cast<ssize_t>(kEventFrameHeaderSize + sizeof(body)));
    EXPECT_EQ(m.type, 'I');
    char expected[kEventFrameHeaderSize + 1];
    FillEventFrameHeader(expected, sizeof(body) - 1);
    EXPECT_EQ(std::string(m.text, kEventFrameHeaderSize), std::string(expected, kEventFrameHeaderSize));
    EXPECT_STREQ(m.text + kEventFrameHeaderSize, body);

    // Another user's, or under the type of another record: refused.
    req.data[1 + kEventFrameHeaderSize + 6] = 'b';
    EXPECT_EQ(AnswerOf(req, -1).err, EPERM);
    req.data[1 + kEventFrameHeaderSize + 6] = 'a';
    req.data[0] = 'O';
    EXPECT_EQ(AnswerOf(req, -1).err, EPERM);
    req.data[0] = 'I';

    // Longer than a frame, or without a body: refused.
    req.length = static_cast<int32_t>(kPrivDataMax);
    EXPECT_EQ(AnswerOf(req, -1).err, EINVAL);
    req.length = 1;
    EXPECT_EQ(AnswerOf(req, -1).err, EINVAL);
    msgctl(gEventMessageQueueID, IPC_RMID, nullptr);
    gEventMessageQueueID = -1;
    memset(gRUserPtr, 0, sizeof(*gRUserPtr));
}

TEST_F(PrivRequests, AnUnknownRequestIsRefused)
{
    EXPECT_EQ(Ask(static_cast<PrivOp>(99), -1).err, EINVAL);
    EXPECT_EQ(Ask(kPrivSessionDone, -1).err, EINVAL);
}

// The privileged side of the channel for one request: its answer comes
// twice, first under the sequence number before its own (an earlier call's
// answer, left behind by a signal's jump), then under its own, each with
// one end of a local connection whose other end (in kept) stays here.
void AnswerTwice(int channel, int32_t rc, int kept[2])
{
    PrivRequest req {};
    int none = -1;
    (void) RecvDatagramWithFd(channel, &req, sizeof(req), &none);
    for (int i = 0; i < 2; i++) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
            return;
        kept[i] = ends[0];
        PrivAnswer a {};
        a.seq = i == 0 ? req.seq - 1 : req.seq;
        a.rc = rc;
        a.err = rc < 0 ? EACCES : 0;
        (void) SendDatagramWithFd(channel, &a, sizeof(a), ends[1]);
        close(ends[1]);
    }
}

// True when every copy of the other end of kept is closed.
bool PeerClosed(int kept)
{
    char c;
    return recv(kept, &c, 1, MSG_DONTWAIT) == 0;
}

// The session's side: only the answer to its own call, and only a call that
// takes a descriptor and succeeded, leaves it one; every other descriptor
// that comes is closed, so that none piles up in the session.
TEST(PrivChannel, OnlyTheAnswerAskedForLeavesItsDescriptor)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    gPrivChannel = pair[0];
    PrivRequest req {};
    req.op = kPrivBindDataPort;
    int kept[2] = {-1, -1};

    std::thread side(AnswerTwice, pair[1], 0, kept);
    EXPECT_EQ(PrivCall(req, -1), 0);
    side.join();
    EXPECT_TRUE(PeerClosed(kept[0]) && PeerClosed(kept[1]));
    close(kept[0]);
    close(kept[1]);

    side = std::thread(AnswerTwice, pair[1], 0, kept);
    int received = -1;
    EXPECT_EQ(PrivCallForFd(req, &received), 0);
    side.join();
    EXPECT_TRUE(PeerClosed(kept[0]));
    EXPECT_FALSE(PeerClosed(kept[1]));
    close(received);
    EXPECT_TRUE(PeerClosed(kept[1]));
    close(kept[0]);
    close(kept[1]);

    side = std::thread(AnswerTwice, pair[1], -1, kept);
    received = -1;
    EXPECT_EQ(PrivCallForFd(req, &received), -1);
    EXPECT_EQ(errno, EACCES);
    side.join();
    EXPECT_EQ(received, -1);
    EXPECT_TRUE(PeerClosed(kept[0]) && PeerClosed(kept[1]));
    close(kept[0]);
    close(kept[1]);

    gPrivChannel = -1;
    close(pair[0]);
    close(pair[1]);
}

}  // namespace

// Helpers of the sio tests: owned descriptors, connected pairs, loopback listeners and
// the two signal modes.
#pragma once

#include "sio.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    operator int() const { return fd_; }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A connected socket pair (a stream unless told): what is written to one end is read from the other.
struct SocketPair {
    Fd a;
    Fd b;
    explicit SocketPair(int type = SOCK_STREAM)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
        a.Reset(sv[0]);
        b.Reset(sv[1]);
    }
};

struct Pipe {
    Fd r;
    Fd w;
    Pipe()
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        r.Reset(p[0]);
        w.Reset(p[1]);
    }
};

inline SioAddr Loopback(unsigned short port)
{
    SioAddr sa {};
    sa.in.sin_family = AF_INET;
    sa.in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.in.sin_port = htons(port);
    return sa;
}

inline int TcpSocket()
{
    return socket(AF_INET, SOCK_STREAM, 0);
}

// A TCP socket listening on 127.0.0.1 at a port the system chose.
struct Listener {
    Fd fd{TcpSocket()};
    SioAddr addr = Loopback(0);
    explicit Listener(int backlog = 16)
    {
        EXPECT_EQ(bind(fd, &addr.sa, sizeof(addr.in)), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len), 0);
    }
    unsigned short port() const { return ntohs(addr.in.sin_port); }
};

// A connected pair of TCP sockets on loopback.
struct TcpPair {
    Fd client{TcpSocket()};
    Fd server;
    TcpPair()
    {
        Listener l;
        EXPECT_EQ(connect(client, reinterpret_cast<const struct sockaddr *>(&l.addr), sizeof(l.addr)), 0);
        server.Reset(accept(l.fd, nullptr, nullptr));
        EXPECT_GE(server.get(), 0);
    }
};

inline void SetNonBlocking(int fd, bool on)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

// Writes until the socket's buffers are full, so that the next blocking write waits.
inline void FillUp(int fd)
{
    SetNonBlocking(fd, true);
    static char chunk[65536];
    while (write(fd, chunk, sizeof(chunk)) > 0) {
    }
    while (write(fd, chunk, 1) > 0) {
    }
    SetNonBlocking(fd, false);
}

inline SioSigProc CurrentHandler(int sig)
{
    struct sigaction sa {};
    sigaction(sig, nullptr, &sa);
    return sa.sa_handler;
}

// Runs each test in both signal modes: handlers installed per call (false) or once for
// the process (true).
class SioModeTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override
    {
        if (GetParam())
            SIOInitSignals();
    }
    void TearDown() override { SIORestoreSignals(); }
};

inline std::string SioModeName(const ::testing::TestParamInfo<bool> &info)
{
    return info.param ? "HandlersForTheProcess" : "HandlersPerCall";
}

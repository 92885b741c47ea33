// zorvad_ftpload: the benchmark's FTP load generator.  One process, one epoll
// loop, one non-blocking state machine per client, so that the client costs
// little next to the server it measures and its own CPU time can be reported.
//
// Every client runs sessions: connect, 220, USER, PASS, TYPE I, then -n
// transfers (PASV, connect the data connection, RETR/STOR/LIST/MLSD, data to
// EOF and 226 in either order), then QUIT and 221.  With -H a client logs in
// and holds its session idle until standard input ends ("ready N" on standard
// output tells when all are logged in or refused); -r lets at most RAMP
// clients log in at once.  With -K the greeting's time is the kernel's
// arrival stamp of its bytes, not the moment this one process got round to
// reading them: with a thousand clients started at once, the loop that
// connects them all would otherwise count as the server's delay.
//
//   zorvad_ftpload -p PORT [-h ADDR] [-u USER] [-P PASS] [-c CLIENTS]
//                  [-d SECONDS] [-w WARMUP] [-S SESSIONS] [-n TRANSFERS]
//                  [-x retr|stor|list|mlsd|none] [-f PATH] [-s BYTES] [-t TIMEOUT] [-H [-r RAMP]] [-K]
//
// -d runs sessions for that long (the first -w seconds are not counted);
// -S instead stops after that many sessions in all.  The report on standard
// output is one "key value" line per figure (see Report()); failures are
// counted by the step and the reply (or error) that ended the session.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

enum class Step { kIdle, kConnect, kGreeting, kUser, kPass, kType, kPasv, kDataConnect,
                  kTransfer, kHeld, kQuit, kDone };
constexpr const char *kStepNames[] = {"idle", "connect", "greeting", "USER", "PASS", "TYPE",
                                      "PASV", "data-connect", "transfer", "held", "QUIT", "done"};
static_assert(std::size(kStepNames) == static_cast<size_t>(Step::kDone) + 1);

enum class Kind { kNone, kRetr, kStor, kList, kMlsd };

struct Client {
    int ctl = -1, data = -1;
    Step step = Step::kIdle;
    char in[4096];                // control bytes not yet parsed into lines
    int inLen = 0;
    int multiCode = 0;            // the code of a multi-line reply being read, else 0
    char last[256];               // the last line of the reply just completed
    int transfersLeft = 0;
    bool got150 = false, got226 = false, dataEof = false;
    long long dataBytes = 0, dataLines = 0, toSend = 0;
    double sessionStart = 0, transferStart = 0, deadline = 0;
    double sessionStartReal = 0;  // with -K: the connect, on the clock of the kernel's stamps
    double greetArrival = 0;      // with -K: when the greeting's last bytes arrived
    bool counted = false;         // the session started inside the measured window
    uint32_t gen = 0;             // changes with every session: events of an old one are stale
};

// Settings from the command line.
char gHost[64] = "127.0.0.1";
int gPort = 0;
char gUser[64] = "anonymous";
char gPass[64] = "bench@example.com";
int gClients = 1;
double gDuration = 0, gWarmup = 0, gTimeout = 10;
long gSessionLimit = 0;
int gTransfers = 1;
Kind gKind = Kind::kRetr;
char gPath[256] = "4k.bin";
long long gStorBytes = 0;
bool gHold = false;
int gRamp = 0;                     // with -H: at most so many logins at once (0: no limit)
bool gKernelStamps = false;        // -K: greeting times from the kernel's arrival stamps

// State of the run.
int gEpoll = -1;
std::vector<Client> gClientTable;
double gStart = 0, gWindowStart = 0, gWindowEnd = 0;
bool gStopping = false;            // no new sessions
long gSessionsStarted = 0, gSessionsDone = 0, gSessionsInWindow = 0;
long gHeld = 0, gHoldFailed = 0;
int gHoldNext = 0;                 // the next client to start holding
std::vector<uint32_t> gGreetUs;    // connect -> 220 of the counted sessions, microseconds
std::vector<double> gTransferSec;  // each transfer's time, PASV reply to EOF and 226
std::vector<long> gTicks;          // sessions ended in each second of the run
long long gBytes = 0, gLines = 0;
std::map<std::string, long> gFailures;
char gZeros[256 * 1024];
char gSink[256 * 1024];

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double RealNow() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// An event's tag: the session's generation, the client and which connection.
uint64_t Tag(int index, bool data) {
    return (static_cast<uint64_t>(gClientTable[index].gen) << 32) | (static_cast<uint64_t>(index) << 1) |
           (data ? 1 : 0);
}

struct Target { int index; bool data; uint32_t gen; };
Target Untag(uint64_t tag) {
    return {static_cast<int>((tag & 0xffffffffu) >> 1), (tag & 1) != 0, static_cast<uint32_t>(tag >> 32)};
}

void CloseFd(int &fd) {
    if (fd >= 0) {
        close(fd);                 // also leaves the epoll set
        fd = -1;
    }
}

[[nodiscard]] int ConnectTo(const sockaddr_in &addr, uint64_t tag) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (gKernelStamps)
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0 && errno != EINPROGRESS) {
        int e = errno;
        close(fd);
        return -e;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    ev.data.u64 = tag;
    if (epoll_ctl(gEpoll, EPOLL_CTL_ADD, fd, &ev) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

void Watch(int fd, uint64_t tag, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    epoll_ctl(gEpoll, EPOLL_CTL_MOD, fd, &ev);
}

void StartSession(int i);
void StartHolds();

// Closes the session's connections; later events of them are ignored.
void EndSession(int i) {
    Client &c = gClientTable[i];
    CloseFd(c.data);
    CloseFd(c.ctl);
    c.gen++;
    c.step = Step::kIdle;
    c.deadline = 0;
}

// Ends the session as failed, counted under its step and reason, and starts
// the next one.
void Fail(int i, const char *reason) {
    Client &c = gClientTable[i];
    char key[160];
    snprintf(key, sizeof key, "%s:%s", kStepNames[static_cast<int>(c.step)], reason);
    for (char *p = key; *p; p++)
        if (*p == ' ' || *p == '\r' || *p == '\n')
            *p = '_';
    gFailures[key]++;
    if (c.step == Step::kHeld)
        gHeld--;
    EndSession(i);
    if (gHold) {
        gHoldFailed++;             // a refused session stays refused
        StartHolds();
    } else {
        StartSession(i);
    }
}

void FailReply(int i) {
    char reason[8];
    snprintf(reason, sizeof reason, "%.3s", gClientTable[i].last);
    Fail(i, reason);
}

void FailErrno(int i, int err) { Fail(i, strerrorname_np(err) ? strerrorname_np(err) : "error"); }

[[nodiscard]] bool SendLine(int i, const char *fmt, const char *arg) {
    Client &c = gClientTable[i];
    char line[512];
    int n = snprintf(line, sizeof line, fmt, arg);
    if (n <= 0 || n >= static_cast<int>(sizeof line)) {
        Fail(i, "command-too-long");
        return false;
    }
    ssize_t sent = send(c.ctl, line, static_cast<size_t>(n), MSG_NOSIGNAL);
    if (sent != n) {
        // A few bytes on a control connection the server reads: a short
        // send means the server stopped reading.
        if (sent < 0)
            FailErrno(i, errno);
        else
            Fail(i, "short-send");
        return false;
    }
    c.deadline = Now() + gTimeout;
    return true;
}

void StartSession(int i) {
    Client &c = gClientTable[i];
    c.step = Step::kIdle;
    c.deadline = 0;
    if (gStopping || (gSessionLimit > 0 && gSessionsStarted >= gSessionLimit))
        return;
    gSessionsStarted++;
    c.gen++;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(gPort));
    inet_pton(AF_INET, gHost, &addr.sin_addr);
    c.sessionStart = Now();
    c.sessionStartReal = gKernelStamps ? RealNow() : 0;
    c.greetArrival = 0;
    c.counted = c.sessionStart >= gWindowStart;
    c.deadline = c.sessionStart + gTimeout;
    c.inLen = 0;
    c.multiCode = 0;
    c.transfersLeft = gTransfers;
    c.step = Step::kConnect;
    int fd = ConnectTo(addr, Tag(i, false));
    if (fd < 0 && gHold) {
        char key[96];
        snprintf(key, sizeof key, "connect:%s", strerrorname_np(-fd) ? strerrorname_np(-fd) : "error");
        gFailures[key]++;
        gHoldFailed++;
        c.step = Step::kIdle;
        c.deadline = 0;
        return;
    }
    if (fd < 0) {
        // Counted, and retried on the next turn of the loop rather than at
        // once, so that a refusing server does not spin the client.
        char key[96];
        snprintf(key, sizeof key, "connect:%s", strerrorname_np(-fd) ? strerrorname_np(-fd) : "error");
        gFailures[key]++;
        c.step = Step::kIdle;
        c.deadline = Now() + 0.01;
        return;
    }
    c.ctl = fd;
}

// Parses "227 ... (h1,h2,h3,h4,p1,p2)" into an address.
[[nodiscard]] bool ParsePasv(const char *line, sockaddr_in *addr) {
    const char *p = strchr(line + 4, '(');
    if (!p)
        p = line + 4;
    while (*p && (*p < '0' || *p > '9'))
        p++;
    unsigned v[6];
    if (sscanf(p, "%u,%u,%u,%u,%u,%u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
        return false;
    for (unsigned x : v)
        if (x > 255)
            return false;
    *addr = {};
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]);
    addr->sin_port = htons(static_cast<uint16_t>((v[4] << 8) | v[5]));
    return true;
}

void StartTransfer(int i) {
    Client &c = gClientTable[i];
    if (c.transfersLeft-- <= 0 || gKind == Kind::kNone) {
        c.step = Step::kQuit;
        (void)SendLine(i, "QUIT\r\n", "");
        return;
    }
    c.step = Step::kPasv;
    c.transferStart = Now();
    (void)SendLine(i, "PASV\r\n", "");
}

void SendTransferCommand(int i) {
    static constexpr const char *kCommands[] = {"", "RETR %s\r\n", "STOR %s\r\n", "LIST %s\r\n", "MLSD %s\r\n"};
    Client &c = gClientTable[i];
    c.step = Step::kTransfer;
    c.got150 = c.got226 = c.dataEof = false;
    c.dataBytes = c.dataLines = 0;
    c.toSend = gKind == Kind::kStor ? gStorBytes : 0;
    (void)SendLine(i, kCommands[static_cast<int>(gKind)], gPath);
}

void SessionDone(int i) {
    Client &c = gClientTable[i];
    EndSession(i);
    gSessionsDone++;
    double now = Now();
    size_t second = static_cast<size_t>(now - gStart);
    if (second < gTicks.size())
        gTicks[second]++;
    if (c.counted && now <= gWindowEnd)
        gSessionsInWindow++;
    StartSession(i);
}

void MaybeTransferDone(int i) {
    Client &c = gClientTable[i];
    if (!c.got226 || !c.dataEof)
        return;
    gTransferSec.push_back(Now() - c.transferStart);
    gBytes += c.dataBytes;
    gLines += c.dataLines;
    StartTransfer(i);
}

// One whole reply has arrived (its last line in c.last): the next step.
void OnReply(int i) {
    Client &c = gClientTable[i];
    const int code = atoi(c.last);
    switch (c.step) {
    case Step::kGreeting:
        if (code != 220)
            return FailReply(i);
        if (c.counted && gKernelStamps && c.greetArrival > 0)
            gGreetUs.push_back(static_cast<uint32_t>((c.greetArrival - c.sessionStartReal) * 1e6));
        else if (c.counted)
            gGreetUs.push_back(static_cast<uint32_t>((Now() - c.sessionStart) * 1e6));
        c.step = Step::kUser;
        (void)SendLine(i, "USER %s\r\n", gUser);
        return;
    case Step::kUser:
        if (code == 230)
            break;                 // logged in without a password
        if (code != 331)
            return FailReply(i);
        c.step = Step::kPass;
        (void)SendLine(i, "PASS %s\r\n", gPass);
        return;
    case Step::kPass:
        if (code != 230)
            return FailReply(i);
        break;
    case Step::kType:
        if (code != 200)
            return FailReply(i);
        return StartTransfer(i);
    case Step::kPasv: {
        sockaddr_in addr;
        if (code != 227 || !ParsePasv(c.last, &addr))
            return FailReply(i);
        c.step = Step::kDataConnect;
        int fd = ConnectTo(addr, Tag(i, true));
        if (fd < 0)
            return FailErrno(i, -fd);
        c.data = fd;
        return;
    }
    case Step::kTransfer:
        if (code == 150 || code == 125) {
            c.got150 = true;
            if (gKind == Kind::kStor)
                Watch(c.data, Tag(i, true), EPOLLOUT | EPOLLRDHUP);
            return;
        }
        if (code != 226 && code != 250)
            return FailReply(i);
        c.got226 = true;
        return MaybeTransferDone(i);
    case Step::kHeld:
        return FailReply(i);       // e.g. an idle time-out of the server
    case Step::kQuit:
        if (code != 221)
            return FailReply(i);
        return SessionDone(i);
    default:
        return FailReply(i);
    }
    // Logged in.
    if (gHold) {
        c.step = Step::kHeld;
        c.deadline = 0;
        gHeld++;
        StartHolds();
        return;
    }
    c.step = Step::kType;
    (void)SendLine(i, "TYPE I\r\n", "");
}

// The next control bytes; before the greeting, under -K, with the kernel's
// stamp of their arrival.
ssize_t ReceiveControl(Client &c) {
    iovec iov = {c.in + c.inLen, sizeof c.in - 1 - static_cast<size_t>(c.inLen)};
    if (!gKernelStamps || c.step != Step::kGreeting)
        return recv(c.ctl, iov.iov_base, iov.iov_len, 0);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(c.ctl, &msg, 0);
    for (cmsghdr *h = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr; h != nullptr; h = CMSG_NXTHDR(&msg, h)) {
        if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            memcpy(&ts, CMSG_DATA(h), sizeof ts);
            c.greetArrival = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
        }
    }
    return n;
}

// Splits the control bytes into lines; a reply is whole at its last line.
void OnControlReadable(int i) {
    Client &c = gClientTable[i];
    for (;;) {
        ssize_t n = ReceiveControl(c);
        if (n == 0)
            return Fail(i, "closed");
        if (n < 0) {
            if (errno == EAGAIN)
                return;
            return FailErrno(i, errno);
        }
        c.inLen += static_cast<int>(n);
        int start = 0;
        for (int k = 0; k < c.inLen; k++) {
            if (c.in[k] != '\n')
                continue;
            const char *line = c.in + start;
            const int len = k - start;
            start = k + 1;
            const bool coded = len >= 4 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' &&
                               line[1] <= '9' && line[2] >= '0' && line[2] <= '9';
            const int code = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
            if (c.multiCode) {
                if (code != c.multiCode || line[3] != ' ')
                    continue;      // inside a multi-line reply
                c.multiCode = 0;
            } else if (!coded) {
                continue;          // (a malformed line)
            } else if (line[3] == '-') {
                c.multiCode = code;
                continue;
            }
            snprintf(c.last, sizeof c.last, "%.*s", std::min(len, static_cast<int>(sizeof c.last) - 1), line);
            const uint32_t gen = c.gen;
            OnReply(i);
            if (c.gen != gen)
                return;            // the session ended (its buffer is gone)
        }
        // Keep the unfinished line; a line longer than the buffer is cut.
        if (start > 0) {
            memmove(c.in, c.in + start, static_cast<size_t>(c.inLen - start));
            c.inLen -= start;
        } else if (c.inLen >= static_cast<int>(sizeof c.in) - 1) {
            c.inLen = 0;
        }
    }
}

void OnDataEvent(int i, uint32_t events) {
    Client &c = gClientTable[i];
    if (c.step == Step::kDataConnect) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.data, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err)
            return FailErrno(i, err);
        Watch(c.data, Tag(i, true), gKind == Kind::kStor ? EPOLLRDHUP : EPOLLIN | EPOLLRDHUP);
        return SendTransferCommand(i);
    }
    if (c.step != Step::kTransfer || c.data < 0)
        return;
    if (gKind == Kind::kStor) {
        if (!c.got150)
            return;
        while (c.toSend > 0) {
            size_t chunk = static_cast<size_t>(std::min<long long>(c.toSend, sizeof gZeros));
            ssize_t n = send(c.data, gZeros, chunk, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN)
                    return;
                return FailErrno(i, errno);
            }
            c.toSend -= n;
            c.dataBytes += n;
        }
        CloseFd(c.data);           // the end of the file
        c.dataEof = true;
        return MaybeTransferDone(i);
    }
    (void)events;
    for (;;) {
        // Listings are read to count their lines; files are dropped unread.
        const bool listing = gKind == Kind::kList || gKind == Kind::kMlsd;
        ssize_t n = recv(c.data, gSink, sizeof gSink, listing ? 0 : MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN)
                return;
            return FailErrno(i, errno);
        }
        if (n == 0)
            break;
        c.dataBytes += n;
        if (listing)
            c.dataLines += std::count(gSink, gSink + n, '\n');
    }
    CloseFd(c.data);
    c.dataEof = true;
    MaybeTransferDone(i);
}

void OnControlEvent(int i, uint32_t events) {
    Client &c = gClientTable[i];
    if (c.step == Step::kConnect) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.ctl, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err)
            return FailErrno(i, err);
        if (!(events & EPOLLOUT) && !(events & EPOLLIN))
            return;
        Watch(c.ctl, Tag(i, false), EPOLLIN | EPOLLRDHUP);
        c.step = Step::kGreeting;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        OnControlReadable(i);
}

// An event goes to its connection unless it belongs to a session that
// ended earlier in the same batch of events.
void Dispatch(uint64_t tag, uint32_t events) {
    const Target t = Untag(tag);
    const Client &c = gClientTable[t.index];
    if (c.gen != t.gen)
        return;
    if (t.data && c.data >= 0)
        OnDataEvent(t.index, events);
    else if (!t.data && c.ctl >= 0)
        OnControlEvent(t.index, events);
}

// Starts held sessions while fewer than the ramp are logging in.
void StartHolds() {
    while (gHoldNext < gClients && (gRamp <= 0 || gSessionsStarted - gHeld - gHoldFailed < gRamp))
        StartSession(gHoldNext++);
}

void CheckDeadlines(double now) {
    for (int i = 0; i < gClients; i++) {
        Client &c = gClientTable[i];
        if (c.deadline == 0 || now < c.deadline)
            continue;
        if (c.step == Step::kIdle)
            StartSession(i);
        else if (c.step != Step::kHeld && c.step != Step::kDone)
            Fail(i, "timeout");
    }
}

[[nodiscard]] int Percentile(std::vector<uint32_t> &v, double q) {
    if (v.empty())
        return -1;
    size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return static_cast<int>(v[k]);
}

void Report(double elapsed) {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    const double user = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
    const double sys = static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6;
    const double window = gWindowEnd - gWindowStart;
    printf("clients %d\n", gClients);
    printf("elapsed %.3f\n", elapsed);
    printf("sessions %ld\n", gSessionsDone);
    if (gDuration > 0) {
        printf("window %.3f\n", window);
        printf("sessions_in_window %ld\n", gSessionsInWindow);
        printf("rate %.1f\n", window > 0 ? static_cast<double>(gSessionsInWindow) / window : 0.0);
    }
    printf("ticks");
    for (size_t k = 0; k < gTicks.size() && k < static_cast<size_t>(elapsed); k++)
        printf(" %ld", gTicks[k]);
    printf("\n");
    printf("greetings %zu\n", gGreetUs.size());
    printf("greet_p50_ms %.3f\n", Percentile(gGreetUs, 0.50) / 1e3);
    printf("greet_p90_ms %.3f\n", Percentile(gGreetUs, 0.90) / 1e3);
    printf("greet_p99_ms %.3f\n", Percentile(gGreetUs, 0.99) / 1e3);
    printf("greet_max_ms %.3f\n", Percentile(gGreetUs, 1.0) / 1e3);
    printf("transfers %zu\n", gTransferSec.size());
    double total = 0;
    for (double t : gTransferSec)
        total += t;
    if (!gTransferSec.empty()) {
        std::vector<double> sorted = gTransferSec;
        std::sort(sorted.begin(), sorted.end());
        printf("transfer_first_ms %.3f\n", gTransferSec.front() * 1e3);
        printf("transfer_median_ms %.3f\n", sorted[sorted.size() / 2] * 1e3);
        printf("transfer_total_s %.6f\n", total);
    }
    printf("bytes %lld\n", gBytes);
    printf("lines %lld\n", gLines);
    if (total > 0)
        printf("mb_per_s %.1f\n", static_cast<double>(gBytes) / total / 1e6);
    printf("held %ld\n", gHeld);
    long failures = 0;
    for (const auto &[key, count] : gFailures)
        failures += count;
    printf("failures %ld\n", failures);
    for (const auto &[key, count] : gFailures)
        printf("fail %s %ld\n", key.c_str(), count);
    printf("cpu_user_s %.3f\n", user);
    printf("cpu_sys_s %.3f\n", sys);
    printf("cpu_share %.3f\n", elapsed > 0 ? (user + sys) / elapsed : 0.0);
}

[[noreturn]] void Usage() {
    fprintf(stderr,
            "usage: zorvad_ftpload -p PORT [-h ADDR] [-u USER] [-P PASS] [-c CLIENTS] [-d SECONDS]\n"
            "       [-w WARMUP] [-S SESSIONS] [-n TRANSFERS] [-x retr|stor|list|mlsd|none] [-f PATH]\n"
            "       [-s BYTES] [-t TIMEOUT] [-H [-r RAMP]] [-K]\n");
    exit(2);
}

[[nodiscard]] bool Copy(char *to, size_t size, const char *from) {
    return snprintf(to, size, "%s", from) < static_cast<int>(size);
}

void ParseArgs(int argc, char **argv) {
    int opt;
    while ((opt = getopt(argc, argv, "h:p:u:P:c:d:w:S:n:x:f:s:t:Hr:K")) != -1) {
        switch (opt) {
        case 'h': if (!Copy(gHost, sizeof gHost, optarg)) Usage(); break;
        case 'p': gPort = atoi(optarg); break;
        case 'u': if (!Copy(gUser, sizeof gUser, optarg)) Usage(); break;
        case 'P': if (!Copy(gPass, sizeof gPass, optarg)) Usage(); break;
        case 'c': gClients = atoi(optarg); break;
        case 'd': gDuration = atof(optarg); break;
        case 'w': gWarmup = atof(optarg); break;
        case 'S': gSessionLimit = atol(optarg); break;
        case 'n': gTransfers = atoi(optarg); break;
        case 'f': if (!Copy(gPath, sizeof gPath, optarg)) Usage(); break;
        case 's': gStorBytes = atoll(optarg); break;
        case 't': gTimeout = atof(optarg); break;
        case 'H': gHold = true; break;
        case 'r': gRamp = atoi(optarg); break;
        case 'K': gKernelStamps = true; break;
        case 'x': {
            static constexpr const char *kKinds[] = {"none", "retr", "stor", "list", "mlsd"};
            int k = 0;
            while (k < 5 && strcmp(optarg, kKinds[k]) != 0)
                k++;
            if (k == 5)
                Usage();
            gKind = static_cast<Kind>(k);
            break;
        }
        default: Usage();
        }
    }
    in_addr probe;
    if (gPort <= 0 || gPort > 65535 || gClients <= 0 || gClients > 100000 || gTransfers < 0 ||
        (gDuration <= 0 && gSessionLimit <= 0 && !gHold) || gWarmup < 0 || gTimeout <= 0 ||
        inet_pton(AF_INET, gHost, &probe) != 1)
        Usage();
}

// Holds every session until standard input ends, then ends them with QUIT.
void RunHold() {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = UINT64_MAX;
    epoll_ctl(gEpoll, EPOLL_CTL_ADD, STDIN_FILENO, &ev);
    bool announced = false, released = false;
    double quitDeadline = 0;
    epoll_event events[256];
    for (;;) {
        if (!announced && gHeld + gHoldFailed >= gClients) {
            printf("ready %ld\n", gHeld);
            fflush(stdout);
            announced = true;
        }
        if (released) {
            bool open = false;
            for (const Client &c : gClientTable)
                open |= c.ctl >= 0;
            if (!open || Now() > quitDeadline)
                return;
        }
        int n = epoll_wait(gEpoll, events, 256, 100);
        for (int k = 0; k < n; k++) {
            uint64_t tag = events[k].data.u64;
            if (tag == UINT64_MAX) {
                char buf[256];
                if (read(STDIN_FILENO, buf, sizeof buf) <= 0) {
                    epoll_ctl(gEpoll, EPOLL_CTL_DEL, STDIN_FILENO, nullptr);
                    released = true;
                    gStopping = true;
                    quitDeadline = Now() + gTimeout;
                    for (int i = 0; i < gClients; i++) {
                        Client &c = gClientTable[i];
                        if (c.step == Step::kHeld) {
                            c.step = Step::kQuit;
                            (void)SendLine(i, "QUIT\r\n", "");
                        }
                    }
                }
                continue;
            }
            Dispatch(tag, events[k].events);
        }
        if (!released)
            CheckDeadlines(Now());
    }
}

// Runs sessions until the time or the session count is up, then lets the
// sessions in progress finish (within the time-out).
void RunSessions() {
    epoll_event events[256];
    for (;;) {
        double now = Now();
        if (!gStopping && gDuration > 0 && now >= gStart + gDuration)
            gStopping = true;
        if (gStopping || gSessionLimit > 0) {
            bool busy = false;
            for (const Client &c : gClientTable)
                busy |= c.step != Step::kIdle;
            if (!busy && (gStopping || gSessionsStarted >= gSessionLimit))
                return;
            if (gStopping && now > gStart + gDuration + gTimeout)
                return;
        }
        int n = epoll_wait(gEpoll, events, 256, 50);
        for (int k = 0; k < n; k++) {
            Dispatch(events[k].data.u64, events[k].events);
        }
        CheckDeadlines(Now());
    }
}

}  // namespace

int main(int argc, char **argv) {
    ParseArgs(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    gEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (gEpoll < 0) {
        perror("epoll_create1");
        return 1;
    }
    gClientTable.resize(static_cast<size_t>(gClients));
    if (gHold)
        gSessionLimit = gClients;  // a session refused stays refused
    gGreetUs.reserve(1 << 20);
    gTicks.resize(static_cast<size_t>(gDuration + gTimeout) + 2);
    gStart = Now();
    gWindowStart = gStart + gWarmup;
    gWindowEnd = gDuration > 0 ? gStart + gDuration : 1e300;
    if (gHold) {
        StartHolds();
    } else {
        for (int i = 0; i < gClients; i++)
            StartSession(i);
    }
    if (gHold)
        RunHold();
    else
        RunSessions();
    double end = Now();
    if (gDuration <= 0)
        gWindowEnd = end;
    Report(end - gStart);
    return 0;
}

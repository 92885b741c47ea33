// sio: blocking socket and pipe primitives bounded by time limits in whole seconds.
//
// Every call returns a byte count (or 0 / a descriptor) or one of the negative result
// codes below with errno set; an EINTR never reaches the caller and SIGPIPE never ends
// the process while a call runs.  Time limits are enforced either by alarm() and a jump
// out of SIOHandler, or by select().  Single-threaded: one jump buffer per process, and
// only one timed call may be in progress at a time (never call one from a handler).
//
// Signal modes: after SIOInitSignals() the library's handler stays installed for
// SIGALRM and SIGPIPE (gSioSignalsSet 1); otherwise every timed call installs it on
// entry and puts the previous handlers back on exit.  Code that replaces those handlers
// for a while must call SIOResetSignals() afterwards in the first mode.  The mode the
// server chooses is its configuration value gSioSignalMode, kept with the configuration.
//
// Addresses are IPv4 or IPv6 (SioAddr); the family of each address says which.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <ctime>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

// ---- Socket addresses -----------------------------------------------------------------
// An address of either family; sa.sa_family says which member holds it.
union SioAddr {
    struct sockaddr sa;
    struct sockaddr_in in;
    struct sockaddr_in6 in6;
};

constexpr size_t kSioAddrTextSize = 46;    // INET6_ADDRSTRLEN: the longest address text

inline bool SioAddrIsV6(const SioAddr *a) { return a->sa.sa_family == AF_INET6; }
inline socklen_t SioAddrLen(const SioAddr *a)
{
    return SioAddrIsV6(a) ? sizeof(a->in6) : sizeof(a->in);
}
int SioAddrPort(const SioAddr *a);                      // host order
void SioAddrSetPort(SioAddr *a, int port);
// Same family and same host address (the ports are not compared).
bool SioAddrSameHost(const SioAddr *a, const SioAddr *b);
bool SioAddrIsAny(const SioAddr *a);                    // 0.0.0.0 or ::
// The address alone as text ("192.0.2.1", "2001:db8::1"); "" for another family.
char *SioAddrText(char *dst, size_t dsize, const SioAddr *a);
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d): true and its IPv4 address.
bool SioAddrMappedV4(const SioAddr *a, in_addr_t *v4);
// An IPv4 or IPv6 address text (no brackets, no port) into *a with port 0: 0, or -1.
int SioAddrFromText(const char *text, SioAddr *a);
// Whether a forward look-up of name gives a's host address back.  Whoever
// holds an address block writes its reverse names: such a name alone proves nothing.
bool SioNameLeadsBack(const char *name, const SioAddr *a);

// ---- Result codes ---------------------------------------------------------------------
constexpr int kSioErrSystem = -1;      // the system call failed, nothing moved; errno as set
constexpr int kSioErrTimeout = -2;     // time limit ran out with nothing moved; ETIMEDOUT
constexpr int kSioErrBrokenPipe = -3;  // SIGPIPE with nothing moved; EPIPE
constexpr int kSioErrAddrString = -4;  // AddrStrToAddr: no port and no default; EADDRNOTAVAIL
constexpr int kSioErrHostLookup = -5;  // AddrStrToAddr: host did not resolve

// Completion rules of SRead/SRecv (the retry argument).
constexpr int kSioReturnAtOnce = 0;      // return after the first read that brought data
constexpr int kSioWholeSize = 1;         // all size bytes are required
constexpr int kSioWholeSizeOrEof = 2;    // all size bytes, but end of file returns what came

// ---- Signals and time -----------------------------------------------------------------
using SioSigProc = void (*)(int);
using SioTimeProc = time_t (*)(time_t *);

extern sigjmp_buf gSioJmp;                  // the one jump point of the running timed call
extern volatile sig_atomic_t gSioCanJmp;    // 1 only while a timed call may be jumped out of,
                                            // kSioNoteSignal while one only notes the signal
constexpr sig_atomic_t kSioNoteSignal = 2;
extern volatile sig_atomic_t gSioGotSig;    // the signal that caused the last jump or note
extern int gSioSignalsSet;                  // 1: handlers installed for the whole process
extern struct sigaction gSIOSavedSigALRM;   // what SIOInitSignals/SIOResetSignals replaced
extern struct sigaction gSIOSavedSigPIPE;
extern SioTimeProc gSIOTimeProc;            // optional clock with the contract of time()

void SIOHandler(int sig);
SioSigProc SSignal(int signum, SioSigProc handler);
void SIOInitSignals();
void SIOResetSignals();
void SIORestoreSignals();
time_t SIOTime(time_t *tp);
char *SIOGetVersion(char *dst, size_t size);
double Duration(const struct timeval *start);

// ---- Timed transfers ------------------------------------------------------------------
[[nodiscard]] int SRead(int fd, void *buf, size_t size, int tlen, int retry);
[[nodiscard]] int SRecv(int fd, void *buf, size_t size, int flags, int tlen, int retry);
int SWrite(int fd, const void *buf, size_t size, int tlen);
int SSend(int fd, const void *buf, size_t size, int flags, int tlen);
[[nodiscard]] int PRead(int fd, void *buf, size_t size, int retry);
int PWrite(int fd, const void *buf, size_t size);

// ---- Descriptors between processes (local sockets) -------------------------------
// Sends size bytes with fd attached (none when fd < 0): size, or kSioErrSystem.
int SendWithFd(int sock, const void *buf, size_t size, int fd);
// Sends one datagram of a SOCK_SEQPACKET socket with fd attached (none when
// fd < 0) without waiting for room: size, or kSioErrSystem.
int SendDatagramWithFd(int sock, const void *buf, size_t size, int fd);
// Receives size bytes and the one descriptor that came with them (*fd, -1 when
// none came or none could be taken; others are closed): size, 0 at the end,
// or kSioErrSystem.
[[nodiscard]] int RecvWithFd(int sock, void *buf, size_t size, int *fd);
// Receives one datagram of a SOCK_SEQPACKET socket (at most size bytes) and
// its one descriptor: its length, 0 at the end, or kSioErrSystem (errno
// EMSGSIZE for a longer datagram, whose descriptor is closed).
[[nodiscard]] int RecvDatagramWithFd(int sock, void *buf, size_t size, int *fd);
// The same, its first headSize bytes into head and the rest (at most
// restSize) into rest: a short datagram leaves rest untouched.
[[nodiscard]] int RecvDatagramWithFdSplit(int sock, void *head, size_t headSize, void *rest, size_t restSize,
                                          int *fd);

// ---- Connections ----------------------------------------------------------------------
[[nodiscard]] int SAcceptA(int fd, SioAddr *addr, int tlen);
[[nodiscard]] int SAcceptS(int fd, SioAddr *addr, int tlen);
int SConnect(int fd, const SioAddr *addr, int tlen);
int SBind(int fd, int port, int nTries, int reuseFlag);
int SListen(int fd, int backlog);
int SClose(int fd, int tlen);

// ---- Line reader ----------------------------------------------------------------------
struct SReadlineInfo {
    char *buf;          // input buffer
    char *bufPtr;       // next unread byte
    char *bufLim;       // one past the last valid byte; bufPtr == bufLim means empty
    size_t bufSize;     // bytes of valid capacity
    size_t bufSizeMax;  // allocated size
    int malloc;         // 1 if the library allocated buf and frees it
    int fd;             // descriptor read from
    int timeoutLen;     // seconds allowed for each refill
};

int InitSReadlineInfo(SReadlineInfo *srl, int fd, char *buf, size_t bsize, int tlen);
void FlushSReadlineInfo(SReadlineInfo *srl);
void DisposeSReadlineInfo(SReadlineInfo *srl);
int SReadline(SReadlineInfo *srl, char *linebuf, size_t linebufsize);

// ---- Select sets ----------------------------------------------------------------------
// The bit layout is the kernel's fd_set layout, only larger than the C library's
// 1,024-bit fd_set, so descriptors up to 65,535 can be waited for.  Test the bits of a
// working copy with SelectSetIsSet, never with FD_ISSET.
constexpr int kSioSelectSetBits = 65536;

struct SelectSet {
    unsigned long fds[kSioSelectSetBits / (8 * sizeof(unsigned long))];
    struct timeval timeout;
    int maxfd;   // one more than the largest descriptor ever added
    int numfds;  // descriptors currently in the set
};

void SelectSetInit(SelectSet *ss, double t);
void SelectSetAdd(SelectSet *ss, int fd);
void SelectSetRemove(SelectSet *ss, int fd);
int SelectSetIsSet(const SelectSet *ss, int fd);
int SelectR(const SelectSet *ss, SelectSet *work);
int SelectW(const SelectSet *ss, SelectSet *work);

// ---- Addresses and services -----------------------------------------------------------
// An IPv6 host is written in brackets where a port may follow ("[::1]:21").
int AddrStrToAddr(const char *s, SioAddr *sa, int defaultPort);
// %h of an IPv6 address is the bare address; the default format brackets it ("[%h]:%p").
char *AddrToAddrStr(char *dst, size_t dsize, const SioAddr *sa, int dns, const char *fmt);
char *InetNtoA(char *dst, const struct in_addr *ia, size_t dsize);
int ServiceNameToPortNumber(const char *s, int proto);
int ServicePortNumberToName(unsigned short port, char *dst, size_t dsize, int proto);

// ---- Socket options -------------------------------------------------------------------
int SetSocketBufSize(int fd, size_t rsize, size_t ssize);
int GetSocketBufSize(int fd, size_t *rsize, size_t *ssize);
int SetSockBufSize(int fd, size_t rsize, size_t ssize);
int GetSockBufSize(int fd, size_t *rsize, size_t *ssize);
int SetSocketNagleAlgorithm(int fd, int onoff);
int GetSocketNagleAlgorithm(int fd);
int SetSocketLinger(int fd, int onoff, int secs);
int GetSocketLinger(int fd, int *secs);
int SetSocketKeepAlive(int fd, int onoff);
int SetSockErr(int fd, int err);
int GetSockErr(int fd);
int SetTypeOfService(int fd, int tos);
int SetCloExec(int fd);

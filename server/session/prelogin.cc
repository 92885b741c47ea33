// The front (prelogin.h): the unprivileged process that reads a client's
// commands until it has logged in, the record that carries a login word to
// the pool child and the replies back, and the relay that keeps a TLS
// control connection going for the user's process.
#include "session/prelogin.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "Strn.h"
#include "base/exit.h"
#include "base/pages.h"
#include "base/privchan.h"
#include "base/process.h"
#include "log/log.h"
#include "session/login.h"
#include "session/privsep.h"
#include "sio.h"
#include "status/shm.h"

namespace {

constexpr int kJmpEnd = 1;
constexpr int kJmpHandOver = 2;
constexpr int kRelaySeconds = 60;       // one record's time to arrive whole, once it began

bool gFront;                    // this process is the front

// The pool child while it runs a word for the front.
bool gRunning;
ON_LOGIN_PAGES sigjmp_buf gLoginJmp;
int gEndReason;
int gAnswerChannel = -1;
uint32_t gAnswerSeq;
ON_LOGIN_PAGES_LAST LoginAnswer gAnswer;    // the replies collected, and the answer
int gRelayFd = -1;              // the connection (or the relay's socket) for the user's process
bool gRelayed;                  // the user's process speaks to the client through the relay
TlsControlExport gRelayedTls;
pid_t gHandOverPid;
int gHandOverChannel = -1;

// ---- The front ----------------------------------------------------------------------------

LoginRequest gRequest;

void SnapshotState(LoginWord word, const char *arg)
{
    memset(&gRequest, 0, sizeof(gRequest));
    gRequest.record.op = kPrivLogin;
    gRequest.record.word = word;
    Strncpy(gRequest.record.arg, arg);
    gRequest.record.mlsOpts = gMlsOpts;
    gRequest.record.clientType = gClientType;
    gRequest.record.pbszDone = gPbszDone;
    gRequest.record.protPrivate = gProtPrivate;
    gRequest.record.totalCmdIdleTime = gTotalCmdIdleTime;
    memcpy(gRequest.record.cmdCounts, gCmdCounts, sizeof(gRequest.record.cmdCounts));
    const size_t unread = static_cast<size_t>(gSrl.bufLim - gSrl.bufPtr);
    gRequest.record.inputLen = static_cast<uint32_t>(unread <= kLoginInputMax ? unread : kLoginInputMax);
    memcpy(gRequest.record.input, gSrl.bufPtr, gRequest.record.inputLen);
    TlsExportControl(&gRequest.tls);
}

// Sends the record (with the relay's end under TLS) and waits for its answer.
[[nodiscard]] bool CallPoolChild(int relayEnd)
{
    static uint32_t sSeq;
    gRequest.record.seq = ++sSeq;
    // Without TLS the record goes alone (the pool child's pages for the TLS
    // state are then not written).
    const size_t size = gRequest.tls.description[0] != '\0' ? kLoginRequestSize : sizeof(gRequest.record);
    const int sent = SendWithFd(gPrivChannel, &gRequest, size, relayEnd);
    explicit_bzero(gRequest.record.arg, sizeof(gRequest.record.arg));
    explicit_bzero(&gRequest.tls, sizeof(gRequest.tls));
    if (sent < 0)
        return false;
    for (;;) {
        const ssize_t n = recv(gPrivChannel, &gAnswer, sizeof(gAnswer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < static_cast<ssize_t>(offsetof(LoginAnswer, reply)) || gAnswer.head.replyLen > kLoginReplyMax
            || static_cast<size_t>(n) != offsetof(LoginAnswer, reply) + gAnswer.head.replyLen)
            return false;
        if (gAnswer.head.seq == gRequest.record.seq)
            return true;
    }
}

// What REIN starts afresh of the little a client can set before a login.
void ForgetPreLoginState()
{
    gPbszDone = 0;
    gProtPrivate = 0;
    gMlsOpts = 15;
}

// The control connection's records, both ways, until either end closes.
[[noreturn]] void RelayControl(int relay)
{
    static char buf[16384];
    for (;;) {
        struct pollfd p[2] = {{gCtrl, POLLIN, 0}, {relay, POLLIN, 0}};
        if (TlsReadPending(kTlsControl) != 0)
            p[0].revents = POLLIN;
        else if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (p[0].revents != 0) {
            const int n = TlsRead(kTlsControl, buf, sizeof(buf), kRelaySeconds);
            if (n > 0 && SWrite(relay, buf, static_cast<size_t>(n), kRelaySeconds) != n)
                break;
            if (n <= 0 && n != kSioErrTimeout)
                break;      // the client is gone: the session reads the end
        }
        if (p[1].revents != 0) {
            const ssize_t n = read(relay, buf, sizeof(buf));
            if (n == 0 || (n < 0 && errno != EINTR)) {
                (void) TlsShutdown(kTlsControl, 1);
                break;
            }
            if (n > 0 && TlsWrite(kTlsControl, buf, static_cast<size_t>(n), kRelaySeconds) != n)
                break;
        }
    }
    explicit_bzero(buf, sizeof(buf));
    _exit(0);
}

// The pool child ended the session: its last replies, close_notify, gone.
[[noreturn]] void EndAsTold()
{
    if (gAnswer.head.replyLen > 0)
        (void) ControlWrite(gAnswer.reply, gAnswer.head.replyLen, kReplyTimeout);
    (void) TlsShutdown(kTlsControl, 1);
    _exit(0);
}

// ---- The pool child ------------------------------------------------------------------------

void ApplyState(const LoginRecord &req, const TlsControlExport *tls)
{
    gMlsOpts = req.mlsOpts;
    gClientType = req.clientType;
    gPbszDone = req.pbszDone != 0;
    gProtPrivate = req.protPrivate != 0;
    gTotalCmdIdleTime = static_cast<long>(req.totalCmdIdleTime);
    // The words that log in are counted here, whatever the front says.
    const int user = gCmdCounts[kCntUser], pass = gCmdCounts[kCntPass];
    memcpy(gCmdCounts, req.cmdCounts, sizeof(gCmdCounts));
    gCmdCounts[kCntUser] = user + (req.word == kLoginUser ? 1 : 0);
    gCmdCounts[kCntPass] = pass + (req.word == kLoginPass ? 1 : 0);
    // What the client sent after the word is the user's process's to read.
    FlushSReadlineInfo(&gSrl);
    const size_t len = req.inputLen <= kLoginInputMax && req.inputLen <= gSrl.bufSize ? req.inputLen : 0;
    memcpy(gSrl.buf, req.input, len);
    gSrl.bufPtr = gSrl.buf;
    gSrl.bufLim = gSrl.buf + len;
    // Whether the front's control connection carries TLS decides the login.
    if (tls != nullptr && tls->description[0] != '\0')
        TlsMarkRelayedControl(-1, *tls);
    else
        TlsDrop(kTlsControl);
}

void RunWord(int word, char *arg)
{
    switch (word) {
    case kLoginUser:
        User(arg);
        break;
    case kLoginPass:
        Pass(arg);
        break;
    case kLoginRein:
        Rein(arg);
        break;
    case kLoginQuit:
        Quit(arg);
        break;
    default:
        BadSeqOfCommands();
        break;
    }
}

// The word is done: the connection, and the TLS the front said it carries,
// are not the pool child's (a front that ends after it must not leave the
// next client's control connection marked as relayed).
void CloseRelay()
{
    CloseHandedOver(gRelayFd);
    gRelayFd = -1;
    WipeIfSet(&gRelayedTls, sizeof(gRelayedTls));
    TlsDrop(kTlsControl);
}

// The head is made here and the replies go from where they were collected:
// after a hand-over the pool child writes nothing of gAnswer, whose pages
// its session's process shares.  The next word starts the replies afresh.
[[nodiscard]] bool SendAnswer(int outcome)
{
    LoginAnswerHead head {};
    head.seq = gAnswerSeq;
    head.outcome = outcome;
    head.failedLogins = gFailedLogins;
    Strncpy(head.failedUserNames, gFailedUserNames);
    head.replyLen = gAnswer.head.replyLen;
    struct iovec iov[2] = {{&head, sizeof(head)}, {gAnswer.reply, head.replyLen}};
    struct msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = std::size(iov);
    const ssize_t size = static_cast<ssize_t>(sizeof(head) + head.replyLen);
    return sendmsg(gAnswerChannel, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) == size;
}

// Below the frame a front is forked from lies what the words of the pool
// child's earlier clients left on its stack (a database record with its
// password hash, a hash function's state): wiped before the next front
// inherits it.  Only pages that hold anything are written.
constexpr size_t kStackWipeBytes = 256 * 1024;

__attribute__((noinline)) void WipeStackBelow()
{
    char area[kStackWipeBytes];
    asm volatile("" : : "r"(area) : "memory");     // its old contents are read as they are
    for (size_t i = 0; i < sizeof(area); i += 4096)
        WipeIfSet(area + i, 4096);
    asm volatile("" : : "r"(area) : "memory");
}

}  // namespace

// ---- The front ----------------------------------------------------------------------------

void StartFront()
{
    WipeStackBelow();
    const pid_t poolChild = getpid();
    int channel = -1;
    sigset_t oldMask;
    const bool mailbox = ShmPrepareMailbox() == 0;     // this client's alone
    const pid_t pid = mailbox ? ForkWithChannel(&channel, &oldMask) : -1;
    if (pid < 0) {
        LogPerror(mailbox ? "fork" : "status mailbox");
        Reply("421 Service not available, closing control connection.\r\n");
        DoneConnection(kEndIdentity);
    }
    if (pid == 0) {
        if (EnterFrontConfinement(poolChild) < 0)
            _exit(1);       // never serve a client with rights left
        if (gCtrl >= 0)
            (void) fcntl(gCtrl, F_SETOWN, getpid());
        gFront = true;
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        return;
    }
    alarm(0);
    close(gCtrl);       // the front's alone until a login
    gCtrl = -1;
    WaitForSessionProcess(pid, channel, oldMask, gSessionTimeLimit, true);
}

namespace {

ON_SESSION_PAGES ShmSlot sPublished;     // the slot as the pool child last published it
ON_SESSION_PAGES bool sOnlyAtEnd;        // the process is ending: its pool child publishes then

// The pool child publishes the slot before it serves any request: what the
// slot holds as one is sent needs no publishing of its own.
void PublishedWithRequest()
{
    if (ShmSlotIsMailbox())
        memcpy(&sPublished, gRUserPtr, sizeof(sPublished));
}

}  // namespace

void PublishOnlyAtEnd()
{
    // A QUIT before a login is the pool child's, which serves the next
    // client after it: its sessions' processes would inherit the flag.
    if (gPrivChannel >= 0)
        sOnlyAtEnd = true;
}

void PublishOwnSlot()
{
    if (gPrivChannel < 0 || !ShmSlotIsMailbox() || sOnlyAtEnd)
        return;
    // Only what changed since it was last published costs a round trip.
    if (memcmp(&sPublished, gRUserPtr, sizeof(sPublished)) == 0)
        return;
    memcpy(&sPublished, gRUserPtr, sizeof(sPublished));
    PrivRequest req {};
    req.op = kPrivPublishSlot;
    if (PrivCall(req, -1) < 0 && errno == EPIPE)
        _exit(1);           // the pool child is gone: so is the session
}

void CountTransferForDomain(bool upload, int64_t bytes)
{
    PrivRequest req {};
    req.op = kPrivDomainTotals;
    req.uid = upload ? 1 : 0;
    req.gid = bytes;
    PublishedWithRequest();
    (void) PrivCall(req, -1);
}

bool ForwardedToPoolChild(LoginWord word, char *arg)
{
    if (!gFront)
        return false;
    SnapshotState(word, arg);
    explicit_bzero(arg, strlen(arg));
    // Under TLS a login hands the user's process a plain socket to this one.
    int relay[2] = {-1, -1};
    if (TlsActive(kTlsControl) && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, relay) < 0) {
        LogPerror("socketpair");
        Reply("421 Service not available, closing control connection.\r\n");
        DoneConnection(kEndIOError);
    }
    // The pool child never holds the client's connection before a login:
    // it gets it (or the relay's end) with each word that may log in.
    PublishedWithRequest();
    const bool answered = CallPoolChild(relay[1] >= 0 ? relay[1] : gCtrl);
    if (relay[1] >= 0)
        close(relay[1]);
    if (!answered)
        _exit(1);           // the pool child is gone: so is the session
    gFailedLogins = gAnswer.head.failedLogins;
    Strncpy(gFailedUserNames, gAnswer.head.failedUserNames);
    switch (gAnswer.head.outcome) {
    case kLoginHandedOver:
        if (relay[0] >= 0)
            RelayControl(relay[0]);
        _exit(0);
    case kLoginEnd:
        EndAsTold();
    default:
        break;
    }
    if (relay[0] >= 0)
        close(relay[0]);
    if (word == kLoginRein)
        ForgetPreLoginState();
    if (gAnswer.head.replyLen > 0) {
        const int rc = ControlWrite(gAnswer.reply, gAnswer.head.replyLen, kReplyTimeout);
        if (rc != static_cast<int>(gAnswer.head.replyLen))
            DoneConnection(rc == kSioErrBrokenPipe ? kEndBrokenPipe : kEndIOError);
    }
    return true;
}

// ---- The pool child ------------------------------------------------------------------------

bool CaptureReply(const char *text, size_t len)
{
    if (!gRunning)
        return false;
    const size_t room = kLoginReplyMax - gAnswer.head.replyLen;
    const size_t n = len < room ? len : room;
    memcpy(gAnswer.reply + gAnswer.head.replyLen, text, n);
    gAnswer.head.replyLen += static_cast<uint32_t>(n);
    return true;
}

int ServeLoginWord(int channel, LoginRecord &req, TlsControlExport *tls, int relayFd)
{
    ON_LOGIN_PAGES static char arg[kLineBufSize];
    ShmPublishMailbox(false);
    memcpy(arg, req.arg, sizeof(arg));
    arg[sizeof(arg) - 1] = '\0';
    // The record stays where the next client's front is forked from: a
    // password in it would be there for that front to read.
    WipeIfSet(req.arg, sizeof(req.arg));
    CloseRelay();
    ApplyState(req, tls);
    gAnswerChannel = channel;
    gAnswerSeq = req.seq;
    gAnswer.head.replyLen = 0;
    gRelayFd = relayFd;
    // Without TLS nothing is copied (gRelayedTls is all zero after
    // CloseRelay); the word's TLS state, once copied, is wiped: a later
    // session of this pool child must not find it.
    if (tls != nullptr && !AllZero(tls, sizeof(*tls))) {
        memcpy(&gRelayedTls, tls, sizeof(gRelayedTls));
        explicit_bzero(tls, sizeof(*tls));
    }
    const int jumped = sigsetjmp(gLoginJmp, 1);
    if (jumped == 0) {
        gRunning = true;
        RunWord(req.word, arg);
        gRunning = false;
        // PASS has wiped its password already: the session's process
        // comes by here after its fork (its pool child by the wipe below),
        // and neither copies the page to wipe zeros.
        WipeIfSet(arg, sizeof(arg));
        if (gPrivChannel >= 0)
            CommandCycle();     // the user's process, made by this word: the session goes on
        CloseRelay();
        ShmRefreshMailbox();    // the front sees what the word changed
        return SendAnswer(kLoginGoOn) ? kLoginServed : -2;
    }
    gRunning = false;
    WipeIfSet(arg, sizeof(arg));
    CloseRelay();
    if (jumped == kJmpEnd) {
        (void) SendAnswer(kLoginEnd);
        return kLoginEnded;
    }
    (void) SendAnswer(kLoginHandedOver);
    return kLoginHandOver;
}

bool RunningLoginWord()
{
    return gRunning;
}

void EndLoginWord(int reason)
{
    gEndReason = reason;
    siglongjmp(gLoginJmp, kJmpEnd);
}

int LoginEndReason()
{
    return gEndReason;
}

void HandOver(pid_t pid, int channel)
{
    gHandOverPid = pid;
    gHandOverChannel = channel;
    siglongjmp(gLoginJmp, kJmpHandOver);
}

pid_t HandOverPid()
{
    return gHandOverPid;
}

int HandOverChannel()
{
    return gHandOverChannel;
}

void TakeOverControl()
{
    if (!gRunning)
        return;
    gRunning = false;
    if (gCtrl >= 0)
        close(gCtrl);
    gCtrl = gRelayFd;
    gRelayFd = -1;
    gSrl.fd = gCtrl;
    if (gRelayedTls.description[0] != '\0') {
        gRelayed = true;
        TlsMarkRelayedControl(gCtrl, gRelayedTls);
    }
    // Written once (gRunning is false from now on) and left as they are:
    // their page stays the one this process shares with its pool child.
    const uint32_t len = gAnswer.head.replyLen;
    if (len > 0) {
        const int rc = ControlWrite(gAnswer.reply, len, kReplyTimeout);
        if (rc != static_cast<int>(len))
            DoneConnection(rc == kSioErrBrokenPipe ? kEndBrokenPipe : kEndIOError);
    }
}

void FinishTakeOver()
{
    if (gRelayed)
        TlsAdoptRelayedSecrets(gRelayedTls);
    WipeIfSet(&gRelayedTls, sizeof(gRelayedTls));
}

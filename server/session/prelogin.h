// Before a login the client is served by a process with no rights at all
// (the front): an unprivileged account, an empty root it cannot write, no
// capabilities, and a system-call filter that ends it on any call outside
// its list.  The words that decide a login (USER, PASS, REIN) it hands to
// its pool child as one fixed record, with the state the commands before
// them set; the pool child runs them and sends the replies back.  A login
// that succeeds continues in a new process of the user's (privsep.h), which
// takes the control connection over: itself, or, under TLS, through the
// front, which stays behind to relay the control connection's records.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "session/shell.h"
#include "tls/tls.h"

// QUIT comes too: its goodbye message is a file the front cannot read.
enum LoginWord : int32_t { kLoginUser = 1, kLoginPass = 2, kLoginRein = 3, kLoginQuit = 4 };
enum LoginOutcome : int32_t { kLoginGoOn = 0, kLoginEnd = 1, kLoginHandedOver = 2 };

constexpr size_t kLoginInputMax = 1024;     // the line reader's buffer
constexpr size_t kLoginReplyMax = 16384;

// A login word and what the commands before it set.
struct LoginRecord {
    int32_t op;                     // kPrivLogin, where every request has its op
    int32_t length;                 // 0
    uint32_t seq;
    int32_t word;                   // LoginWord
    char arg[kLineBufSize];
    // What the commands before it set.
    int32_t mlsOpts, clientType, pbszDone, protPrivate;
    int64_t totalCmdIdleTime;
    int32_t cmdCounts[kNumCmdCounters];
    // Bytes the client sent after this command, not yet read as commands.
    uint32_t inputLen;
    char input[kLoginInputMax];
};

// As the front sends it: the record, then the TLS state of its control
// connection, which the pool child reads apart; without TLS the record
// goes alone.
struct LoginRequest {
    LoginRecord record;
    TlsControlExport tls;
};
static_assert(offsetof(LoginRequest, tls) == sizeof(LoginRecord), "the TLS state follows the record");
constexpr size_t kLoginRequestSize = sizeof(LoginRecord) + sizeof(TlsControlExport);   // no padding after it

struct LoginAnswerHead {
    uint32_t seq;
    int32_t outcome;                // LoginOutcome
    int32_t failedLogins;
    char failedUserNames[32];
    uint32_t replyLen;
};

struct LoginAnswer {
    LoginAnswerHead head;
    char reply[kLoginReplyMax];
};

// ---- The front (its own process) ------------------------------------------------------------

// In a server started as root, after the greeting: forks the front, which
// returns here as an unprivileged process to read the client's commands;
// the pool child itself returns only through the end of the session.
void StartFront();

// In the front: hands the login word with its argument to the pool child,
// writes the replies that come back and goes on, ends, or, when the login
// succeeded, leaves the session to the user's process.  False in any other
// process, which runs the word itself.
[[nodiscard]] bool ForwardedToPoolChild(LoginWord word, char *arg);

// In the front and the session's process: the pool child publishes what the
// process recorded in its slot (it cannot write the status area), when
// anything changed since the last time.  Called before every reply; the
// pool child also publishes before it serves any request, and every second
// while the process is busy.  Elsewhere nothing.
void PublishOwnSlot();

// The process ends after its next replies (QUIT): they are not published
// one by one, since the pool child publishes the slot with the session's
// last figures when the process has gone, before it clears it.
void PublishOnlyAtEnd();

// In the session's process: the pool child adds the transfer to the totals
// of the session's domain set (the status area is read-only here).
void CountTransferForDomain(bool upload, int64_t bytes);

// ---- The pool child's side ------------------------------------------------------------------

// Results of ServeLoginWord for the pool child's wait.
constexpr int kLoginServed = 0;
constexpr int kLoginEnded = 3;          // the session ended; DoneConnection(LoginEndReason()) follows
constexpr int kLoginHandOver = 4;       // the user's process (HandOverPid) serves on

// Runs one word the front sent (with the relay's socket when under TLS) and
// answers it on channel.  In the user's process that a successful login
// forks this never returns: the session goes on there.
[[nodiscard]] int ServeLoginWord(int channel, LoginRecord &req, TlsControlExport *tls, int relayFd);

// While the pool child runs a word for the front, replies are collected for
// it (CaptureReply takes them) and the end of the session is the front's to
// carry out.
[[nodiscard]] bool RunningLoginWord();
[[nodiscard]] bool CaptureReply(const char *text, size_t len);
[[noreturn]] void EndLoginWord(int reason);
[[nodiscard]] int LoginEndReason();

// The user's process made by a successful login: the pool child's part
// (HandOver: never returns) and the process's own (TakeOverControl: the
// control connection, the TLS it relays, the replies collected so far).
[[noreturn]] void HandOver(pid_t pid, int channel);
[[nodiscard]] pid_t HandOverPid();
[[nodiscard]] int HandOverChannel();
void TakeOverControl();
void FinishTakeOver();

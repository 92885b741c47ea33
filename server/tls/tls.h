// FTP over TLS: the per-process context (certificate, key, session cache)
// and the TLS reads and writes of the control and the data connection.
//
// The master reads and checks the certificate and key before it forks
// (TlsPrepare); each child builds its own context from them once, before it
// serves anyone (TlsLoadContext), and keeps it for every session it serves.
// A session starts with fresh ticket keys and an empty session cache
// (TlsStartSession), so a data connection can resume only a TLS session
// that this session's control connection made.
//
// The calls never block beyond their time limit: a descriptor under TLS is
// non-blocking and every wait is a poll with a deadline; no signal jumps out
// of the library.  Results follow the socket library: a count, 0 at the
// end, or kSioErrSystem / kSioErrTimeout / kSioErrBrokenPipe.
#pragma once

#include <cstddef>
#include <cstdint>

// The two connections of a session that may carry TLS.
enum TlsChannel { kTlsControl = 0, kTlsData = 1 };

// Returned by TlsRead and TlsWrite when the watch's check asked to stop.
constexpr int kTlsInterrupted = -10;

// While a transfer waits on the data connection, readiness of fd (the
// control connection) calls check(): 1 stops the call (kTlsInterrupted),
// 0 goes on, -1 stops watching.
struct TlsWatch {
    int fd;
    int (*check)();
};

// ---- The context (tlscontext.cc) ------------------------------------------------------

// Master, as root, before forking: reads tls-certificate-file and
// tls-key-file, and checks that they load and that the key matches the
// certificate.  0, or -1 after printing the reason to standard error.
[[nodiscard]] int TlsPrepare();

// Child, once, before any identity switch: builds this process's context
// from what TlsPrepare read, and one without certificate and key for its
// sessions' processes, then wipes that copy.  0, or -1 (logged).
[[nodiscard]] int TlsLoadContext();

// A process that must hold no key (the helper that looks a client's name
// up, which parses bytes a client controls and may reach the network): the
// context goes, and OpenSSL wipes its key as it frees it; the PEM copy is
// wiped too.  No TLS in this process after.
void TlsForgetKeys();

// A session's process, before it takes the user's identity: its data
// connections only resume the control connection's TLS session, which needs
// no private key, so it frees the context with the key (which wipes it) and
// keeps the one without certificate and key that TlsLoadContext built
// beside it, with this session's ticket keys and session id context.  A
// handshake that would not resume then fails as kTlsNotResumed.
void TlsKeepOnlyResumption();

// 1 when this process has a context to accept TLS with.
[[nodiscard]] int TlsAvailable();

// At the start of each session: new ticket keys, the session cache emptied.
void TlsStartSession();

// ---- Connections (tlsio.cc) -----------------------------------------------------------

// A data connection's handshake that would not resume a session, in a
// process whose context has no key (TlsKeepOnlyResumption).
constexpr int kTlsNotResumed = -2;

// The server side of the handshake on fd within seconds.  0, or -1 with
// the reason in TlsLastError(), or kTlsNotResumed.  The descriptor stays
// non-blocking while the channel is active.
[[nodiscard]] int TlsAccept(TlsChannel ch, int fd, int seconds);

// Candidates for the data connection: handshakes driven side by side in
// slots 0 .. kTlsCandidates - 1, each step without waiting, so that one
// peer that stalls its hello holds up no other.
constexpr int kTlsCandidates = 8;

// Starts the server side on fd in slot (made non-blocking).  0, or -1.
[[nodiscard]] int TlsCandidateStart(int slot, int fd);

// Moves the slot's handshake on as far as the network allows: 1 when done,
// 0 when it waits for *events (POLLIN or POLLOUT) on its descriptor, -1
// when it failed (the reason in TlsLastError()), kTlsNotResumed when it
// did not resume a session.
[[nodiscard]] int TlsCandidateStep(int slot, short *events);

// The slot's finished handshake becomes the data channel.
void TlsCandidateAdopt(int slot);

// Frees the slot's state without a word to the peer; the descriptor stays open.
void TlsCandidateDrop(int slot);

// 1 while the channel carries TLS.
[[nodiscard]] int TlsActive(TlsChannel ch);

// 1 when the data channel's handshake resumed the control channel's TLS
// session (checked by the session identity, not just "some session").
[[nodiscard]] int TlsDataResumesControl();

// Reads what has come, at most size bytes, waiting up to seconds for the
// first.  0 when the peer ended TLS cleanly (close_notify); a connection
// closed without it is kSioErrSystem with ECONNABORTED.
[[nodiscard]] int TlsRead(TlsChannel ch, void *buf, size_t size, int seconds, const TlsWatch *watch = nullptr);

// 1 when TlsRead would return without waiting for the network.
[[nodiscard]] int TlsReadPending(TlsChannel ch);

// Writes every byte, each wait limited to seconds.  size, or a negative
// result (what was written before a failure is lost to the caller: the
// connection is unusable after it).
[[nodiscard]] int TlsWrite(TlsChannel ch, const void *buf, size_t size, int seconds,
                           const TlsWatch *watch = nullptr);

// Ends TLS on the channel: close_notify sent within seconds, then the
// state freed and the descriptor made blocking again.  0 when the
// close_notify went out (or the peer had already sent its own), -1 when it
// could not be sent.  The descriptor is not closed.
[[nodiscard]] int TlsShutdown(TlsChannel ch, int seconds);

// Frees the channel's state without a word to the peer (failures, and the
// end of a process).
void TlsDrop(TlsChannel ch);

// The reason of the last failed call, for the log.
[[nodiscard]] const char *TlsLastError();

// The protocol and cipher of an active channel ("TLSv1.3 TLS_AES_256_GCM_SHA384").
[[nodiscard]] const char *TlsDescription(TlsChannel ch);

// ---- A control connection relayed by another process (tlsio.cc) ----------------------

// A session that logs in continues in another process than the one that
// made the control connection's TLS; that one stays behind as a relay and
// the session reads and writes plain text on a local socket.  What the
// session needs of the TLS it no longer holds: its description, the secrets
// a data connection may resume, and the session itself for the cache.
constexpr int kTlsControlSecrets = 8;
constexpr int kTlsSecretMax = 48;
constexpr size_t kTlsExportedSessionMax = 4096;
struct TlsControlExport {
    char description[96];
    uint32_t secretLens[kTlsControlSecrets];
    uint8_t secrets[kTlsControlSecrets][kTlsSecretMax];
    uint32_t sessionLen;
    uint8_t session[kTlsExportedSessionMax];
};

// Fills out from the control channel (all zero when it carries no TLS).
void TlsExportControl(TlsControlExport *out);

// From now on the control channel is the relay's plain socket fd (-1 in a
// process that only decides for the relay's): TlsActive says 1, reads and
// writes on it are plain.  The description is in's.
void TlsMarkRelayedControl(int fd, const TlsControlExport &in);

// A data connection may resume what in names: its secrets, and its session,
// taken into the cache here (parsed: call it with the session's own rights,
// never as root).
void TlsAdoptRelayedSecrets(const TlsControlExport &in);

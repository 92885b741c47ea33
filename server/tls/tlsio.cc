// TLS on the control and data connections: the handshake, reads, writes and
// close_notify.  Each channel's descriptor is non-blocking while it carries
// TLS, and every wait is a poll against a deadline, so a client that stalls
// a handshake or a record costs at most the time limit.
#include "tls/tls.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sio.h"
#include "tls/tlsinternal.h"

namespace {

struct Channel {
    SSL *ssl = nullptr;
    int fd = -1;
    int savedFlags = 0;
    bool relayed = false;   // control only: plain text to the process that holds the TLS
    bool gathering = false; // data only: records collect in a buffer, sent by one write each call
    bool readingAhead = false;  // data only: records come from a buffer that one read fills
};

// A data connection reads ahead: one read of the socket takes many records
// (a record is at most 16 KiB), which the library then takes from the buffer
// in front of the socket.  (The library's own read-ahead moves what is left
// in its buffer to the front for every record: quadratic in its size.)  The
// records written by one call are gathered and go out in one write: a write
// to the socket costs more than the copy.
constexpr long kDataReadAhead = 256 * 1024;
constexpr long kDataGather = 320 * 1024;     // a 256 KiB call's records and their overhead

Channel gChannels[2];
char gLastError[200];

// The secrets a data connection's session may carry: the control
// connection's master secret (TLS 1.2) and the resumption secret of each
// ticket it was given (TLS 1.3).  A session that resumes one of them can
// only be the control connection's client's.
struct ControlSecret {
    unsigned char key[SSL_MAX_MASTER_KEY_LENGTH];
    size_t len = 0;
};
constexpr int kControlSecrets = kTlsControlSecrets;
static_assert(SSL_MAX_MASTER_KEY_LENGTH <= kTlsSecretMax);
ControlSecret gControlSecrets[kControlSecrets];
int gNextControlSecret;

void ForgetControlSecrets()
{
    for (ControlSecret &s : gControlSecrets) {
        explicit_bzero(s.key, sizeof(s.key));
        s.len = 0;
    }
    gNextControlSecret = 0;
}

void NoteControlSecret(const SSL_SESSION *session)
{
    if (session == nullptr)
        return;
    ControlSecret &s = gControlSecrets[gNextControlSecret];
    gNextControlSecret = (gNextControlSecret + 1) % kControlSecrets;
    s.len = SSL_SESSION_get_master_key(session, s.key, sizeof(s.key));
}

bool IsControlSecret(const SSL_SESSION *session)
{
    unsigned char key[SSL_MAX_MASTER_KEY_LENGTH];
    const size_t len = session != nullptr ? SSL_SESSION_get_master_key(session, key, sizeof(key)) : 0;
    bool found = false;
    for (const ControlSecret &s : gControlSecrets) {
        if (len > 0 && s.len == len && CRYPTO_memcmp(s.key, key, len) == 0)
            found = true;
    }
    explicit_bzero(key, sizeof(key));
    return found;
}

// Set by TlsRefuseFullHandshake during the handshake step that ends there.
bool gFullHandshakeRefused;

// The result of a failed handshake step: kTlsNotResumed when it was refused
// for not resuming a session.
int HandshakeFailed()
{
    const bool full = gFullHandshakeRefused;
    gFullHandshakeRefused = false;
    return full ? kTlsNotResumed : -1;
}

// A data connection's own handshake is never worth resuming: whoever made
// it gets no ticket and no cached session id to come back with.
int NeverResumable(SSL *, int)
{
    return 1;
}
char gDescription[96];
char gRelayedDescription[96];

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void NoteError(const char *what)
{
    const unsigned long e = ERR_peek_last_error();
    if (e != 0) {
        char reason[160];
        ERR_error_string_n(e, reason, sizeof(reason));
        snprintf(gLastError, sizeof(gLastError), "%s: %s", what, reason);
    } else {
        snprintf(gLastError, sizeof(gLastError), "%s", what);
    }
    ERR_clear_error();
}

// What waiting for the network ended in.
enum class Wait { kReady, kTimeout, kInterrupted, kFailed };

// Waits until fd is ready for events or the deadline passes.  A watched
// descriptor that becomes readable calls the watch's check; *watching is
// cleared when it asks to stop watching.
Wait WaitFor(int fd, short events, long long deadline, const TlsWatch *watch, bool *watching)
{
    for (;;) {
        const long long left = deadline - NowMs();
        if (left <= 0)
            return Wait::kTimeout;
        struct pollfd p[2] = {{fd, events, 0}, {-1, POLLIN, 0}};
        const bool watched = watch != nullptr && *watching;
        if (watched)
            p[1].fd = watch->fd;
        const int r = poll(p, watched ? 2 : 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Wait::kFailed;
        if (watched && p[1].revents != 0) {
            const int c = (p[1].revents & POLLIN) != 0 ? watch->check() : -1;
            if (c > 0)
                return Wait::kInterrupted;
            if (c < 0)
                *watching = false;
        }
        if (p[0].revents != 0)
            return Wait::kReady;    // errors and hang-ups show in the next call
    }
}

// One step of the loop around a call that may want the network: whether to
// call again, or the result to return.
// A call that failed for good (error e of SSL_get_error): the reason noted,
// errno set, and the result to return.
int Failure(int e)
{
    if (e == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (e == SSL_ERROR_SYSCALL) {
        // An end of the connection without close_notify, or a socket error.
        if (errno == 0)
            errno = ECONNABORTED;
        NoteError(errno == EPIPE ? "broken pipe" : errno == ECONNRESET ? "connection reset" : "connection lost");
        return errno == EPIPE ? kSioErrBrokenPipe : kSioErrSystem;
    }
    const unsigned long reason = ERR_GET_REASON(ERR_peek_last_error());
    NoteError("TLS error");
    errno = reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ? ECONNABORTED : EPROTO;
    return kSioErrSystem;
}

bool Retry(SSL *ssl, int rc, int fd, long long deadline, const TlsWatch *watch, bool *watching, int *result)
{
    const int e = SSL_get_error(ssl, rc);
    Wait w;
    switch (e) {
    case SSL_ERROR_WANT_READ:
        w = WaitFor(fd, POLLIN, deadline, watch, watching);
        break;
    case SSL_ERROR_WANT_WRITE:
        w = WaitFor(fd, POLLOUT, deadline, watch, watching);
        break;
    default:
        *result = Failure(e);
        return false;
    }
    switch (w) {
    case Wait::kReady:
        return true;
    case Wait::kTimeout:
        snprintf(gLastError, sizeof(gLastError), "timed out");
        errno = ETIMEDOUT;
        *result = kSioErrTimeout;
        return false;
    case Wait::kInterrupted:
        *result = kTlsInterrupted;
        return false;
    case Wait::kFailed:
        break;
    }
    NoteError("poll failed");
    *result = kSioErrSystem;
    return false;
}

void Release(Channel &c)
{
    if (&c == &gChannels[kTlsControl])
        ForgetControlSecrets();
    SSL_free(c.ssl);
    c.ssl = nullptr;
    c.gathering = false;
    c.readingAhead = false;
    if (c.fd >= 0)
        fcntl(c.fd, F_SETFL, c.savedFlags);
    c.fd = -1;
    ERR_clear_error();
}

// A watch that has something to read before anything is sent: checked
// without waiting, so that a client reading as fast as the server writes
// still has its ABOR seen.
int CheckWatchNow(const TlsWatch *watch)
{
    if (watch == nullptr)
        return 0;
    struct pollfd p = {watch->fd, POLLIN, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0)
        return watch->check();
    return 0;
}

// A buffer in front of the socket for one direction of a data connection,
// from its first read or write on (its handshake is over, and the library
// holds no byte read ahead): true when it is there.
bool StartBuffering(Channel &c, bool write)
{
    bool &done = write ? c.gathering : c.readingAhead;
    if (done || &c != &gChannels[kTlsData])
        return done;
    BIO *socket = write ? SSL_get_wbio(c.ssl) : SSL_get_rbio(c.ssl);
    BIO *buffer = BIO_new(BIO_f_buffer());
    const long size = write ? kDataGather : kDataReadAhead;
    const int sized = buffer == nullptr ? 0
                      : write          ? BIO_set_write_buffer_size(buffer, size)
                                       : BIO_set_read_buffer_size(buffer, size);
    if (socket == nullptr || sized != 1 || BIO_up_ref(socket) != 1) {
        BIO_free(buffer);
        ERR_clear_error();
        return false;               // record by record, straight on the socket
    }
    BIO_push(buffer, socket);
    // Each gives back the reference to the socket the channel held.
    if (write)
        SSL_set0_wbio(c.ssl, buffer);
    else
        SSL_set0_rbio(c.ssl, buffer);
    done = true;
    return true;
}

// Sends what the buffer holds: 0, or the result to return.
int FlushGathered(Channel &c, long long deadline, const TlsWatch *watch, bool *watching)
{
    if (!c.gathering)
        return 0;
    BIO *buffer = SSL_get_wbio(c.ssl);
    for (;;) {
        errno = 0;
        if (BIO_flush(buffer) > 0)
            return 0;
        if (!BIO_should_retry(buffer)) {
            if (errno == 0)
                errno = EIO;
            NoteError(errno == EPIPE ? "broken pipe" : errno == ECONNRESET ? "connection reset" : "write failed");
            return errno == EPIPE ? kSioErrBrokenPipe : kSioErrSystem;
        }
        switch (WaitFor(c.fd, POLLOUT, deadline, watch, watching)) {
        case Wait::kReady:
            continue;
        case Wait::kTimeout:
            snprintf(gLastError, sizeof(gLastError), "timed out");
            errno = ETIMEDOUT;
            return kSioErrTimeout;
        case Wait::kInterrupted:
            return kTlsInterrupted;
        case Wait::kFailed:
            NoteError("poll failed");
            return kSioErrSystem;
        }
    }
}

// After a read that returned n bytes, the records already read ahead, as
// far as buf has room: no call waits for the network.
int TakeReadAhead(Channel &c, char *buf, size_t size, int n)
{
    if (!c.readingAhead)
        return n;
    while (static_cast<size_t>(n) < size && (SSL_has_pending(c.ssl) == 1 || BIO_pending(SSL_get_rbio(c.ssl)) > 0)) {
        const int more = SSL_read(c.ssl, buf + n, static_cast<int>(size - static_cast<size_t>(n)));
        if (more <= 0) {
            ERR_clear_error();      // the next call sees it again (the end, or a part of a record)
            break;
        }
        n += more;
    }
    return n;
}

// The loop around one SSL_read or SSL_write: waits (with the watch) until
// the call moves bytes, the deadline passes or the watch interrupts.
int RunIo(Channel &c, bool write, void *buf, size_t size, int seconds, const TlsWatch *watch)
{
    if (CheckWatchNow(watch) > 0)
        return kTlsInterrupted;
    const long long deadline = NowMs() + static_cast<long long>(seconds) * 1000;
    bool watching = watch != nullptr;
    StartBuffering(c, write);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        // Without partial writes SSL_write returns only when every byte
        // went into the socket (or the buffer, sent next); a retry passes
        // the same arguments.
        const int n = write ? SSL_write(c.ssl, buf, static_cast<int>(size))
                            : SSL_read(c.ssl, buf, static_cast<int>(size));
        if (n > 0 && write) {
            const int flushed = FlushGathered(c, deadline, watch, &watching);
            return flushed == 0 ? n : flushed;
        }
        if (n > 0)
            return TakeReadAhead(c, static_cast<char *>(buf), size, n);
        int result = 0;
        if (!Retry(c.ssl, n, c.fd, deadline, watch, &watching, &result))
            return write && result == 0 ? kSioErrSystem : result;
    }
}

// The server side of TLS on fd, not started: the descriptor made
// non-blocking.  A data connection gets nothing to resume later.
int Prepare(Channel &c, int fd, bool data)
{
    if (gTlsCtx == nullptr) {
        snprintf(gLastError, sizeof(gLastError), "no TLS context");
        return -1;
    }
    ERR_clear_error();
    c.ssl = SSL_new(gTlsCtx);
    const int flags = fcntl(fd, F_GETFL);
    if (c.ssl == nullptr || flags < 0 || SSL_set_fd(c.ssl, fd) != 1
        || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        NoteError("cannot start TLS");
        SSL_free(c.ssl);
        c.ssl = nullptr;
        return -1;
    }
    if (data) {
        SSL_set_num_tickets(c.ssl, 0);
        SSL_set_not_resumable_session_callback(c.ssl, NeverResumable);
    }
    c.fd = fd;
    c.savedFlags = flags;
    return 0;
}

// The relay's socket is the caller's to close.
void EndRelayed(Channel &c)
{
    if (!c.relayed)
        return;
    c.relayed = false;
    c.fd = -1;
}

// A read of the relay's plain socket, with the results of a TLS read.
int RelayedRead(int fd, void *buf, size_t size, int seconds)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, seconds * 1000)) < 0 && errno == EINTR) {
    }
    if (r == 0) {
        errno = ETIMEDOUT;
        return kSioErrTimeout;
    }
    ssize_t n;
    while ((n = read(fd, buf, size)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        return errno == EAGAIN ? kSioErrTimeout : kSioErrSystem;
    return static_cast<int>(n);
}

Channel gCandidates[kTlsCandidates];

// Frees a channel's state without a word to the peer.  Not even the error
// queue is touched when TLS was not used: its first use sets up the
// library's state in this process, some 50 kB that every child would copy
// when TLS is off.
void DropQuietly(Channel &c)
{
    if (c.ssl == nullptr)
        return;
    SSL_set_quiet_shutdown(c.ssl, 1);
    Release(c);
}

}  // namespace

int TlsAccept(TlsChannel ch, int fd, int seconds)
{
    Channel &c = gChannels[ch];
    TlsDrop(ch);
    if (Prepare(c, fd, ch == kTlsData) < 0)
        return -1;
    const long long deadline = NowMs() + static_cast<long long>(seconds) * 1000;
    bool watching = false;
    gFullHandshakeRefused = false;
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_accept(c.ssl);
        if (rc == 1) {
            if (ch == kTlsControl)
                NoteControlSecret(SSL_get_session(c.ssl));
            return 0;
        }
        int result = 0;
        if (!Retry(c.ssl, rc, fd, deadline, nullptr, &watching, &result))
            break;
    }
    char why[sizeof(gLastError)];
    snprintf(why, sizeof(why), "%s", gLastError);
    Release(c);
    snprintf(gLastError, sizeof(gLastError), "%s", why);
    return HandshakeFailed();
}

int TlsActive(TlsChannel ch)
{
    return gChannels[ch].ssl != nullptr || gChannels[ch].relayed;
}

int TlsDataResumesControl()
{
    // "Resumed" alone is not enough: any session this process issued would
    // do.  The data connection's secret must be one the control
    // connection's client was given.
    const Channel &d = gChannels[kTlsData];
    return d.ssl != nullptr && TlsActive(kTlsControl) && SSL_session_reused(d.ssl) == 1
           && IsControlSecret(SSL_get_session(d.ssl));
}

int TlsRefuseFullHandshake(SSL *, void *)
{
    gFullHandshakeRefused = true;
    return 0;
}

int TlsNoteTicket(SSL *ssl, void *)
{
    // Called as each ticket is made, its session holding the ticket's secret.
    if (ssl == gChannels[kTlsControl].ssl)
        NoteControlSecret(SSL_get_session(ssl));
    return 1;
}

int TlsRead(TlsChannel ch, void *buf, size_t size, int seconds, const TlsWatch *watch)
{
    Channel &c = gChannels[ch];
    if (c.relayed)
        return RelayedRead(c.fd, buf, size, seconds);
    if (c.ssl == nullptr) {
        errno = EBADF;
        return kSioErrSystem;
    }
    if (size > INT_MAX)
        size = INT_MAX;
    return RunIo(c, false, buf, size, seconds, watch);
}

int TlsReadPending(TlsChannel ch)
{
    const Channel &c = gChannels[ch];
    return c.ssl != nullptr && SSL_pending(c.ssl) > 0;
}

int TlsWrite(TlsChannel ch, const void *buf, size_t size, int seconds, const TlsWatch *watch)
{
    Channel &c = gChannels[ch];
    if (c.relayed)
        return SWrite(c.fd, buf, size, seconds);
    if (c.ssl == nullptr) {
        errno = EBADF;
        return kSioErrSystem;
    }
    if (size == 0)
        return 0;
    if (size > INT_MAX) {
        errno = EINVAL;
        return kSioErrSystem;
    }
    return RunIo(c, true, const_cast<void *>(buf), size, seconds, watch);
}

int TlsShutdown(TlsChannel ch, int seconds)
{
    Channel &c = gChannels[ch];
    EndRelayed(c);          // the relay says close_notify when its socket ends
    if (c.ssl == nullptr)
        return 0;
    const bool peerDone = (SSL_get_shutdown(c.ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
    const long long deadline = NowMs() + static_cast<long long>(seconds) * 1000;
    bool watching = false;
    int result = -1;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int rc = SSL_shutdown(c.ssl);
        if (rc >= 0) {          // 0: ours went out, the peer's has not come (not awaited)
            result = FlushGathered(c, deadline, nullptr, &watching);
            break;
        }
        int r = 0;
        if (SSL_get_error(c.ssl, rc) == SSL_ERROR_WANT_READ) {
            // ours went out; reading the peer's is not needed
            result = FlushGathered(c, deadline, nullptr, &watching);
            break;
        }
        if (!Retry(c.ssl, rc, c.fd, deadline, nullptr, &watching, &r))
            break;
    }
    // After the peer's own close_notify ours is a courtesy: the data all came.
    if (peerDone)
        result = 0;
    Release(c);
    return result;
}

void TlsDrop(TlsChannel ch)
{
    EndRelayed(gChannels[ch]);
    DropQuietly(gChannels[ch]);
}

const char *TlsLastError()
{
    return gLastError;
}

const char *TlsDescription(TlsChannel ch)
{
    const Channel &c = gChannels[ch];
    if (c.relayed)
        return gRelayedDescription;
    if (c.ssl == nullptr)
        return "none";
    snprintf(gDescription, sizeof(gDescription), "%s %s", SSL_get_version(c.ssl), SSL_get_cipher_name(c.ssl));
    return gDescription;
}

int TlsCandidateStart(int slot, int fd)
{
    TlsCandidateDrop(slot);
    return Prepare(gCandidates[slot], fd, true);
}

int TlsCandidateStep(int slot, short *events)
{
    Channel &c = gCandidates[slot];
    ERR_clear_error();
    errno = 0;
    gFullHandshakeRefused = false;
    const int rc = SSL_accept(c.ssl);
    if (rc == 1)
        return 1;
    const int e = SSL_get_error(c.ssl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        *events = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return 0;
    }
    if (Failure(e) == 0)
        snprintf(gLastError, sizeof(gLastError), "closed during the handshake");
    return HandshakeFailed();
}

void TlsCandidateAdopt(int slot)
{
    TlsDrop(kTlsData);
    gChannels[kTlsData] = gCandidates[slot];
    gCandidates[slot] = Channel{};
}

void TlsCandidateDrop(int slot)
{
    DropQuietly(gCandidates[slot]);
}

void TlsExportControl(TlsControlExport *out)
{
    memset(out, 0, sizeof(*out));
    const Channel &c = gChannels[kTlsControl];
    if (c.ssl == nullptr)
        return;
    snprintf(out->description, sizeof(out->description), "%s", TlsDescription(kTlsControl));
    for (int i = 0; i < kControlSecrets; i++) {
        out->secretLens[i] = static_cast<uint32_t>(gControlSecrets[i].len);
        memcpy(out->secrets[i], gControlSecrets[i].key, gControlSecrets[i].len);
    }
    SSL_SESSION *session = SSL_get_session(c.ssl);
    const int len = session != nullptr ? i2d_SSL_SESSION(session, nullptr) : 0;
    if (len > 0 && static_cast<size_t>(len) <= sizeof(out->session)) {
        unsigned char *p = out->session;
        out->sessionLen = static_cast<uint32_t>(i2d_SSL_SESSION(session, &p));
    }
}

void TlsMarkRelayedControl(int fd, const TlsControlExport &in)
{
    TlsDrop(kTlsControl);
    Channel &c = gChannels[kTlsControl];
    c.relayed = true;
    c.fd = fd;
    snprintf(gRelayedDescription, sizeof(gRelayedDescription), "%.*s", static_cast<int>(sizeof(in.description)),
             in.description);
}

void TlsAdoptRelayedSecrets(const TlsControlExport &in)
{
    ForgetControlSecrets();
    for (int i = 0; i < kControlSecrets; i++) {
        const size_t len = in.secretLens[i] <= kTlsSecretMax ? in.secretLens[i] : 0;
        gControlSecrets[i].len = len;
        memcpy(gControlSecrets[i].key, in.secrets[i], len);
    }
    if (gTlsCtx == nullptr || in.sessionLen == 0 || in.sessionLen > sizeof(in.session))
        return;
    // A session id (TLS 1.2) resumes from the cache; tickets open with the
    // context's keys, which the relay's process shares.
    const unsigned char *p = in.session;
    SSL_SESSION *session = d2i_SSL_SESSION(nullptr, &p, static_cast<long>(in.sessionLen));
    if (session != nullptr) {
        (void) SSL_CTX_add_session(gTlsCtx, session);
        SSL_SESSION_free(session);
    }
    ERR_clear_error();
}

// The per-process TLS context: the certificate and key read by the master,
// the context each child builds from them once, and the per-session reset
// of what lets a client resume a TLS session.
#include "tls/tls.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "log/log.h"
#include "tls/tlsinternal.h"

SSL_CTX *gTlsCtx;

namespace {

constexpr size_t kPemMax = 65536;              // a certificate chain or a key, as PEM text
constexpr long kSessionSeconds = 86400;        // resumable within one FTP session
constexpr long kSessionCacheSize = 128;
constexpr int kSessionIdContextSize = 32;      // SSL_MAX_SID_CTX_LENGTH
constexpr int kTicketKeysSize = 80;

// The PEM texts, read by the master while it is root; a child wipes its
// copy once its context holds them.
char gCertPem[kPemMax];
size_t gCertPemLen;
char gKeyPem[kPemMax];
size_t gKeyPemLen;

// A context without certificate and key, built with gTlsCtx: a session's
// process takes it in place of the one with the key (TlsKeepOnlyResumption).
// Made once, since a context costs a few hundred microseconds to make.
SSL_CTX *gResumeOnlyCtx;

// Reads a whole file of at most kPemMax - 1 bytes.  0, or -1 with errno.
int ReadPem(const char *path, char *dst, size_t *len)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    size_t n = 0;
    for (;;) {
        if (n == kPemMax - 1) {
            close(fd);
            errno = EFBIG;
            return -1;
        }
        const ssize_t r = read(fd, dst + n, kPemMax - 1 - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        if (r == 0)
            break;
        n += static_cast<size_t>(r);
    }
    close(fd);
    dst[n] = '\0';
    *len = n;
    return 0;
}

// An encrypted key cannot be unlocked by a daemon: no prompt, a failure.
int NoPassword(char *, int, int, void *)
{
    return -1;
}

void OpenSslReason(char *dst, size_t size, const char *what)
{
    const unsigned long e = ERR_peek_last_error();
    char reason[160] = "no further detail";
    if (e != 0)
        ERR_error_string_n(e, reason, sizeof(reason));
    ERR_clear_error();
    snprintf(dst, size, "%s (%s)", what, reason);
}

// The certificate (the first PEM block) and its chain (the blocks after it).
bool UseCertificateChain(SSL_CTX *ctx, char *why, size_t whySize)
{
    BIO *bio = BIO_new_mem_buf(gCertPem, static_cast<int>(gCertPemLen));
    if (bio == nullptr) {
        OpenSslReason(why, whySize, "out of memory");
        return false;
    }
    X509 *cert = PEM_read_bio_X509_AUX(bio, nullptr, NoPassword, nullptr);
    bool ok = cert != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1;
    X509_free(cert);
    if (!ok) {
        BIO_free(bio);
        OpenSslReason(why, whySize, "tls-certificate-file holds no usable certificate");
        return false;
    }
    while (X509 *ca = PEM_read_bio_X509(bio, nullptr, NoPassword, nullptr)) {
        if (SSL_CTX_add0_chain_cert(ctx, ca) != 1) {
            X509_free(ca);
            BIO_free(bio);
            OpenSslReason(why, whySize, "tls-certificate-file: a chain certificate was refused");
            return false;
        }
    }
    ERR_clear_error();          // the end of the chain reads as "no start line"
    BIO_free(bio);
    return true;
}

bool UseKey(SSL_CTX *ctx, char *why, size_t whySize)
{
    BIO *bio = BIO_new_mem_buf(gKeyPem, static_cast<int>(gKeyPemLen));
    EVP_PKEY *key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, NoPassword, nullptr) : nullptr;
    BIO_free(bio);
    if (key == nullptr) {
        OpenSslReason(why, whySize, "tls-key-file holds no usable private key");
        return false;
    }
    // Taking the key checks it against the certificate already.
    const bool taken = SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!taken || SSL_CTX_check_private_key(ctx) != 1) {
        OpenSslReason(why, whySize, "tls-key-file does not match tls-certificate-file");
        return false;
    }
    return true;
}

constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384";

// What every context of this server has, without a certificate or key:
// nullptr with the reason in why.
SSL_CTX *BaseContext(char *why, size_t whySize)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        OpenSslReason(why, whySize, "cannot make a TLS context");
        return nullptr;
    }
    const int minimum = gTlsMinProtocol == 13 ? TLS1_3_VERSION : TLS1_2_VERSION;
    if (SSL_CTX_set_min_proto_version(ctx, minimum) != 1) {
        OpenSslReason(why, whySize, "tls-min-protocol is not supported");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    // TLS 1.2: forward secrecy and authenticated encryption only (no static
    // RSA key exchange, no CBC with SHA-1); the TLS 1.3 suites stay as they are.
    if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
        OpenSslReason(why, whySize, "cannot set the TLS 1.2 cipher list");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Data connections resume the control connection's session: a server
    // cache for session ids, tickets for TLS 1.3 (and 1.2 clients that ask).
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(ctx, kSessionCacheSize);
    SSL_CTX_set_timeout(ctx, kSessionSeconds);
    if (SSL_CTX_set_session_ticket_cb(ctx, TlsNoteTicket, nullptr, nullptr) != 1) {
        OpenSslReason(why, whySize, "cannot watch the session tickets");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// A context from the PEM texts; nullptr with the reason in why.  What the
// library frees meanwhile is wiped: no copy of the key is left behind.
SSL_CTX *BuildContext(char *why, size_t whySize)
{
    TlsWipeFreedMemory(true);
    SSL_CTX *ctx = BaseContext(why, whySize);
    if (ctx != nullptr && (!UseCertificateChain(ctx, why, whySize) || !UseKey(ctx, why, whySize))) {
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
    TlsWipeFreedMemory(false);
    return ctx;
}

// Whether others than the key's owner may read or change it.  Debian keeps
// private keys readable by the group ssl-cert, made for just that; group
// read access for it alone is the system's own choice, not a warning.
bool KeyOpenToOthers(const struct stat &st)
{
    if ((st.st_mode & S_IRWXO) != 0 || (st.st_mode & (S_IWGRP | S_IXGRP)) != 0)
        return true;
    if ((st.st_mode & S_IRGRP) == 0)
        return false;
    const struct group *keys = getgrnam("ssl-cert");
    return keys == nullptr || keys->gr_gid != st.st_gid;
}

bool ReadFiles()
{
    if (gTlsCertificateFile[0] == '\0' || gTlsKeyFile[0] == '\0') {
        fprintf(stderr, "TLS is switched on (tls) but %s is not set.\n",
                gTlsCertificateFile[0] == '\0' ? "tls-certificate-file" : "tls-key-file");
        return false;
    }
    if (ReadPem(gTlsCertificateFile, gCertPem, &gCertPemLen) < 0) {
        fprintf(stderr, "Cannot read the TLS certificate file %s: %s.\n", gTlsCertificateFile, strerror(errno));
        return false;
    }
    if (ReadPem(gTlsKeyFile, gKeyPem, &gKeyPemLen) < 0) {
        fprintf(stderr, "Cannot read the TLS key file %s: %s.\n", gTlsKeyFile, strerror(errno));
        return false;
    }
    struct stat st;
    if (stat(gTlsKeyFile, &st) == 0 && KeyOpenToOthers(st))
        fprintf(stderr, "Warning: the TLS key file %s can be read by others than its owner (mode %03o).\n",
                gTlsKeyFile, static_cast<unsigned>(st.st_mode & 0777));
    return true;
}

}  // namespace

int TlsPrepare()
{
    if (gTlsMode == kTlsOff)
        return 0;
    if (!ReadFiles())
        return -1;
    char why[320];
    SSL_CTX *ctx = TlsLoadLibrary(why, sizeof(why)) == 0 ? BuildContext(why, sizeof(why)) : nullptr;
    if (ctx == nullptr) {
        fprintf(stderr, "TLS cannot start: %s.\n", why);
        return -1;
    }
    SSL_CTX_free(ctx);
    return 0;
}

int TlsLoadContext()
{
    if (gTlsMode == kTlsOff || gTlsCtx != nullptr)
        return 0;
    char why[320];
    gTlsCtx = TlsLoadLibrary(why, sizeof(why)) == 0 ? BuildContext(why, sizeof(why)) : nullptr;
    explicit_bzero(gKeyPem, sizeof(gKeyPem));
    gKeyPemLen = 0;
    gResumeOnlyCtx = gTlsCtx != nullptr ? BaseContext(why, sizeof(why)) : nullptr;
    if (gResumeOnlyCtx == nullptr) {
        if (gTlsCtx != nullptr)
            SSL_CTX_free(gTlsCtx);
        gTlsCtx = nullptr;
        Log(kLogMisc, "TLS cannot start: %s.\n", why);
        return -1;
    }
    SSL_CTX_set_cert_cb(gResumeOnlyCtx, TlsRefuseFullHandshake, nullptr);
    return 0;
}

namespace {

void DropContexts()
{
    if (gTlsCtx != nullptr)
        SSL_CTX_free(gTlsCtx);
    if (gResumeOnlyCtx != nullptr)
        SSL_CTX_free(gResumeOnlyCtx);
    gTlsCtx = gResumeOnlyCtx = nullptr;
}

// A fresh session's keys in ctx: its cache emptied, new ticket keys and
// session id context.  False when one could not be set.
bool FreshSessionKeys(SSL_CTX *ctx, unsigned char *keys, size_t keysSize, const unsigned char *sid, size_t sidSize)
{
    SSL_CTX_flush_sessions(ctx, static_cast<long>(time(nullptr)) + 2 * kSessionSeconds);
    return SSL_CTX_set_tlsext_ticket_keys(ctx, keys, static_cast<long>(keysSize)) == 1
           && SSL_CTX_set_session_id_context(ctx, sid, static_cast<unsigned>(sidSize)) == 1;
}

}  // namespace

void TlsForgetKeys()
{
    DropContexts();
    explicit_bzero(gKeyPem, sizeof(gKeyPem));
    gKeyPemLen = 0;
}

int TlsAvailable()
{
    return gTlsCtx != nullptr;
}

void TlsStartSession()
{
    if (gTlsCtx == nullptr)
        return;
    // Nothing a client of an earlier session was given resumes now: the
    // cached sessions go, tickets sealed with the old keys no longer open,
    // and a session of another context id is not taken.  The context
    // without the key gets the same, for the session's process.
    unsigned char keys[kTicketKeysSize];
    unsigned char sid[kSessionIdContextSize];
    if (RAND_bytes(keys, sizeof(keys)) != 1 || RAND_bytes(sid, sizeof(sid)) != 1
        || !FreshSessionKeys(gTlsCtx, keys, sizeof(keys), sid, sizeof(sid))
        || !FreshSessionKeys(gResumeOnlyCtx, keys, sizeof(keys), sid, sizeof(sid))) {
        // Without fresh keys a session of an earlier client might resume:
        // no TLS for this session.
        Log(kLogMisc, "TLS disabled for this session: no fresh session keys.\n");
        DropContexts();
    }
    explicit_bzero(keys, sizeof(keys));
    ERR_clear_error();
}

void TlsKeepOnlyResumption()
{
    if (gTlsCtx == nullptr)
        return;
    // Freeing the context that held the key wipes it.
    SSL_CTX_free(gTlsCtx);
    gTlsCtx = gResumeOnlyCtx;
    gResumeOnlyCtx = nullptr;
}

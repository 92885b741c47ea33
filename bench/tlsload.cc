// zorvad_tlsload: the benchmark's client for transfers over TLS.  One session,
// blocking and plain: connect, 220, AUTH TLS, USER, PASS, PBSZ 0, PROT P,
// TYPE I, then -n times PASV, RETR/STOR on a data connection that resumes the
// control connection's TLS session, data to the end and 226; QUIT.  Its own
// CPU time is in the report, so that a run can show the client was not the
// limit: one read of the socket fills a 256 KiB buffer from which the library
// takes its records (its own read-ahead would move what is left to the front
// of its buffer for every record), it writes large blocks, and discards what
// it reads unlooked at.
//
//   zorvad_tlsload -p PORT [-h ADDR] [-u USER] [-P PASS] [-x retr|stor] [-f PATH]
//                  [-s BYTES] [-n TRANSFERS] [-t TIMEOUT]
//
// The report on standard output is one "key value" line per figure, with the
// keys of zorvad_ftpload where they mean the same.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 256 * 1024;
constexpr size_t kReadAhead = 256 * 1024;

char gHost[64] = "127.0.0.1";
int gPort = 0;
char gUser[64] = "anonymous";
char gPass[64] = "bench@example.com";
bool gStor = false;
char gPath[256] = "big.bin";
long long gStorBytes = 0;
int gTransfers = 1;
int gTimeout = 60;

SSL_CTX *gCtx;
SSL_SESSION *gSession;          // the control connection's newest session
int gResumed;                   // data connections that resumed it
char gBuf[kBlock];

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A failed session is a result, as zorvad_ftpload counts it: reported, and
// the exit status stays 0 so that the run goes on.
[[noreturn]] void Die(const char *what) {
    fprintf(stderr, "zorvad_tlsload: %s\n", what);
    ERR_print_errors_fp(stderr);
    printf("transfers 0\nfailures 1\nfail %s 1\n", what);
    exit(0);
}

int Connect(const char *host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, host, &sin.sin_addr) != 1)
        Die("socket");
    timeval tv{gTimeout, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
        Die("connect");
    return fd;
}

// The control connection: plain until AUTH TLS, then through ssl.
struct Control {
    int fd = -1;
    SSL *ssl = nullptr;
    std::string pending;

    int Read(char *p, size_t n) {
        return ssl ? SSL_read(ssl, p, static_cast<int>(n)) : static_cast<int>(recv(fd, p, n, 0));
    }
    void Send(const std::string &line) {
        const std::string text = line + "\r\n";
        const int n = ssl ? SSL_write(ssl, text.data(), static_cast<int>(text.size()))
                          : static_cast<int>(send(fd, text.data(), text.size(), MSG_NOSIGNAL));
        if (n != static_cast<int>(text.size()))
            Die("control write");
    }
    // The last line of the next reply; its code.
    int Reply(std::string *last = nullptr) {
        for (;;) {
            size_t eol;
            while ((eol = pending.find("\r\n")) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                if (line.size() >= 4 && isdigit(line[0]) && line[3] == ' ') {
                    if (last)
                        *last = line;
                    return atoi(line.c_str());
                }
            }
            char buf[4096];
            const int n = Read(buf, sizeof buf);
            if (n <= 0)
                Die("control read");
            pending.append(buf, static_cast<size_t>(n));
        }
    }
    int Command(const std::string &line, std::string *last = nullptr) {
        Send(line);
        return Reply(last);
    }
};

int NewSession(SSL *, SSL_SESSION *session) {
    if (gSession)
        SSL_SESSION_free(gSession);
    gSession = session;
    return 1;                   // kept
}

SSL *StartTls(int fd, bool resume) {
    SSL *ssl = SSL_new(gCtx);
    if (!ssl || SSL_set_fd(ssl, fd) != 1)
        Die("SSL_new");
    if (resume && gSession)
        SSL_set_session(ssl, gSession);
    if (SSL_connect(ssl) != 1)
        Die(resume ? "data handshake" : "control handshake");
    return ssl;
}

int DataPort(const std::string &reply) {
    const size_t open = reply.find('(');
    int h[4], p[2];
    if (open == std::string::npos ||
        sscanf(reply.c_str() + open + 1, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6)
        Die("PASV reply");
    return p[0] * 256 + p[1];
}

long long Move(SSL *ssl) {
    long long moved = 0;
    if (gStor) {
        for (long long left = gStorBytes; left > 0;) {
            const int chunk = static_cast<int>(std::min<long long>(left, sizeof gBuf));
            if (SSL_write(ssl, gBuf, chunk) != chunk)
                Die("data write");
            left -= chunk;
            moved += chunk;
        }
        return moved;
    }
    for (;;) {
        const int n = SSL_read(ssl, gBuf, sizeof gBuf);
        if (n > 0) {
            moved += n;
            continue;
        }
        if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN)
            return moved;
        Die("data read");
    }
}

// One transfer: PASV to 226; its seconds, the bytes in *bytes.
double Transfer(Control &c, long long *bytes) {
    std::string last;
    const double start = Now();
    if (c.Command("PASV", &last) != 227)
        Die("PASV");
    const int fd = Connect(gHost, DataPort(last));
    c.Send(std::string(gStor ? "STOR " : "RETR ") + gPath);
    if (c.Reply(&last) != 150)
        Die("transfer command");
    SSL *ssl = StartTls(fd, true);
    gResumed += SSL_session_reused(ssl);    // some servers do not ask for it
    BIO *socket = SSL_get_rbio(ssl);
    BIO *buffer = BIO_new(BIO_f_buffer());
    if (!buffer || BIO_set_read_buffer_size(buffer, kReadAhead) != 1 || BIO_up_ref(socket) != 1)
        Die("read buffer");
    SSL_set0_rbio(ssl, BIO_push(buffer, socket));
    *bytes = Move(ssl);
    if (gStor) {
        // close_notify is the end of the file.  What the server sent and
        // this side never read (its session tickets) would turn the close
        // into a reset: the connection is read to its end first.
        SSL_shutdown(ssl);
        shutdown(fd, SHUT_WR);
        while (recv(fd, gBuf, sizeof gBuf, 0) > 0) {
        }
    }
    SSL_free(ssl);
    close(fd);
    if (c.Reply(&last) != 226) {
        fprintf(stderr, "zorvad_tlsload: %s\n", last.c_str());
        Die("226");
    }
    return Now() - start;
}

[[noreturn]] void Usage() {
    fprintf(stderr, "usage: zorvad_tlsload -p PORT [-h ADDR] [-u USER] [-P PASS] [-x retr|stor] [-f PATH]\n"
                    "       [-s BYTES] [-n TRANSFERS] [-t TIMEOUT]\n");
    exit(2);
}

void ParseArgs(int argc, char **argv) {
    int opt;
    while ((opt = getopt(argc, argv, "h:p:u:P:x:f:s:n:t:")) != -1) {
        switch (opt) {
        case 'h': snprintf(gHost, sizeof gHost, "%s", optarg); break;
        case 'p': gPort = atoi(optarg); break;
        case 'u': snprintf(gUser, sizeof gUser, "%s", optarg); break;
        case 'P': snprintf(gPass, sizeof gPass, "%s", optarg); break;
        case 'x': gStor = strcmp(optarg, "stor") == 0; break;
        case 'f': snprintf(gPath, sizeof gPath, "%s", optarg); break;
        case 's': gStorBytes = atoll(optarg); break;
        case 'n': gTransfers = atoi(optarg); break;
        case 't': gTimeout = atoi(optarg); break;
        default: Usage();
        }
    }
    if (gPort <= 0 || gTransfers <= 0)
        Usage();
}

}  // namespace

int main(int argc, char **argv) {
    ParseArgs(argc, argv);
    gCtx = SSL_CTX_new(TLS_client_method());
    if (!gCtx)
        Die("SSL_CTX_new");
    SSL_CTX_set_verify(gCtx, SSL_VERIFY_NONE, nullptr);      // the servers' certificates are self-signed
    SSL_CTX_set_session_cache_mode(gCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(gCtx, NewSession);

    Control c;
    c.fd = Connect(gHost, gPort);
    if (c.Reply() != 220)
        Die("greeting");
    if (c.Command("AUTH TLS") != 234)
        Die("AUTH TLS");
    c.ssl = StartTls(c.fd, false);
    const int user = c.Command(std::string("USER ") + gUser);
    if (user != 331 && user != 230)
        Die("USER");
    if (user == 331 && c.Command(std::string("PASS ") + gPass) != 230)
        Die("PASS");
    if (c.Command("PBSZ 0") != 200 || c.Command("PROT P") != 200 || c.Command("TYPE I") != 200)
        Die("PBSZ/PROT/TYPE");

    std::vector<double> seconds;
    long long bytes = 0;
    for (int i = 0; i < gTransfers; i++) {
        long long moved = 0;
        seconds.push_back(Transfer(c, &moved));
        bytes += moved;
    }
    c.Command("QUIT");

    double total = 0;
    for (double s : seconds)
        total += s;
    std::sort(seconds.begin(), seconds.end());
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    const double cpuUser = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
    const double cpuSys = static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6;
    printf("transfers %zu\n", seconds.size());
    printf("transfer_median_ms %.3f\n", seconds[seconds.size() / 2] * 1e3);
    printf("transfer_total_s %.6f\n", total);
    printf("bytes %lld\n", bytes);
    printf("mb_per_s %.1f\n", total > 0 ? static_cast<double>(bytes) / total / 1e6 : 0.0);
    printf("cipher %s\n", SSL_get_cipher_name(c.ssl));
    printf("resumed %d\n", gResumed);
    printf("failures 0\n");
    printf("cpu_user_s %.3f\n", cpuUser);
    printf("cpu_sys_s %.3f\n", cpuSys);
    printf("client_cpu_per_transfer_s %.3f\n", (cpuUser + cpuSys) / static_cast<double>(seconds.size()));
    SSL_free(c.ssl);
    close(c.fd);
    return 0;
}

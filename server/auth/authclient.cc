// The authentication-service client: address set-up, the connected datagram
// socket, and one request/response exchange per login step.
#include "auth/authclient.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "base/pages.h"
#include "config/config.h"
#include "events/events.h"
#include "log/log.h"
#include "sio.h"

int gUseAuthServer;
struct sockaddr_in gAuthServerAddr;
char gAuthServerAddrStr[64];
struct sockaddr_in gAuthClientAddr;
char gAuthClientAddrStr[64];
int gAuthSocket = -1;
ON_LOGIN_PAGES unsigned char gAuthdCookie[kAuthCookieSize];
static_assert(kAuthCookieSize == kEventCookieSize, "the event records carry the authentication cookie whole");
ON_LOGIN_PAGES AuthMsg gAState;

namespace {

constexpr int kBindTries = 3;
constexpr unsigned kFailurePause = 2;
// Answers still queued from an earlier exchange are dropped before a request
// goes out; a service flooding the socket cannot keep us here longer.
constexpr int kMaxStaleAnswers = 64;

// What the exchange refreshes from the session (set by InitAuthState).
const SioAddr *gSessionRemote;
const SioAddr *gSessionLocal;
const ShmSlot *gSessionSlot;

void CloseAuthSock()
{
    if (gAuthSocket >= 0)
        close(gAuthSocket);
    gAuthSocket = -1;
}

int FailAuthSock()
{
    CloseAuthSock();
    sleep(kFailurePause);
    return -1;
}

// The mode after ";": digits only, with blanks around them.
int ParseMode(const char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    if (!isdigit(static_cast<unsigned char>(*text)))
        return -1;
    char *end = nullptr;
    const long mode = strtol(text, &end, 10);
    while (*end == ' ' || *end == '\t')
        end++;
    return *end == '\0' && mode <= 99 ? static_cast<int>(mode) : -1;
}

// The record's address fields hold IPv4 addresses only: an IPv6 one is sent
// as its family and port with a zero address (its text goes in the text fields).
void AddrForMessage(struct sockaddr_in *dst, const SioAddr *src)
{
    memset(dst, 0, sizeof(*dst));
    if (src == nullptr)
        return;
    dst->sin_family = src->sa.sa_family == AF_INET6 ? AF_INET6 : AF_INET;
    dst->sin_port = htons(static_cast<uint16_t>(SioAddrPort(src)));
    if (!SioAddrIsV6(src))
        dst->sin_addr = src->in.sin_addr;
}

void RefreshFromSession()
{
    AddrForMessage(&gAState.remoteAddr, gSessionRemote);
    AddrForMessage(&gAState.localAddr, gSessionLocal);
    if (gSessionSlot != nullptr)
        Strncpy(gAState.sessionId, gSessionSlot->sessionId);
    memcpy(gAState.eventCookie, gEventdCookie, sizeof(gAState.eventCookie));
    gAState.zero = 0;
}

// Drops datagrams left from an exchange that gave up on them (a late answer
// after a rejected one), so that one cannot pass for the answer to this one.
void DropStaleAnswers()
{
    unsigned char scrap[16];
    for (int i = 0; i < kMaxStaleAnswers; i++) {
        if (recv(gAuthSocket, scrap, sizeof(scrap), MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
    }
}

// Wipes the wire copy of a message, which may hold the password.
struct WireBuffer {
    unsigned char bytes[kAuthMsgSize];
    WireBuffer() = default;
    ~WireBuffer() { explicit_bzero(bytes, sizeof(bytes)); }
    WireBuffer(const WireBuffer &) = delete;
    WireBuffer &operator=(const WireBuffer &) = delete;
};

[[nodiscard]] int SendState(WireBuffer &wire)
{
    if (gAuthSocket < 0 && InitAuthSock() < 0) {
        LogPerror("AuthDebug: send to auth server %.63s on fd=%d failed", gAuthServerAddrStr, gAuthSocket);
        return -1;
    }
    RefreshFromSession();
    AuthMsgPack(gAState, wire.bytes);
    AuthMsgScramble(wire.bytes);
    DropStaleAnswers();
    if (SSend(gAuthSocket, wire.bytes, kAuthMsgSize, 0, gAuthTimeout) != static_cast<int>(kAuthMsgSize)) {
        LogPerror("AuthDebug: send to auth server %.63s on fd=%d failed", gAuthServerAddrStr, gAuthSocket);
        // A socket that cannot send is of no use to the next step either.
        (void) InitAuthSock();
        return -1;
    }
    if (gAuthDebug >= 1)
        Log(kLogMisc, "AuthDebug: sent state=%d to auth server %.63s on fd=%d\n", static_cast<int>(gAState.state),
            gAuthServerAddrStr, gAuthSocket);
    return 0;
}

// The answer into *answer.  MSG_TRUNC makes a longer datagram show its real
// size instead of passing as a whole message.
[[nodiscard]] int ReceiveState(WireBuffer &wire, AuthMsg *answer)
{
    const int n = SRecv(gAuthSocket, wire.bytes, kAuthMsgSize, MSG_TRUNC, gAuthTimeout, kSioReturnAtOnce);
    if (n == kSioErrTimeout) {
        Log(kLogMisc, "AuthDebug: recv from auth server %s timed-out.\n", gAuthServerAddrStr);
        (void) InitAuthSock();
        return -1;
    }
    if (n <= 0) {
        if (n == 0)
            errno = ECONNRESET;
        LogPerror("AuthDebug: recv from auth server %.63s failed", gAuthServerAddrStr);
        (void) InitAuthSock();
        return -1;
    }
    if (n != static_cast<int>(kAuthMsgSize)) {
        Log(kLogMisc, "AuthDebug: auth server sent back message of size %d, but Zorvad message type %d requires %d.\n",
            n, static_cast<int>(kAuthMsgType), static_cast<int>(kAuthMsgSize));
        return -1;
    }
    AuthMsgScramble(wire.bytes);
    AuthMsgUnpack(wire.bytes, answer);
    if (gAuthDebug >= 3)
        DumpTextualPacketForDebugging(*answer, "AuthDebug:");
    if (answer->type != kAuthMsgType) {
        Log(kLogMisc, "AuthDebug: auth server sent back message type %lu, but Zorvad requires %lu.\n",
            static_cast<unsigned long>(answer->type), static_cast<unsigned long>(kAuthMsgType));
        return -1;
    }
    return 0;
}

}  // namespace

void InitAuthHandling()
{
    gUseAuthServer = 0;
    memset(&gAuthServerAddr, 0, sizeof(gAuthServerAddr));
    memset(&gAuthClientAddr, 0, sizeof(gAuthClientAddr));
    gAuthServerAddrStr[0] = '\0';
    gAuthClientAddrStr[0] = '\0';
    gAuthSocket = -1;
    memset(gAuthdCookie, 0, sizeof(gAuthdCookie));
    memset(&gAState, 0, sizeof(gAState));
}

int InitAuthAddr()
{
    gUseAuthServer = 0;
    if (gZorvadAuthdAddrStr[0] == '\0')
        return 0;
    char text[kServiceAddrSize];
    Strncpy(text, gZorvadAuthdAddrStr);
    int mode = 1;
    char *semicolon = strchr(text, ';');
    if (semicolon != nullptr) {
        *semicolon = '\0';
        mode = ParseMode(semicolon + 1);
    }
    SioAddr sa;
    if (mode < 0 || AddrStrToAddr(text, &sa, 0) < 0 || SioAddrIsV6(&sa) || sa.in.sin_port == 0) {
        fprintf(stderr, "\"%s\" is not a valid address to zorvad_authd.\n", gZorvadAuthdAddrStr);
        return -1;
    }
    gAuthServerAddr = sa.in;
    AddrToAddrStr(gAuthServerAddrStr, sizeof(gAuthServerAddrStr), &sa, 0, "%h:%p");
    gUseAuthServer = mode;
    return 0;
}

void WarnOfRemoteAuthService()
{
    if (gUseAuthServer > 0 && (ntohl(gAuthServerAddr.sin_addr.s_addr) >> 24) != 127)
        Log(kLogMisc, "Warning: the authentication service %.63s is not on a loopback address; the passwords sent "
                      "to it are scrambled, not encrypted: reach it over a trusted network only.\n",
            gAuthServerAddrStr);
}

int InitAuthSock()
{
    if (gUseAuthServer <= 0)
        return 0;
    CloseAuthSock();
    gAuthSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (gAuthSocket < 0) {
        LogPerror("new auth socket");
        return FailAuthSock();
    }
    if (SBind(gAuthSocket, 0, kBindTries, 0) < 0) {
        LogPerror("could not bind an auth client socket to an ephemeral port number");
        return FailAuthSock();
    }
    // Connected: plain send and receive address the service, and the kernel
    // drops datagrams from anyone else.
    if (connect(gAuthSocket, reinterpret_cast<const struct sockaddr *>(&gAuthServerAddr), sizeof(gAuthServerAddr)) < 0) {
        LogPerror("could not connect an auth client socket to %.63s", gAuthServerAddrStr);
        return FailAuthSock();
    }
    socklen_t len = sizeof(gAuthClientAddr);
    if (getsockname(gAuthSocket, reinterpret_cast<struct sockaddr *>(&gAuthClientAddr), &len) < 0) {
        LogPerror("getsockname(auth socket)");
        return FailAuthSock();
    }
    SioAddr client {};
    client.in = gAuthClientAddr;
    AddrToAddrStr(gAuthClientAddrStr, sizeof(gAuthClientAddrStr), &client, 0, "%h:%p");
    if (gAuthDebug >= 1)
        Log(kLogMisc, "AuthDebug: auth client socket ready at %.63s.\n", gAuthClientAddrStr);
    return 0;
}

void ZeroAuthState()
{
    explicit_bzero(&gAState, sizeof(gAState));
}

void InitAuthState(const SioAddr *remote, const SioAddr *local, const ShmSlot *slot)
{
    gSessionRemote = remote;
    gSessionLocal = local;
    gSessionSlot = slot;
    // A cookie belongs to the session the service gave it to; the event
    // records carry it.
    memset(gAuthdCookie, 0, sizeof(gAuthdCookie));
    SetEventRecordCookie(gAuthdCookie);
    if (gUseAuthServer <= 0)
        return;
    ZeroAuthState();
    gAState.uid = -1;
    gAState.gid[0] = -1;
    gAState.type = kAuthMsgType;
    gAState.state = kAuthStateConnect;
    AddrForMessage(&gAState.remoteAddr, remote);
    AddrForMessage(&gAState.localAddr, local);
    Strncpy(gAState.remoteHost, slot->host);
    // An address text too long for its field is left out rather than cut.
    if (strlen(slot->addr) < sizeof(gAState.remoteAddrText))
        Strncpy(gAState.remoteAddrText, slot->addr);
    Strncpy(gAState.domain, slot->domain);
    gAState.sessionStart = static_cast<uint32_t>(slot->sessionStart);
    Strncpy(gAState.reply, "331 User okay, need password.\r\n");
}

int ExchangeAuthState()
{
    WireBuffer wire;
    char sentUser[sizeof(gAState.user)];
    Strncpy(sentUser, gAState.user);
    if (SendState(wire) < 0)
        return -1;
    AuthMsg answer;
    if (ReceiveState(wire, &answer) < 0) {
        explicit_bzero(&answer, sizeof(answer));
        return -1;
    }
    if (gAuthDebug >= 1)
        Log(kLogMisc, "AuthDebug: rcvd state=%u from auth server to %.63s\n", static_cast<unsigned>(answer.state),
            gAuthClientAddrStr);
    if (answer.user[0] != '\0' && sentUser[0] != '\0' && strcmp(answer.user, sentUser) != 0) {
        Log(kLogMisc, "AuthDebug: auth server sent back message for user %s, but we expected a message for user %s.\n",
            answer.user, sentUser);
        explicit_bzero(&answer, sizeof(answer));
        (void) InitAuthSock();
        return -1;
    }
    gAState = answer;
    explicit_bzero(&answer, sizeof(answer));
    memcpy(gAuthdCookie, gAState.authCookie, sizeof(gAuthdCookie));
    if (gAuthDebug >= 1)
        Log(kLogMisc, "AuthDebug: message exchange succeeded.\n");
    return 0;
}

void DumpTextualPacketForDebugging(const AuthMsg &m, const char *label)
{
    char line[kLogTextMax + 1];
    AuthMsgFormat(m, label, line, sizeof(line));
    Log(kLogMisc, "%s\n", line);
}

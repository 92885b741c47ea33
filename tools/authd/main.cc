// zorvad_authd_ref: a small authentication service for zorvad's
// "zorvad_authd" key.  It answers each login step from a text file of users
// (read again for every request, so edits take effect at once); see
// README.md for the file and the security notes.
#include <arpa/inet.h>
#include <crypt.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "authmsg.h"
#include "getopt.h"
#include "sio.h"

namespace {

constexpr int kMaxBarred = 16;
constexpr size_t kLineSize = 1024;

const char *gUsersFile;
struct in_addr gBarred[kMaxBarred];
int gNumBarred;
int gVerbose;

// One line of the users file.
struct User {
    char name[64];
    char password[256];       // plain text, a crypt(3) hash ("$..."), or "*" / "-": never matches
    bool deny;
    bool internal;
    bool haveUid, haveGids, haveHome;
    int32_t uid;
    int32_t gid[kAuthMaxGids];
    int32_t numGids;
    int32_t restricted;
    char home[128];
    int32_t quota[4];
    int32_t bandwidth[2];
    char umask[4];            // octal text of at most 3 digits, as the message carries it
    char perm[28];
    char reply[256];
};

void Usage()
{
    fprintf(stderr, "Usage: zorvad_authd_ref -a ADDRESS:PORT -u USERS-FILE [-b CLIENT-ADDRESS]... [-v]\n");
    exit(2);
}

// A list of up to n integers separated by commas; the count, or -1.
int ParseInts(const char *text, int32_t *out, int n)
{
    int count = 0;
    const char *p = text;
    while (*p != '\0') {
        char *end = nullptr;
        errno = 0;
        const long v = strtol(p, &end, 10);
        if (end == p || errno != 0 || v < INT32_MIN || v > INT32_MAX || count == n)
            return -1;
        out[count++] = static_cast<int32_t>(v);
        if (*end == '\0')
            break;
        if (*end != ',')
            return -1;
        p = end + 1;
    }
    return count;
}

// Applies one word of a user line; false when the word is not understood.
bool ApplyWord(User *u, char *word, char *restOfLine)
{
    if (strcmp(word, "deny") == 0) {
        u->deny = true;
        return true;
    }
    if (strcmp(word, "internal") == 0) {
        u->internal = true;
        return true;
    }
    char *value = strchr(word, '=');
    if (value == nullptr)
        return false;
    *value++ = '\0';
    if (strcmp(word, "uid") == 0) {
        u->haveUid = ParseInts(value, &u->uid, 1) == 1;
        return u->haveUid;
    }
    if (strcmp(word, "gids") == 0) {
        u->numGids = ParseInts(value, u->gid, kAuthMaxGids);
        u->haveGids = u->numGids > 0;
        return u->haveGids;
    }
    if (strcmp(word, "home") == 0) {
        u->haveHome = value[0] == '/' && strlen(value) < sizeof(u->home);
        Strncpy(u->home, value);
        return u->haveHome;
    }
    if (strcmp(word, "restricted") == 0)
        return ParseInts(value, &u->restricted, 1) == 1;
    if (strcmp(word, "quota") == 0)
        return ParseInts(value, u->quota, 4) == 4;
    if (strcmp(word, "bandwidth") == 0)
        return ParseInts(value, u->bandwidth, 2) == 2;
    if (strcmp(word, "umask") == 0) {
        Strncpy(u->umask, value);
        return strlen(value) < sizeof(u->umask);
    }
    if (strcmp(word, "perm") == 0) {
        Strncpy(u->perm, value);
        return strlen(value) < sizeof(u->perm);
    }
    if (strcmp(word, "reply") == 0) {
        // The reply takes the rest of the line, blanks included.
        Strncpy(u->reply, value);
        if (restOfLine != nullptr && restOfLine[0] != '\0') {
            Strncat(u->reply, " ");
            Strncat(u->reply, restOfLine);
        }
        Strncat(u->reply, "\r\n");
        return true;
    }
    return false;
}

// Parses the line into *u.  1 parsed, 0 another user or not a user line,
// -1 the user's line is unusable (the user is then refused).
int ParseLine(char *line, const char *name, User *u)
{
    line[strcspn(line, "\r\n")] = '\0';
    char *context = nullptr;
    char *first = strtokc(line, " \t", &context);
    if (first == nullptr || first[0] == '#' || strcmp(first, name) != 0)
        return 0;
    memset(u, 0, sizeof(*u));
    Strncpy(u->name, first);
    for (int i = 0; i < kAuthMaxGids; i++)
        u->gid[i] = -1;
    char *password = strtokc(nullptr, " \t", &context);
    if (password == nullptr)
        return -1;
    Strncpy(u->password, password);
    for (;;) {
        char *word = strtokc(nullptr, " \t", &context);
        if (word == nullptr)
            break;
        const bool isReply = strncmp(word, "reply=", 6) == 0;
        if (!ApplyWord(u, word, isReply ? context : nullptr)) {
            fprintf(stderr, "zorvad_authd_ref: %s: user \"%s\": cannot use \"%s\"; refusing the user.\n", gUsersFile,
                    name, word);
            return -1;
        }
        if (isReply)
            break;
    }
    if (!u->deny && !u->internal && !(u->haveUid && u->haveGids && u->haveHome)) {
        fprintf(stderr, "zorvad_authd_ref: %s: user \"%s\" needs uid=, gids= and home=; refusing the user.\n",
                gUsersFile, name);
        return -1;
    }
    return 1;
}

// 1 found, 0 not found, -1 unusable (treated as refused).
int FindUser(const char *name, User *u)
{
    if (name[0] == '\0')
        return 0;
    FILE *f = fopen(gUsersFile, "r");
    if (f == nullptr) {
        fprintf(stderr, "zorvad_authd_ref: %s: %s\n", gUsersFile, strerror(errno));
        return -1;
    }
    char line[kLineSize];
    int rc = 0;
    while (rc == 0 && fgets(line, sizeof(line), f) != nullptr)
        rc = ParseLine(line, name, u);
    fclose(f);
    return rc;
}

// Compares all of both texts whatever the first difference.
bool SameText(const char *a, const char *b)
{
    const size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = la != lb ? 1 : 0;
    for (size_t i = 0; i < la && i < lb; i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool PasswordMatches(const User &u, const char *typed)
{
    if (strcmp(u.password, "*") == 0 || strcmp(u.password, "-") == 0 || typed[0] == '\0')
        return false;
    if (u.password[0] != '$')
        return SameText(u.password, typed);
    struct crypt_data data;
    memset(&data, 0, sizeof(data));
    const char *hash = crypt_rn(typed, u.password, &data, sizeof(data));
    const bool ok = hash != nullptr && SameText(hash, u.password);
    explicit_bzero(&data, sizeof(data));
    return ok;
}

bool ClientIsBarred(const AuthMsg &m)
{
    for (int i = 0; i < gNumBarred; i++) {
        if (gBarred[i].s_addr == m.remoteAddr.sin_addr.s_addr)
            return true;
    }
    return false;
}

void Grant(const User &u, AuthMsg *m)
{
    m->result = 0;
    m->internal = 1;
    Strncpy(m->user, u.name);
    m->uid = u.uid;
    memcpy(m->gid, u.gid, sizeof(m->gid));
    m->numGids = u.numGids;
    m->restricted = u.restricted;
    Strncpy(m->home, u.home);
    m->hardQuotaKB = u.quota[0];
    m->softQuotaKB = u.quota[1];
    m->hardQuotaFiles = u.quota[2];
    m->softQuotaFiles = u.quota[3];
    m->downloadKBps = u.bandwidth[0];
    m->uploadKBps = u.bandwidth[1];
    Strncpy(m->umask, u.umask);
    Strncpy(m->perm, u.perm);
    // An opaque cookie for the session's event messages.
    unsigned char random[16];
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random)))
        memset(random, 0, sizeof(random));
    char *c = reinterpret_cast<char *>(m->authCookie);
    memset(m->authCookie, 0, sizeof(m->authCookie));
    memcpy(c, "ref-", 4);
    for (size_t i = 0; i < sizeof(random); i++)
        snprintf(c + 4 + 2 * i, 3, "%02x", random[i]);
}

// Fills in the answer to the request in *m.
void Answer(AuthMsg *m)
{
    User u;
    m->result = 1;
    m->internal = 0;
    switch (m->state) {
    case kAuthStateConnect:
        m->result = ClientIsBarred(*m) ? 1 : 0;
        break;
    case kAuthStateUser: {
        // Unknown names go on to PASS: the answer must not tell which exist.
        const int found = FindUser(m->user, &u);
        m->result = found < 0 || (found > 0 && u.deny) ? 1 : 0;
        m->reply[0] = '\0';
        if (found > 0 && !u.deny)
            Strncpy(m->reply, u.reply);
        break;
    }
    case kAuthStatePass: {
        const int found = FindUser(m->user, &u);
        if (found > 0 && u.internal && !u.deny) {
            m->result = kAuthInternal;
            m->internal = kAuthInternal;
        } else if (found > 0 && !u.deny && PasswordMatches(u, m->password)) {
            Grant(u, m);
        }
        break;
    }
    default:
        break;
    }
    explicit_bzero(m->password, sizeof(m->password));
    explicit_bzero(&u, sizeof(u));
}

void Log(const char *label, const AuthMsg &m)
{
    if (!gVerbose)
        return;
    char line[2048];
    AuthMsgFormat(m, label, line, sizeof(line));
    fprintf(stderr, "%s\n", line);
}

[[noreturn]] void Serve(int fd)
{
    for (;;) {
        unsigned char wire[kAuthMsgSize + 1];
        struct sockaddr_in from;
        socklen_t fromLen = sizeof(from);
        const ssize_t n = recvfrom(fd, wire, sizeof(wire), 0, reinterpret_cast<struct sockaddr *>(&from), &fromLen);
        if (n < 0) {
            if (errno != EINTR)
                perror("zorvad_authd_ref: recvfrom");
            continue;
        }
        if (n != static_cast<ssize_t>(kAuthMsgSize)) {
            fprintf(stderr, "zorvad_authd_ref: ignored a message of %zd bytes.\n", n);
            continue;
        }
        AuthMsgScramble(wire);
        AuthMsg m;
        AuthMsgUnpack(wire, &m);
        if (m.type != kAuthMsgType) {
            fprintf(stderr, "zorvad_authd_ref: ignored a message of type %lu.\n", static_cast<unsigned long>(m.type));
            continue;
        }
        Log("request", m);
        Answer(&m);
        Log("answer", m);
        AuthMsgPack(m, wire);
        explicit_bzero(&m, sizeof(m));
        AuthMsgScramble(wire);
        if (sendto(fd, wire, kAuthMsgSize, 0, reinterpret_cast<struct sockaddr *>(&from), fromLen) < 0)
            perror("zorvad_authd_ref: sendto");
        explicit_bzero(wire, sizeof(wire));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const char *address = nullptr;
    int c;
    while ((c = Getopt(argc, argv, "a:u:b:v")) != -1) {
        switch (c) {
        case 'a':
            address = gOptArg;
            break;
        case 'u':
            gUsersFile = gOptArg;
            break;
        case 'b':
            if (gNumBarred == kMaxBarred || inet_pton(AF_INET, gOptArg, &gBarred[gNumBarred]) != 1) {
                fprintf(stderr, "zorvad_authd_ref: cannot bar \"%s\".\n", gOptArg);
                return 2;
            }
            gNumBarred++;
            break;
        case 'v':
            gVerbose = 1;
            break;
        default:
            Usage();
        }
    }
    if (address == nullptr || gUsersFile == nullptr || gOptInd != argc)
        Usage();

    SioAddr sa;
    if (AddrStrToAddr(address, &sa, 0) < 0) {
        fprintf(stderr, "zorvad_authd_ref: \"%s\" is not a valid address.\n", address);
        return 2;
    }
    const int fd = socket(sa.sa.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, &sa.sa, SioAddrLen(&sa)) < 0) {
        perror("zorvad_authd_ref: bind");
        return 1;
    }
    socklen_t len = sizeof(sa);
    if (getsockname(fd, &sa.sa, &len) < 0) {
        perror("zorvad_authd_ref: getsockname");
        return 1;
    }
    char text[64];
    // The actual port (the address may ask for port 0) for whoever started us.
    printf("listening on %s\n", AddrToAddrStr(text, sizeof(text), &sa, 0, "%h:%p"));
    fflush(stdout);
    Serve(fd);
}

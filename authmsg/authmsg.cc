// Packing, unpacking and scrambling of the authentication-service message.
#include "authmsg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Strn.h"

const unsigned char kAuthMsgKey[kAuthKeySize] = {
    static_cast<unsigned char>((ZORVAD_AUTHD_KEY >> 24) & 0xFF),
    static_cast<unsigned char>((ZORVAD_AUTHD_KEY >> 16) & 0xFF),
    static_cast<unsigned char>((ZORVAD_AUTHD_KEY >> 8) & 0xFF),
    static_cast<unsigned char>(ZORVAD_AUTHD_KEY & 0xFF),
};

void MScramble(unsigned char *dst, size_t len, const unsigned char *src, const unsigned char *key, size_t keyLen)
{
    for (size_t i = 0; i < len; i++)
        dst[i] = src[i] ^ key[i % keyLen];
}

void AuthMsgScramble(unsigned char *wire)
{
    MScramble(wire, kAuthMsgSize, wire, kAuthMsgKey, kAuthKeySize);
}

namespace {

void PutWord(unsigned char *wire, size_t at, uint32_t v)
{
    wire[at] = static_cast<unsigned char>(v >> 24);
    wire[at + 1] = static_cast<unsigned char>(v >> 16);
    wire[at + 2] = static_cast<unsigned char>(v >> 8);
    wire[at + 3] = static_cast<unsigned char>(v);
}

uint32_t GetWord(const unsigned char *wire, size_t at)
{
    return static_cast<uint32_t>(wire[at]) << 24 | static_cast<uint32_t>(wire[at + 1]) << 16
           | static_cast<uint32_t>(wire[at + 2]) << 8 | static_cast<uint32_t>(wire[at + 3]);
}

void Put(unsigned char *wire, AuthField f, uint32_t v)
{
    PutWord(wire, f.offset, v);
}

void Put(unsigned char *wire, AuthField f, int32_t v)
{
    PutWord(wire, f.offset, static_cast<uint32_t>(v));
}

// At most size - 1 characters: the text always ends within its field.
void PutText(unsigned char *wire, AuthField f, const char *text)
{
    const size_t n = strnlen(text, f.size - 1u);
    memcpy(wire + f.offset, text, n);
}

// Family big-endian; port and address are in network order already.
void PutAddr(unsigned char *wire, AuthField f, const struct sockaddr_in &sa)
{
    wire[f.offset] = static_cast<unsigned char>(sa.sin_family >> 8);
    wire[f.offset + 1] = static_cast<unsigned char>(sa.sin_family);
    memcpy(wire + f.offset + 2, &sa.sin_port, 2);
    memcpy(wire + f.offset + 4, &sa.sin_addr, 4);
}

int32_t GetInt(const unsigned char *wire, AuthField f)
{
    return static_cast<int32_t>(GetWord(wire, f.offset));
}

template <size_t N>
void GetText(const unsigned char *wire, AuthField f, char (&text)[N])
{
    static_assert(N >= 1);
    const size_t n = strnlen(reinterpret_cast<const char *>(wire + f.offset), std::min<size_t>(f.size, N - 1));
    memcpy(text, wire + f.offset, n);
    text[n] = '\0';
}

void GetAddr(const unsigned char *wire, AuthField f, struct sockaddr_in *sa)
{
    memset(sa, 0, sizeof(*sa));
    sa->sin_family = static_cast<sa_family_t>(wire[f.offset] << 8 | wire[f.offset + 1]);
    memcpy(&sa->sin_port, wire + f.offset + 2, 2);
    memcpy(&sa->sin_addr, wire + f.offset + 4, 4);
}

}  // namespace

void AuthMsgPack(const AuthMsg &m, unsigned char *wire)
{
    memset(wire, 0, kAuthMsgSize);
    Put(wire, kAfType, m.type);
    Put(wire, kAfState, m.state);
    Put(wire, kAfZero, m.zero);
    PutAddr(wire, kAfRemoteAddr, m.remoteAddr);
    PutText(wire, kAfRemoteHost, m.remoteHost);
    PutText(wire, kAfRemoteAddrText, m.remoteAddrText);
    PutAddr(wire, kAfLocalAddr, m.localAddr);
    PutText(wire, kAfDomain, m.domain);
    Put(wire, kAfSessionStart, m.sessionStart);
    PutText(wire, kAfUser, m.user);
    PutText(wire, kAfReply, m.reply);
    PutText(wire, kAfPassword, m.password);
    Put(wire, kAfUid, m.uid);
    for (int i = 0; i < kAuthMaxGids; i++)
        PutWord(wire, kAfGids.offset + 4u * static_cast<unsigned>(i), static_cast<uint32_t>(m.gid[i]));
    Put(wire, kAfNumGids, m.numGids);
    Put(wire, kAfRestricted, m.restricted);
    PutText(wire, kAfHome, m.home);
    Put(wire, kAfResult, m.result);
    Put(wire, kAfInternal, m.internal);
    PutWord(wire, kAfQuota.offset, static_cast<uint32_t>(m.hardQuotaKB));
    PutWord(wire, kAfQuota.offset + 4u, static_cast<uint32_t>(m.softQuotaKB));
    PutWord(wire, kAfQuota.offset + 8u, static_cast<uint32_t>(m.hardQuotaFiles));
    PutWord(wire, kAfQuota.offset + 12u, static_cast<uint32_t>(m.softQuotaFiles));
    PutText(wire, kAfUmask, m.umask);
    PutText(wire, kAfPerm, m.perm);
    PutText(wire, kAfSessionId, m.sessionId);
    memcpy(wire + kAfEventCookie.offset, m.eventCookie, kAuthCookieSize);
    memcpy(wire + kAfAuthCookie.offset, m.authCookie, kAuthCookieSize);
    Put(wire, kAfDownload, m.downloadKBps);
    Put(wire, kAfUpload, m.uploadKBps);
    PutText(wire, kAfText1, m.text1);
    PutText(wire, kAfText2, m.text2);
}

void AuthMsgUnpack(const unsigned char *wire, AuthMsg *m)
{
    memset(m, 0, sizeof(*m));
    m->type = GetWord(wire, kAfType.offset);
    m->state = GetWord(wire, kAfState.offset);
    m->zero = GetWord(wire, kAfZero.offset);
    GetAddr(wire, kAfRemoteAddr, &m->remoteAddr);
    GetText(wire, kAfRemoteHost, m->remoteHost);
    GetText(wire, kAfRemoteAddrText, m->remoteAddrText);
    GetAddr(wire, kAfLocalAddr, &m->localAddr);
    GetText(wire, kAfDomain, m->domain);
    m->sessionStart = GetWord(wire, kAfSessionStart.offset);
    GetText(wire, kAfUser, m->user);
    GetText(wire, kAfReply, m->reply);
    GetText(wire, kAfPassword, m->password);
    m->uid = GetInt(wire, kAfUid);
    for (int i = 0; i < kAuthMaxGids; i++)
        m->gid[i] = static_cast<int32_t>(GetWord(wire, kAfGids.offset + 4u * static_cast<unsigned>(i)));
    m->numGids = GetInt(wire, kAfNumGids);
    m->restricted = GetInt(wire, kAfRestricted);
    GetText(wire, kAfHome, m->home);
    m->result = GetInt(wire, kAfResult);
    m->internal = GetInt(wire, kAfInternal);
    m->hardQuotaKB = static_cast<int32_t>(GetWord(wire, kAfQuota.offset));
    m->softQuotaKB = static_cast<int32_t>(GetWord(wire, kAfQuota.offset + 4u));
    m->hardQuotaFiles = static_cast<int32_t>(GetWord(wire, kAfQuota.offset + 8u));
    m->softQuotaFiles = static_cast<int32_t>(GetWord(wire, kAfQuota.offset + 12u));
    GetText(wire, kAfUmask, m->umask);
    GetText(wire, kAfPerm, m->perm);
    GetText(wire, kAfSessionId, m->sessionId);
    memcpy(m->eventCookie, wire + kAfEventCookie.offset, kAuthCookieSize);
    memcpy(m->authCookie, wire + kAfAuthCookie.offset, kAuthCookieSize);
    m->downloadKBps = GetInt(wire, kAfDownload);
    m->uploadKBps = GetInt(wire, kAfUpload);
    GetText(wire, kAfText1, m->text1);
    GetText(wire, kAfText2, m->text2);
}

// ---- The debugging line -------------------------------------------------------------

namespace {

// Appends to a buffer that never receives more than its size - 1 characters.
struct Line {
    char *p;
    char *lim;

    void Put(const char *s)
    {
        while (*s != '\0' && p < lim)
            *p++ = *s++;
    }
    void Printf(const char *fmt, long v)
    {
        char item[32];
        snprintf(item, sizeof(item), fmt, v);
        Put(item);
    }
    // Printable bytes as they are, every other one as \xNN; stops at the first NUL.
    void Bytes(const unsigned char *b, size_t n)
    {
        for (size_t i = 0; i < n && b[i] != '\0'; i++) {
            char item[8];
            if (b[i] >= 0x20 && b[i] < 0x7F && b[i] != '\\')
                snprintf(item, sizeof(item), "%c", b[i]);
            else
                snprintf(item, sizeof(item), "\\x%02x", b[i]);
            Put(item);
        }
    }
    void Text(const char *s)
    {
        Bytes(reinterpret_cast<const unsigned char *>(s), strlen(s));
    }
};

}  // namespace

void AuthMsgFormat(const AuthMsg &m, const char *label, char *dst, size_t size)
{
    if (size == 0)
        return;
    Line l{dst, dst + size - 1};
    l.Put(label);
    l.Printf(" <<%lu", static_cast<long>(m.type));
    l.Printf("|%lu", static_cast<long>(m.state));
    l.Printf("|%lu|--|", static_cast<long>(m.zero));
    l.Text(m.remoteHost);
    l.Put("|");
    l.Text(m.remoteAddrText);
    l.Put("|--|");
    l.Text(m.domain);
    l.Printf("|%lu|", static_cast<long>(m.sessionStart));
    l.Text(m.user);
    l.Put("|");
    l.Text(m.reply);
    l.Put(m.password[0] != '\0' ? "|********" : "|");
    l.Printf("|%ld (", static_cast<long>(m.uid));
    for (int i = 0; i < kAuthMaxGids; i++)
        l.Printf(i == 0 ? "%ld:" : " %ld", static_cast<long>(m.gid[i]));
    l.Printf(")|%ld", static_cast<long>(m.numGids));
    l.Printf("|%ld|", static_cast<long>(m.restricted));
    l.Text(m.home);
    l.Printf("|%ld", static_cast<long>(m.result));
    l.Printf("|%ld", static_cast<long>(m.internal));
    l.Printf("|%ld", static_cast<long>(m.hardQuotaKB));
    l.Printf("|%ld", static_cast<long>(m.softQuotaKB));
    l.Printf("|%ld", static_cast<long>(m.hardQuotaFiles));
    l.Printf("|%ld|", static_cast<long>(m.softQuotaFiles));
    l.Text(m.umask);
    l.Put("|");
    l.Text(m.perm);
    l.Put("|");
    l.Text(m.sessionId);
    l.Put("|");
    l.Bytes(m.eventCookie, sizeof(m.eventCookie));
    l.Put("|");
    l.Bytes(m.authCookie, sizeof(m.authCookie));
    l.Printf("|%ld", static_cast<long>(m.downloadKBps));
    l.Printf("|%ld|", static_cast<long>(m.uploadKBps));
    l.Text(m.text1);
    l.Put("|");
    l.Text(m.text2);
    l.Put(">>");
    *l.p = '\0';
}

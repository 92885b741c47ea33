#include "proxy/proxyheader.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned char kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr char kV1Prefix[] = "PROXY ";
constexpr size_t kV1PrefixLen = sizeof(kV1Prefix) - 1;

bool Prefix(const unsigned char *buf, size_t len, const void *sig, size_t sigLen)
{
    return memcmp(buf, sig, len < sigLen ? len : sigLen) == 0;
}

// A dotted address exactly: four decimal numbers 0-255 without leading zeros.
bool DottedQuad(const char *text, in_addr_t *out)
{
    unsigned parts[4];
    const char *p = text;
    for (int i = 0; i < 4; i++) {
        if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
            return false;
        unsigned v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            v = v * 10 + static_cast<unsigned>(*p++ - '0');
            digits++;
        }
        if (v > 255 || (i < 3 && *p++ != '.'))
            return false;
        parts[i] = v;
    }
    if (*p != '\0')
        return false;
    *out = htonl(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]);
    return true;
}

// A port: 0-65535, decimal, no leading zeros.
bool Port(const char *text, in_port_t *out)
{
    if (*text < '0' || *text > '9' || (text[0] == '0' && text[1] != '\0') || strlen(text) > 5)
        return false;
    unsigned long v = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (v > 65535)
        return false;
    *out = htons(static_cast<in_port_t>(v));
    return true;
}

// A client's address a TCP connection can come from: not 0.0.0.0/8 ("this
// network", which would count as the server's own host), not multicast,
// not the reserved block with the broadcast address.
bool UsableSource(in_addr_t addr)
{
    const uint32_t a = ntohl(addr);
    return (a >> 24) != 0 && (a >> 28) != 0xE && (a >> 28) != 0xF;
}

// An IPv6 client address: not unspecified (::), not multicast.
bool UsableSource6(const unsigned char *a)
{
    static constexpr unsigned char kZero[16] = {};
    return memcmp(a, kZero, sizeof(kZero)) != 0 && a[0] != 0xFF;
}

// An IPv6 address is served as the IPv4 address it maps, when it maps one.
bool MappedIPv4(const unsigned char *a, in_addr_t *out)
{
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (memcmp(a, kMapped, sizeof(kMapped)) != 0)
        return false;
    memcpy(out, a + 12, 4);
    return true;
}

void SetAddress(SioAddr *sa, in_addr_t addr, in_port_t port)
{
    memset(sa, 0, sizeof(*sa));
    sa->in.sin_family = AF_INET;
    sa->in.sin_addr.s_addr = addr;
    sa->in.sin_port = port;
}

// 16 bytes of an IPv6 address, or the IPv4 address they map.
void SetAddress6(SioAddr *sa, const unsigned char *a, in_port_t port)
{
    in_addr_t v4;
    if (MappedIPv4(a, &v4)) {
        SetAddress(sa, v4, port);
        return;
    }
    memset(sa, 0, sizeof(*sa));
    sa->in6.sin6_family = AF_INET6;
    memcpy(&sa->in6.sin6_addr, a, 16);
    sa->in6.sin6_port = port;
}

// An IPv6 source a TCP client can have; a mapped one by the IPv4 rule.
bool Usable6(const unsigned char *src)
{
    in_addr_t v4;
    return MappedIPv4(src, &v4) ? UsableSource(v4) : UsableSource6(src);
}

int ParseV1Tcp6(char **fields, ProxySource *out)
{
    unsigned char src[16], dst[16];
    in_port_t sport, dport;
    if (inet_pton(AF_INET6, fields[2], src) != 1 || inet_pton(AF_INET6, fields[3], dst) != 1 ||
        !Port(fields[4], &sport) || !Port(fields[5], &dport) || !Usable6(src))
        return -1;
    out->haveSource = 1;
    SetAddress6(&out->source, src, sport);
    SetAddress6(&out->destination, dst, dport);
    return 0;
}

// "PROXY TCP4 src dst sport dport\r\n", the same with TCP6, or "PROXY UNKNOWN...\r\n".
int ParseV1(const unsigned char *buf, size_t len, ProxySource *out)
{
    char line[kProxyV1Max + 1];
    memcpy(line, buf, len - 2);
    line[len - 2] = '\0';
    if (memchr(line, '\0', len - 2) != nullptr)
        return -1;
    const char *rest = line + kV1PrefixLen;
    if (strncmp(rest, "UNKNOWN", 7) == 0 && (rest[7] == '\0' || rest[7] == ' '))
        return 0;                       // anything may follow UNKNOWN
    char *fields[7];
    int n = 0;
    for (char *p = line; n < 7;) {
        fields[n++] = p;
        p = strchr(p, ' ');
        if (p == nullptr)
            break;
        *p++ = '\0';
    }
    if (n == 6 && strcmp(fields[1], "TCP6") == 0)
        return ParseV1Tcp6(fields, out);
    if (n != 6 || strcmp(fields[1], "TCP4") != 0)
        return -1;
    in_addr_t src, dst;
    in_port_t sport, dport;
    if (!DottedQuad(fields[2], &src) || !DottedQuad(fields[3], &dst) || !Port(fields[4], &sport) ||
        !Port(fields[5], &dport) || !UsableSource(src))
        return -1;
    out->haveSource = 1;
    SetAddress(&out->source, src, sport);
    SetAddress(&out->destination, dst, dport);
    return 0;
}

int ParseV2(const unsigned char *buf, size_t len, ProxySource *out)
{
    const unsigned version = buf[12] >> 4, command = buf[12] & 0x0F;
    const unsigned family = buf[13] >> 4, protocol = buf[13] & 0x0F;
    const unsigned char *a = buf + kProxyV2Fixed;
    const size_t payload = len - kProxyV2Fixed;
    if (version != 2 || command > 1)
        return -1;
    if (command == 0 || family == 0)
        return 0;                       // LOCAL, or a family it does not tell
    if (protocol != 1)
        return -1;                      // only streams
    in_port_t sport, dport;
    if (family == 1 && payload >= 12) {
        in_addr_t src, dst;
        memcpy(&src, a, 4);
        memcpy(&dst, a + 4, 4);
        memcpy(&sport, a + 8, 2);
        memcpy(&dport, a + 10, 2);
        if (!UsableSource(src))
            return -1;
        SetAddress(&out->source, src, sport);
        SetAddress(&out->destination, dst, dport);
    } else if (family == 2 && payload >= 36) {
        memcpy(&sport, a + 32, 2);
        memcpy(&dport, a + 34, 2);
        if (!Usable6(a))
            return -1;
        SetAddress6(&out->source, a, sport);
        SetAddress6(&out->destination, a + 16, dport);
    } else {
        return -1;
    }
    out->haveSource = 1;
    return 0;
}

}  // namespace

int ProxyHeaderLength(const unsigned char *buf, size_t len)
{
    if (len == 0)
        return 0;
    if (Prefix(buf, len, kV1Prefix, kV1PrefixLen)) {
        for (size_t i = kV1PrefixLen; i + 1 < len && i + 1 < kProxyV1Max; i++) {
            if (buf[i] == '\r' && buf[i + 1] == '\n')
                return static_cast<int>(i + 2);
        }
        return len >= kProxyV1Max ? -1 : 0;
    }
    if (Prefix(buf, len, kV2Signature, sizeof(kV2Signature))) {
        if (len < kProxyV2Fixed)
            return 0;
        return static_cast<int>(kProxyV2Fixed + (static_cast<size_t>(buf[14]) << 8 | buf[15]));
    }
    return -1;
}

int ParseProxyHeader(const unsigned char *buf, size_t len, ProxySource *out)
{
    memset(out, 0, sizeof(*out));
    const int whole = ProxyHeaderLength(buf, len);
    if (whole <= 0 || static_cast<size_t>(whole) != len)
        return -1;
    return buf[0] == 'P' ? ParseV1(buf, len, out) : ParseV2(buf, len, out);
}

int ParseProxyNet(const char *text, ProxyNet *out)
{
    char addr[16];
    const char *slash = strchr(text, '/');
    const size_t n = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    if (n == 0 || n >= sizeof(addr))
        return -1;
    memcpy(addr, text, n);
    addr[n] = '\0';
    in_addr_t a;
    if (!DottedQuad(addr, &a))
        return -1;
    long bits = 32;
    if (slash != nullptr) {
        char *end = nullptr;
        errno = 0;
        bits = strtol(slash + 1, &end, 10);
        if (slash[1] < '0' || slash[1] > '9' || *end != '\0' || errno != 0 || bits < 0 || bits > 32)
            return -1;
    }
    out->mask = bits == 0 ? 0 : htonl(~0u << (32 - bits));
    out->net = a & out->mask;
    return 0;
}

bool ProxyNetHolds(const ProxyNet &n, in_addr_t addr)
{
    return (addr & n.mask) == n.net;
}

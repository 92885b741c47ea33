// MD5 (RFC 1321) and the MD5-based crypt with the "$1$" magic.
#include "md5.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
constexpr std::array<int, 16> kShift = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

constexpr uint32_t RotateLeft(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

void Transform(uint32_t state[4], const unsigned char block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; i++)
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
               uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int k;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (d & b) | (~d & c); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + RotateLeft(a + f + kSine[i] + x[k], kShift[(i / 16) * 4 + i % 4]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    memset(x, 0, sizeof x);
}

} // namespace

void Spwd_md5_start(Spwd_md5_t *ctx, const void *data, size_t len)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->nBytes = 0;
    memset(ctx->block, 0, sizeof ctx->block);
    ctx->out[0] = '\0';
    if (data != nullptr && len != 0)
        Spwd_md5_add(ctx, data, len);
}

void Spwd_md5_add(Spwd_md5_t *ctx, const void *data, size_t len)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t have = ctx->nBytes % 64;
    ctx->nBytes += len;
    while (len > 0) {
        size_t n = 64 - have < len ? 64 - have : len;
        memcpy(ctx->block + have, p, n);
        have += n;
        p += n;
        len -= n;
        if (have == 64) {
            Transform(ctx->state, ctx->block);
            have = 0;
        }
    }
}

void Spwd_md5_end_raw(Spwd_md5_t *ctx, unsigned char digest[16])
{
    uint64_t bits = ctx->nBytes * 8;
    static const unsigned char kPad[64] = {0x80};
    size_t have = ctx->nBytes % 64;
    Spwd_md5_add(ctx, kPad, have < 56 ? 56 - have : 120 - have);
    unsigned char length[8];
    for (int i = 0; i < 8; i++)
        length[i] = static_cast<unsigned char>(bits >> (8 * i));
    Spwd_md5_add(ctx, length, sizeof length);
    for (int i = 0; i < 16; i++)
        digest[i] = static_cast<unsigned char>(ctx->state[i / 4] >> (8 * (i % 4)));
    // The working state may hold key material (the crypt mixes the password in).
    memset(ctx->state, 0, sizeof ctx->state);
    memset(ctx->block, 0, sizeof ctx->block);
    ctx->nBytes = 0;
}

char *Spwd_md5_end(Spwd_md5_t *ctx)
{
    static constexpr char kHex[] = "0123456789abcdef";
    unsigned char digest[16];
    Spwd_md5_end_raw(ctx, digest);
    for (int i = 0; i < 16; i++) {
        ctx->out[2 * i] = kHex[digest[i] >> 4];
        ctx->out[2 * i + 1] = kHex[digest[i] & 0xf];
    }
    ctx->out[32] = '\0';
    return ctx->out;
}

char *Spwd_md5_sum(const void *data, size_t len, char *out, size_t outSize)
{
    if (data == nullptr || len == 0 || out == nullptr || outSize <= 32)
        return nullptr;
    Spwd_md5_t ctx;
    Spwd_md5_start(&ctx, data, len);
    memcpy(out, Spwd_md5_end(&ctx), 33);
    return out;
}

// ---- MD5-based crypt --------------------------------------------------------

namespace {

constexpr char kMagic[] = "$1$";
constexpr size_t kMagicLen = 3;
constexpr char kCryptB64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Appends n characters of the crypt base-64 encoding of v, low bits first.
char *To64(char *s, unsigned long v, int n)
{
    while (--n >= 0) {
        *s++ = kCryptB64[v & 0x3f];
        v >>= 6;
    }
    return s;
}

} // namespace

char *Spwd_md5_crypt(const char *pw, const char *salt)
{
    static char result[120];
    const char *sp = salt;
    if (strncmp(sp, kMagic, kMagicLen) == 0)
        sp += kMagicLen;
    size_t sl = 0;
    while (sl < 8 && sp[sl] != '\0' && sp[sl] != '$')
        sl++;
    size_t pl = strlen(pw);

    Spwd_md5_t ctx, alt;
    unsigned char final[16];
    Spwd_md5_start(&ctx, pw, pl);
    Spwd_md5_add(&ctx, kMagic, kMagicLen);
    Spwd_md5_add(&ctx, sp, sl);

    Spwd_md5_start(&alt, pw, pl);
    Spwd_md5_add(&alt, sp, sl);
    Spwd_md5_add(&alt, pw, pl);
    Spwd_md5_end_raw(&alt, final);
    for (size_t n = pl; n > 0; n -= n > 16 ? 16 : n)
        Spwd_md5_add(&ctx, final, n > 16 ? 16 : n);
    memset(final, 0, sizeof final);

    // The historical quirk: a zero byte (from the cleared digest) for set bits.
    for (size_t i = pl; i != 0; i >>= 1)
        Spwd_md5_add(&ctx, (i & 1) ? static_cast<const void *>(final) : pw, 1);
    Spwd_md5_end_raw(&ctx, final);

    // 1000 rounds to slow down guessing.
    for (int i = 0; i < 1000; i++) {
        Spwd_md5_start(&alt, nullptr, 0);
        if (i & 1)
            Spwd_md5_add(&alt, pw, pl);
        else
            Spwd_md5_add(&alt, final, 16);
        if (i % 3)
            Spwd_md5_add(&alt, sp, sl);
        if (i % 7)
            Spwd_md5_add(&alt, pw, pl);
        if (i & 1)
            Spwd_md5_add(&alt, final, 16);
        else
            Spwd_md5_add(&alt, pw, pl);
        Spwd_md5_end_raw(&alt, final);
    }

    char *p = result;
    memcpy(p, kMagic, kMagicLen);
    p += kMagicLen;
    memcpy(p, sp, sl);
    p += sl;
    *p++ = '$';
    p = To64(p, (unsigned long)final[0] << 16 | (unsigned long)final[6] << 8 | final[12], 4);
    p = To64(p, (unsigned long)final[1] << 16 | (unsigned long)final[7] << 8 | final[13], 4);
    p = To64(p, (unsigned long)final[2] << 16 | (unsigned long)final[8] << 8 | final[14], 4);
    p = To64(p, (unsigned long)final[3] << 16 | (unsigned long)final[9] << 8 | final[15], 4);
    p = To64(p, (unsigned long)final[4] << 16 | (unsigned long)final[10] << 8 | final[5], 4);
    p = To64(p, final[11], 2);
    *p = '\0';
    // The states hold the password's bytes; the caller wipes the result.
    explicit_bzero(final, sizeof final);
    explicit_bzero(&ctx, sizeof ctx);
    explicit_bzero(&alt, sizeof alt);
    return result;
}

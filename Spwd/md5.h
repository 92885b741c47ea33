// The library's own MD5 (RFC 1321) and the MD5-based crypt ("$1$").
#pragma once

#include <cstddef>
#include <cstdint>

struct Spwd_md5_t {
    uint32_t state[4];
    uint64_t nBytes;           // bytes added so far
    unsigned char block[64];   // pending partial block
    char out[33];              // the digest as hexadecimal text, set by Spwd_md5_end
};

// Incremental MD5.  Start with non-null data and a non-zero length adds that
// data at once.  End returns ctx->out (32 lower-case hex digits) and wipes the
// working state.
void Spwd_md5_start(Spwd_md5_t *ctx, const void *data, size_t len);
void Spwd_md5_add(Spwd_md5_t *ctx, const void *data, size_t len);
char *Spwd_md5_end(Spwd_md5_t *ctx);
// As Spwd_md5_end, with the 16 raw digest bytes (ctx->out is left untouched).
void Spwd_md5_end_raw(Spwd_md5_t *ctx, unsigned char digest[16]);

// One-shot MD5 as hexadecimal text; nullptr when outSize <= 32 or when data,
// len or out is zero.
char *Spwd_md5_sum(const void *data, size_t len, char *out, size_t outSize);

// MD5-based crypt: "$1$", the salt (at most 8 characters, the magic skipped
// when present) and "$" followed by 22 characters.  Static result.
char *Spwd_md5_crypt(const char *pw, const char *salt);

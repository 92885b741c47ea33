// The message exchanged with the authentication service: 1404 bytes in both
// directions, every integer 32-bit big-endian, texts NUL-terminated within
// their fields, the two addresses 16-byte IPv4 socket addresses whose family
// is stored big-endian.  On the wire the whole message is XORed with a
// repeating 4-byte key fixed at build time (ZORVAD_AUTHD_KEY): obfuscation,
// not encryption.  The daemon's client and the reference service both use
// this one definition.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t kAuthMsgSize = 1404;
inline constexpr uint32_t kAuthMsgType = 3;

// The state word: the login step the message belongs to.
inline constexpr uint32_t kAuthStateConnect = 1;
inline constexpr uint32_t kAuthStateUser = 3;
inline constexpr uint32_t kAuthStatePass = 5;

// Result 2 together with the internal flag 2: the server checks the user itself.
inline constexpr int32_t kAuthInternal = 2;

inline constexpr int kAuthMaxGids = 33;
inline constexpr int kAuthCookieSize = 80;
inline constexpr int kAuthKeySize = 4;

// Offset and size of every field, in message order.
struct AuthField {
    uint16_t offset;
    uint16_t size;
};
inline constexpr AuthField kAfType{0, 4};
inline constexpr AuthField kAfState{4, 4};
inline constexpr AuthField kAfZero{8, 4};
inline constexpr AuthField kAfRemoteAddr{12, 16};
inline constexpr AuthField kAfRemoteHost{28, 64};
inline constexpr AuthField kAfRemoteAddrText{92, 32};
inline constexpr AuthField kAfLocalAddr{124, 16};
inline constexpr AuthField kAfDomain{140, 64};
inline constexpr AuthField kAfSessionStart{204, 4};
inline constexpr AuthField kAfUser{208, 64};
inline constexpr AuthField kAfReply{272, 256};
inline constexpr AuthField kAfPassword{528, 64};
inline constexpr AuthField kAfUid{592, 4};
inline constexpr AuthField kAfGids{596, 4 * kAuthMaxGids};
inline constexpr AuthField kAfNumGids{728, 4};
inline constexpr AuthField kAfRestricted{732, 4};
inline constexpr AuthField kAfHome{736, 128};
inline constexpr AuthField kAfResult{864, 4};
inline constexpr AuthField kAfInternal{868, 4};
inline constexpr AuthField kAfQuota{872, 16};
inline constexpr AuthField kAfReserved1{888, 4};
inline constexpr AuthField kAfUmask{892, 4};
inline constexpr AuthField kAfPerm{896, 28};
inline constexpr AuthField kAfSessionId{924, 40};
inline constexpr AuthField kAfEventCookie{964, kAuthCookieSize};
inline constexpr AuthField kAfAuthCookie{1044, kAuthCookieSize};
inline constexpr AuthField kAfDownload{1124, 4};
inline constexpr AuthField kAfUpload{1128, 4};
inline constexpr AuthField kAfText1{1132, 16};
inline constexpr AuthField kAfText2{1148, 16};
inline constexpr AuthField kAfReserved2{1164, 240};

namespace authmsg_detail {
inline constexpr AuthField kOrder[] = {
    kAfType, kAfState, kAfZero, kAfRemoteAddr, kAfRemoteHost, kAfRemoteAddrText, kAfLocalAddr, kAfDomain,
    kAfSessionStart, kAfUser, kAfReply, kAfPassword, kAfUid, kAfGids, kAfNumGids, kAfRestricted, kAfHome,
    kAfResult, kAfInternal, kAfQuota, kAfReserved1, kAfUmask, kAfPerm, kAfSessionId, kAfEventCookie,
    kAfAuthCookie, kAfDownload, kAfUpload, kAfText1, kAfText2, kAfReserved2,
};
constexpr bool FieldsTile()
{
    size_t at = 0;
    for (const AuthField &f : kOrder) {
        if (f.offset != at)
            return false;
        at += f.size;
    }
    return at == kAuthMsgSize;
}
}  // namespace authmsg_detail
static_assert(authmsg_detail::FieldsTile(), "the fields must follow each other and fill 1404 bytes");

// The message in host order.  Each text has one byte more than its field, so
// that a field filled to its last byte (a protocol fault) still reads as a
// string; packing always leaves a NUL within the field.
struct AuthMsg {
    uint32_t type;
    uint32_t state;
    uint32_t zero;
    struct sockaddr_in remoteAddr;      // the client's end of the control connection
    char remoteHost[64 + 1];
    char remoteAddrText[32 + 1];
    struct sockaddr_in localAddr;       // our end of it
    char domain[64 + 1];                // domain set serving the connection
    uint32_t sessionStart;              // low 32 bits of the connection's start time
    char user[64 + 1];
    char reply[256 + 1];                // reply to USER; empty: the server's own
    char password[64 + 1];
    int32_t uid;
    int32_t gid[kAuthMaxGids];
    int32_t numGids;
    int32_t restricted;
    char home[128 + 1];
    int32_t result;                     // 0 allowed, otherwise denied
    int32_t internal;                   // non-zero: the service authenticated the user
    int32_t hardQuotaKB, softQuotaKB, hardQuotaFiles, softQuotaFiles;
    char umask[4 + 1];                  // octal text
    char perm[28 + 1];                  // applied when it begins with "-" or "+"
    char sessionId[40 + 1];
    unsigned char eventCookie[kAuthCookieSize];
    unsigned char authCookie[kAuthCookieSize];
    int32_t downloadKBps;               // 0 or less: the configured limit
    int32_t uploadKBps;
    char text1[16 + 1];                 // reserved texts, carried as they are
    char text2[16 + 1];
};

// The key every build of client and service shares.
extern const unsigned char kAuthMsgKey[kAuthKeySize];

// Each output byte is the source byte XOR the key's byte at (index mod keyLen).
// dst may be src.
void MScramble(unsigned char *dst, size_t len, const unsigned char *src, const unsigned char *key, size_t keyLen);
// Scrambles (or unscrambles: XOR is its own inverse) a whole message in place
// with kAuthMsgKey.
void AuthMsgScramble(unsigned char *wire);

// The wire form (kAuthMsgSize bytes, unscrambled) of m, and back.  Unpack
// ends every text at its first NUL or at the end of its field.
void AuthMsgPack(const AuthMsg &m, unsigned char *wire);
void AuthMsgUnpack(const unsigned char *wire, AuthMsg *m);

// One line for a debugging log: the label, then between "<<" and ">>" the
// fields in message order separated by "|" (the addresses as "--", the
// password as "********" when set, the user ID followed by the 33 group IDs in
// parentheses, the first one followed by a colon).  Bytes that are not
// printable are written as "\xNN".
void AuthMsgFormat(const AuthMsg &m, const char *label, char *dst, size_t size);

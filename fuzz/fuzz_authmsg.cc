// The authentication service's reply: any 1404 bytes (scrambled on the wire)
// unpacked, formatted for the debugging log and packed again.  Unpacking what
// was packed gives the same message; every text stays terminated.
#include <cstdlib>
#include <cstring>

#include "Hpwd.h"
#include "authmsg.h"
#include "fuzzenv.h"

namespace {

template <size_t N>
void CheckTerminated(const char (&text)[N])
{
    if (memchr(text, '\0', N) == nullptr)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char wire[kAuthMsgSize] = {};
    memcpy(wire, data, size < kAuthMsgSize ? size : kAuthMsgSize);
    AuthMsgScramble(wire);
    AuthMsgScramble(wire);
    AuthMsg m;
    AuthMsgUnpack(wire, &m);
    CheckTerminated(m.remoteHost);
    CheckTerminated(m.user);
    CheckTerminated(m.reply);
    CheckTerminated(m.home);
    CheckTerminated(m.umask);
    CheckTerminated(m.perm);
    CheckTerminated(m.sessionId);
    char line[4096];
    AuthMsgFormat(m, "Received", line, sizeof(line));
    char tiny[8];
    AuthMsgFormat(m, "Received", tiny, sizeof(tiny));

    unsigned char packed[kAuthMsgSize];
    AuthMsgPack(m, packed);
    AuthMsg again;
    AuthMsgUnpack(packed, &again);
    unsigned char repacked[kAuthMsgSize];
    AuthMsgPack(again, repacked);
    if (memcmp(packed, repacked, kAuthMsgSize) != 0)
        abort();
    char bad = '\0';
    (void) ParseUserPermissions(m.perm, &bad);
    return 0;
}

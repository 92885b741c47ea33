// Message-file %-escapes: the input is one line of a message file, expanded
// for a logged-in session.  The result must be terminated within the buffer.
#include <cstdlib>
#include <cstring>
#include <string>

#include "Strn.h"
#include "config/domain.h"
#include "fuzzenv.h"
#include "session/messages.h"
#include "session/shell.h"
#include "status/shm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DomainInfo domain {};
    static ShmSlot slot {};
    gCurDomain = &domain;
    gRUserPtr = &slot;
    Strncpy(domain.setName, "fuzz");
    gLoggedIn = size > 0 && (data[0] & 1);
    Strncpy(gCwd, "/pub/deep");
    const std::string line(reinterpret_cast<const char *>(data), size);
    char out[kReplyLineSize];
    memset(out, 'Z', sizeof(out));
    ExpandReplyLine(out, sizeof(out), line.c_str(), 1600000000);
    if (memchr(out, '\0', sizeof(out)) == nullptr)
        abort();
    char tiny[2];
    ExpandReplyLine(tiny, sizeof(tiny), line.c_str(), 1600000000);
    if (tiny[1] != '\0' && tiny[0] != '\0')
        abort();
    return 0;
}

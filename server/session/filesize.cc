// SIZE: the size of a file as a download in the current TYPE would send it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/process.h"
#include "config/config.h"
#include "log/log.h"
#include "paths/safefs.h"
#include "paths/uniquefd.h"
#include "session/filecmds.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

constexpr int64_t kAsciiSizeDoSThreshold = 102400;   // larger answers wait first
constexpr int kAsciiSizeDoSPause = 2;                // seconds

}  // namespace

int64_t AsciiSize(const char *path, char *buf, size_t size)
{
    UniqueFd fd(SafeOpen(path, O_RDONLY | O_NONBLOCK));
    if (!fd.ok())
        return -1;
    int64_t total = 0;
    char prev = '\0';
    for (;;) {
        const ssize_t n = read(fd.get(), buf, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        total += n;
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] == '\n' && prev != '\r')
                total++;
            prev = buf[i];
        }
    }
    return total;
}

void Size(char *arg)
{
    char real[kPathBufSize];
    if (!PathPrologue(arg, -1, nullptr, real, sizeof(real)))
        return;
    snprintf(gRUserPtr->command, sizeof(gRUserPtr->command), "Size %.250s", real);

    struct stat st;
    if (SafeStat(real, &st) < 0) {
        ReplySysError(errno, "550 No such file.\r\n", "550 stat failed: %.420s\r\n");
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        Reply("550 Not applicable for a directory.\r\n");
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        Reply("550 Not a regular file.\r\n");
        return;
    }
    if (gType == 'I' || (gType == 'A' && gAsciiSizeMode == 2)) {
        Reply("213 %llu\r\n", static_cast<unsigned long long>(st.st_size));
        return;
    }
    if (gType != 'A') {
        Reply("550 Not implemented for TYPE %c.\r\n", gType);
        return;
    }
    if (gAsciiSizeMode == 0) {
        Reply("550 SIZE not allowed on this site with TYPE A. Use TYPE I first, then SIZE.\r\n");
        return;
    }
    if (gAsciiSizeMode < 0 && st.st_size > -static_cast<off_t>(gAsciiSizeMode)) {
        Reply("550 SIZE not allowed on this site with TYPE A for files larger than %d bytes. Use TYPE I first, "
              "then SIZE.\r\n",
              -gAsciiSizeMode);
        return;
    }
    const int64_t size = AsciiSize(real, gXferBuf, kXferBufSize);
    if (size < 0) {
        ReplySysError(errno, "550 No such file.\r\n", "550 stat failed: %.420s\r\n");
        return;
    }
    if (size > kAsciiSizeDoSThreshold) {
        _Trace(kLogMisc, "Sleeping %d seconds to avoid possible DoS via large SIZE & TYPE A.\n", kAsciiSizeDoSPause);
        sleep(kAsciiSizeDoSPause);
    }
    Reply("213 %llu\r\n", static_cast<unsigned long long>(size));
}

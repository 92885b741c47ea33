// The line reader: buffered reads of one line at a time from a socket, carriage returns
// removed and the line feed kept.
#include "sio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

constexpr size_t kMinLibraryBuffer = 512;

// Whether the n bytes at p (n > 0) are all zero: every byte equals the first.
static bool AllZero(const char *p, size_t n)
{
    return p[0] == 0 && memcmp(p, p + 1, n - 1) == 0;
}

static void MarkEmpty(SReadlineInfo *srl)
{
    srl->bufSize = srl->bufSizeMax;
    // A buffer still clean is left alone: its page, perhaps shared with the
    // process this one was forked from, is not copied for nothing.
    if (!AllZero(srl->buf, srl->bufSizeMax))
        memset(srl->buf, 0, srl->bufSizeMax);
    srl->bufPtr = srl->bufLim = srl->buf + srl->bufSize;
}

// With buf null the library allocates the buffer (at least 512 bytes) and frees it in
// DisposeSReadlineInfo.  A caller's buffer must hold at least one byte.
int InitSReadlineInfo(SReadlineInfo *srl, int fd, char *buf, size_t bsize, int tlen)
{
    memset(srl, 0, sizeof(*srl));
    if (buf == nullptr) {
        bsize = bsize > kMinLibraryBuffer ? bsize : kMinLibraryBuffer;
        buf = static_cast<char *>(calloc(1, bsize));
        if (buf == nullptr)
            return -1;
        srl->malloc = 1;
    } else if (bsize == 0) {
        errno = EINVAL;
        return -1;
    }
    srl->buf = buf;
    srl->bufSizeMax = bsize;
    srl->fd = fd;
    srl->timeoutLen = tlen;
    MarkEmpty(srl);
    return 0;
}

void FlushSReadlineInfo(SReadlineInfo *srl)
{
    MarkEmpty(srl);
}

void DisposeSReadlineInfo(SReadlineInfo *srl)
{
    if (srl->buf != nullptr) {
        memset(srl->buf, 0, srl->bufSizeMax);
        if (srl->malloc != 0)
            free(srl->buf);
    }
    memset(srl, 0, sizeof(*srl));
}

// Returns the line's length including the line feed, 0 at a clean end of input, or the
// negative result of the refill.  A line longer than linebufsize - 1 bytes is returned in
// pieces without line feeds.  NUL bytes and carriage returns not followed by a line feed
// are stray; when more than one of them was seen and the input pauses, the line counts as
// ended.
int SReadline(SReadlineInfo *srl, char *linebuf, size_t linebufsize)
{
    if (linebufsize <= 1) {
        if (linebufsize == 1)
            linebuf[0] = '\0';
        return 0;
    }
    char *dst = linebuf;
    char *const dstLim = linebuf + linebufsize - 1;
    int stray = 0;
    for (;;) {
        if (srl->bufPtr >= srl->bufLim) {
            if (stray > 1) {
                *dst++ = '\n';
                *dst = '\0';
                return static_cast<int>(dst - linebuf);
            }
            const int n = SRead(srl->fd, srl->buf, srl->bufSize, srl->timeoutLen, kSioReturnAtOnce);
            if (n <= 0) {
                *dst = '\0';
                return n == 0 ? static_cast<int>(dst - linebuf) : n;
            }
            srl->bufPtr = srl->buf;
            srl->bufLim = srl->buf + n;
        }
        const char c = *srl->bufPtr++;
        if (c == '\0') {
            stray++;
            continue;
        }
        if (c == '\r') {
            if (srl->bufPtr < srl->bufLim && *srl->bufPtr != '\n')
                stray++;
            continue;
        }
        *dst++ = c;
        if (c == '\n' || dst == dstLim) {
            *dst = '\0';
            return static_cast<int>(dst - linebuf);
        }
    }
}

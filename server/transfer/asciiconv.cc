// Line-end conversion of TYPE A transfers (see asciiconv.h for the rules).
#include "transfer/asciiconv.h"

#include <cstring>

namespace {

size_t PutCRLF(char *dst)
{
    dst[0] = '\r';
    dst[1] = '\n';
    return 2;
}

}  // namespace

size_t AsciiToNetwork(int mode, AsciiState *st, const char *src, size_t n, char *dst)
{
    if (mode == 0) {
        memcpy(dst, src, n);
        return n;
    }
    char *out = dst;
    for (size_t i = 0; i < n; i++) {
        const char c = src[i];
        if (st->pendingCRs > 0) {
            st->pendingCRs = 0;
            if (c == '\n') {              // CR LF: one line end
                out += PutCRLF(out);
                continue;
            }
            if (mode == 1)                // a lone CR passes unchanged in mode 1
                *out++ = '\r';
            else
                out += PutCRLF(out);
        }
        if (c == '\r')
            st->pendingCRs = 1;
        else if (c == '\n')
            out += PutCRLF(out);
        else
            *out++ = c;
    }
    return static_cast<size_t>(out - dst);
}

size_t AsciiToNetworkEnd(int mode, AsciiState *st, char *dst)
{
    if (st->pendingCRs == 0)
        return 0;
    st->pendingCRs = 0;
    if (mode == 1) {
        dst[0] = '\r';
        return 1;
    }
    return PutCRLF(dst);
}

size_t AsciiFromNetwork(int mode, AsciiState *st, const char *src, size_t n, char *dst)
{
    char *out = dst;
    if (mode <= 1) {
        for (size_t i = 0; i < n; i++) {
            if (src[i] != '\r')
                *out++ = src[i];
        }
        return static_cast<size_t>(out - dst);
    }
    for (size_t i = 0; i < n; i++) {
        const char c = src[i];
        if (c == '\r') {
            // CR CR LF is one line end, so two carriage returns are held; a
            // third lets the oldest go as a line feed of its own.
            if (st->pendingCRs == 2)
                *out++ = '\n';
            else
                st->pendingCRs++;
            continue;
        }
        if (c == '\n') {                  // LF, CR LF or CR CR LF
            st->pendingCRs = 0;
            *out++ = '\n';
            continue;
        }
        for (; st->pendingCRs > 0; st->pendingCRs--)
            *out++ = '\n';
        *out++ = c;
    }
    return static_cast<size_t>(out - dst);
}

size_t AsciiFromNetworkEnd(int mode, AsciiState *st, char *dst)
{
    size_t n = 0;
    if (mode >= 2) {
        for (; st->pendingCRs > 0; st->pendingCRs--)
            dst[n++] = '\n';
    }
    st->pendingCRs = 0;
    return n;
}

// Binds the OpenSSL calls of server/tls/ (tlsapi.h) when TLS is configured.
#include "tls/tlsapi.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace {

// While a key is read, every buffer the library frees is wiped first: its
// decoders leave copies of the key's bytes in memory they free, which
// every process forked later would inherit.
bool gWipeFreed;

void *TlsMalloc(size_t n, const char *, int)
{
    return malloc(n);
}

void TlsFree(void *p, const char *, int)
{
    if (gWipeFreed && p != nullptr)
        explicit_bzero(p, malloc_usable_size(p));
    free(p);
}

void *TlsRealloc(void *p, size_t n, const char *file, int line)
{
    if (!gWipeFreed || p == nullptr)
        return realloc(p, n);
    if (n == 0) {
        TlsFree(p, file, line);
        return nullptr;
    }
    void *moved = malloc(n);
    if (moved == nullptr)
        return nullptr;
    const size_t old = malloc_usable_size(p);
    memcpy(moved, p, old < n ? old : n);
    TlsFree(p, file, line);
    return moved;
}

}  // namespace

void TlsWipeFreedMemory(bool on)
{
    gWipeFreed = on;
}

#if !defined(ZORVAD_TLS_LINKED)
#include "base/dynlib.h"

#define ZORVAD_TLS_POINTER(name) decltype(gTls_##name) gTls_##name;
ZORVAD_TLS_CALLS(ZORVAD_TLS_POINTER)
#undef ZORVAD_TLS_POINTER

namespace {

// The soname of the OpenSSL the server was built with: libcrypto comes
// with it, and each call is looked up through it.
#define ZORVAD_STRINGIFY(x) #x
#define ZORVAD_SONAME(major) "libssl.so." ZORVAD_STRINGIFY(major)
constexpr const char *kLibsslSoname = ZORVAD_SONAME(OPENSSL_VERSION_MAJOR);

bool gTlsBound;

}  // namespace

int TlsLoadLibrary(char *why, size_t whySize)
{
    if (gTlsBound)
        return 0;
    // Kept open for good: the pointers stay valid in every process forked later.
    void *handle = OpenLibrary(kLibsslSoname, why, whySize);
    if (handle == nullptr)
        return -1;
    bool bound = true;
#define ZORVAD_TLS_BIND(name) bound = bound && LibrarySymbol(handle, #name, gTls_##name, why, whySize);
    ZORVAD_TLS_CALLS(ZORVAD_TLS_BIND)
#undef ZORVAD_TLS_BIND
    // Before any other call of ours.  Refused only when something else in
    // the process (a name service module) used the library first: TLS
    // then works as before, without the wipe.
    if (bound)
        (void) CRYPTO_set_mem_functions(TlsMalloc, TlsRealloc, TlsFree);
    gTlsBound = bound;
    return bound ? 0 : -1;
}
#else
int TlsLoadLibrary(char *, size_t)
{
    static bool set;
    if (!set)
        (void) CRYPTO_set_mem_functions(TlsMalloc, TlsRealloc, TlsFree);   // as above
    set = true;
    return 0;
}
#endif

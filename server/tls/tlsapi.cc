// Binds the OpenSSL calls of server/tls/ (tlsapi.h) when TLS is configured.
#include "tls/tlsapi.h"

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
    gTlsBound = bound;
    return bound ? 0 : -1;
}
#else
int TlsLoadLibrary(char *, size_t)
{
    return 0;
}
#endif

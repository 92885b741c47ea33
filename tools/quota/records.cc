#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quotatool.h"
#include "toolstart.h"

int LookUpRecord(const char *name, size_t len, Hpwd *p)
{
    OrmelDatum d{};
    const int rc = len > size_t(kOrmelMaxKeyLen) ? kOrmelErrKeyTooLarge : Ormel_Query(&gDb, name, int(len), &d);
    if (rc != 0) {
        fprintf(stderr, "Could not query record for \"%.*s\" : %s.\n", int(len), name, Ormel_Strerror(rc));
        return -1;
    }
    const bool ok = ParseStoredRecord(d.data, p);
    explicit_bzero(d.data, size_t(d.len));
    free(d.data);
    return ok ? 0 : -1;
}

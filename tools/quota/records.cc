#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quotatool.h"
#include "toolstart.h"

bool ParseStoredRecord(const char *data, Hpwd *p)
{
    char line[kOrmelMaxDataLen + 1];
    snprintf(line, sizeof line, "%s", data);
    const bool ok = ParseHpwdLine(p, line, 0, 0) == 0;
    explicit_bzero(line, strlen(line));
    if (!ok)
        printf("Corrupt: %s\n", data);
    return ok;
}

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

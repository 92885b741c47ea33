// Password records: the input is one database line (and the misc-data and
// permission texts it carries).  A parsed record written back and parsed
// again must give the same line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Hpwd.h"
#include "fuzzenv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = FuzzText(data, size);
    if (text.size() >= 4 * kHpwdLineSize)
        return 0;
    Hpwd rec;
    InitHpwdStruct(&rec);
    std::string line = text;
    if (ParseHpwdLine(&rec, line.data(), 0, 0) == 0) {
        char out[4 * kHpwdLineSize];
        UnparseHpwdEntry(out, sizeof(out), &rec);
        std::string again = out;
        Hpwd rec2;
        InitHpwdStruct(&rec2);
        if (ParseHpwdLine(&rec2, again.data(), 0, 0) != 0) {
            fprintf(stderr, "written line does not read: [%s]\n", out);
            abort();
        }
        char out2[4 * kHpwdLineSize];
        UnparseHpwdEntry(out2, sizeof(out2), &rec2);
        if (strcmp(out, out2) != 0) {
            fprintf(stderr, "written line reads as another record:\n[%s]\n[%s]\n", out, out2);
            abort();
        }
    }
    int mask, restricted;
    char perm[64];
    (void) ParsePassMiscDataField(text.c_str(), &mask, &restricted, perm, sizeof(perm));
    char misc[256];
    UnparsePassMiscDataField(misc, sizeof(misc), mask, restricted, perm);
    char bad = '\0';
    (void) ParseUserPermissions(text.c_str(), &bad);
    return 0;
}

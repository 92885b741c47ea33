// The keyed database file opened from the input bytes: verified, walked key
// by key, queried, then changed (insert, replace, delete) as the password
// tool does.  A corrupt file must end the walk (libFuzzer's -timeout catches
// a loop).
#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Hpwd.h"
#include "fuzzenv.h"
#include "ormel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = std::string(FuzzScratchDir()) + "/passwd.db";
    if (FuzzWriteFile(path.c_str(), data, size) < 0)
        return 0;

    OrmelHandle h;
    memset(&h, 0, sizeof(h));
    if (Ormel_Open(&h, path.c_str(), kOrmelReadWrite, 0600, kHpwdBuckets) != 0)
        return 0;
    (void) Ormel_VerifyDatabaseHeader(&h, 1);
    char *key = nullptr;
    OrmelDatum datum;
    OrmelCursor cursor;
    for (int rc = Ormel_FirstKey(&h, &key, &datum, &cursor); rc == 0; rc = Ormel_NextKey(&h, &key, &datum, &cursor)) {
        free(key);
        free(datum.data);
    }
    OrmelDatum found;
    if (Ormel_Query(&h, "alice", 5, &found) == 0)
        free(found.data);
    (void) Ormel_Exists(&h, "bob", 3);
    static const char line[] = "carol:x:1000:1000::/home/carol:/bin/sh";
    (void) Ormel_Insert(&h, "carol", 5, line, sizeof(line), 0);
    (void) Ormel_Insert(&h, "carol", 5, line, sizeof(line), 1);
    (void) Ormel_Delete(&h, "alice", 5);
    (void) Ormel_Close(&h);

    Hpwd rec;
    (void) OpenAndGetHpwdByName(&rec, "carol", path.c_str());
    return 0;
}

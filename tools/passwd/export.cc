// Showing records: one (-q, -Q), all (-x, -X), the system's accounts (-E),
// the long format (PrintUser), and deleting one (-d).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Spwd.h"
#include "passwd.h"
#include "toolstart.h"

namespace {

// The labels of the long format, padded to the widest.
constexpr int kLabelWidth = int(sizeof "Supplementary GIDs:");

void PrintLimit(const char *prefix, const char *label, int value, const char *unit)
{
    if (value < 1)
        printf("%s%-*s %s\n", prefix, kLabelWidth, label, "(no limit)");
    else
        printf("%s%-*s %d%s\n", prefix, kLabelWidth, label, value, unit);
}


void FreeDatum(OrmelDatum *d)
{
    if (d->data != nullptr) {
        explicit_bzero(d->data, size_t(d->len));
        free(d->data);
        d->data = nullptr;
    }
}

}  // namespace

void PrintUser(const Hpwd *p, const char *prefix)
{
    const int w = kLabelWidth;
    printf("%s%-*s %s\n", prefix, w, "Short user name:", p->username);
    printf("%s%-*s %s\n", prefix, w, "Encrypted password:", p->passwd);
    printf("%s%-*s %d\n", prefix, w, "UID:", p->uid);
    printf("%s%-*s %d\n", prefix, w, "GID:", p->gid[0]);
    if (p->nGids > 1) {
        printf("%s%-*s ", prefix, w, "Supplementary GIDs:");
        for (int i = 1; i < p->nGids; i++)
            printf(i == 1 ? "%d" : ",%d", p->gid[i]);
        printf("\n");
    }
    printf("%s%-*s %s\n", prefix, w, "Full name:", p->gecos);
    printf("%s%-*s %s\n", prefix, w, "Home directory:", p->homedir);
    printf("%s%-*s %s\n", prefix, w, "Shell:", p->shell);
    PrintLimit(prefix, "Hard quota, kB:", p->hardQuotaKB, "");
    PrintLimit(prefix, "Soft quota, kB:", p->softQuotaKB, "");
    PrintLimit(prefix, "Hard quota, files:", p->hardQuotaFiles, "");
    PrintLimit(prefix, "Soft quota, files:", p->softQuotaFiles, "");
    PrintLimit(prefix, "Download bandwidth:", p->downloadBandwidth, " kB/sec");
    PrintLimit(prefix, "Upload bandwidth:", p->uploadBandwidth, " kB/sec");
    int umaskValue, restricted;
    char perm[sizeof p->miscData];
    if (ParsePassMiscDataField(p->miscData, &umaskValue, &restricted, perm, sizeof perm) == 0)
        return;
    if (umaskValue != -1)
        printf("%s%-*s %03o\n", prefix, w, "Umask:", unsigned(umaskValue));
    if (restricted != -1)
        printf("%s%-*s %s\n", prefix, w, "Restricted:", restricted ? "yes" : "no");
    if (perm[0] != '\0')
        printf("%s%-*s %s\n", prefix, w, "User Permissions:", perm);
}

int QueryOperation(const char *name, bool longFormat)
{
    if (OpenToolDatabase(kToolOpenRead) != 0)
        return 1;
    DropPrivileges();
    OrmelDatum d{};
    const int rc = Ormel_Query(&gDb, name, int(strlen(name)), &d);
    if (rc != 0) {
        fprintf(stderr, "Could not query record for \"%s\" : %s.\n", name, Ormel_Strerror(rc));
        return 1;
    }
    Hpwd rec;
    int result = 1;
    if (ParseStoredRecord(d.data, &rec) && CheckRecordPermission(&rec, kRecordView)) {
        if (longFormat)
            PrintUser(&rec, "  ");
        else
            printf("%s\n", d.data);
        result = 0;
    }
    explicit_bzero(rec.passwd, sizeof rec.passwd);
    FreeDatum(&d);
    return CloseToolDatabase() == 0 ? result : 1;
}

int DeleteOperation(const char *name)
{
    if (OpenToolDatabase(kToolOpenReadWrite) != 0)
        return 1;
    ActAsCaller();
    OrmelDatum d{};
    int rc = Ormel_Query(&gDb, name, int(strlen(name)), &d);
    if (rc == 0) {
        Hpwd rec;
        const bool allowed = !ParseStoredRecord(d.data, &rec) ? gCanModifyAnyRecord
                                                        : CheckRecordPermission(&rec, kRecordDelete);
        FreeDatum(&d);
        if (!allowed)
            return 1;
        LockHolderGuard holder;
        rc = Ormel_Delete(&gDb, name, int(strlen(name)));
    }
    if (rc != 0) {
        fprintf(stderr, "Could not remove record for \"%s\" : %s.\n", name, Ormel_Strerror(rc));
        return 1;
    }
    if (CloseToolDatabase() != 0) {
        fprintf(stderr, "Could not remove record for \"%s\" : %s.\n", name, Ormel_Strerror(kOrmelErrWrite));
        return 1;
    }
    printf("ok\n");
    return 0;
}

namespace {

// Lists the records the caller may see, under the database's read lock (no
// write meanwhile); 0, or the library's error code.  The listing is kept
// in memory while the lock is held (LockHolderGuard): a caller that leaves
// it unread must not keep every writer waiting.
int ListRecords(bool longFormat, bool *skipped, int *returned)
{
    LockHolderGuard holder;
    if (Ormel_ExclusiveLock(&gDb, kOrmelReadLock) != 0)
        return kOrmelErrLock;
    OrmelCursor cursor{};
    char *key = nullptr;
    OrmelDatum d{};
    int rc = Ormel_FirstKey(&gDb, &key, &d, &cursor);
    for (; rc == 0; rc = Ormel_NextKey(&gDb, &key, &d, &cursor)) {
        Hpwd rec;
        if (!ParseStoredRecord(d.data, &rec)) {
        } else if (!MayActOnRecord(&rec, kRecordView)) {
            *skipped = true;
        } else if (longFormat) {
            PrintUser(&rec, "");
            printf("\n");
        } else {
            printf("%s\n", d.data);
        }
        explicit_bzero(rec.passwd, sizeof rec.passwd);
        free(key);
        key = nullptr;
        FreeDatum(&d);
    }
    (void)Ormel_ExclusiveLock(&gDb, kOrmelUnlock);
    *returned = static_cast<int>(cursor.nReturned);
    return rc;
}

}  // namespace

int ExportOperation(bool longFormat)
{
    if (OpenToolDatabase(kToolOpenRead) != 0)
        return 1;
    ActAsCaller();
    bool skipped = false;
    int returned = 0;
    const int rc = ListRecords(longFormat, &skipped, &returned);
    if (rc == kOrmelErrLock) {
        fprintf(stderr, "Export failed : %s.\n", Ormel_Strerror(kOrmelErrLock));
        return 1;
    }
    int result = 0;
    if (rc == kOrmelErrNoMoreRecords && returned == 0) {
        printf("(database is empty)\n");
    } else if (rc != kOrmelErrNoMoreRecords) {
        fprintf(stderr, "Export failed : %s.\n", Ormel_Strerror(rc));
        result = 1;
    }
    if (skipped)
        fprintf(stderr, "Warning: One or more records were not exported because you don't have\n"
                        "permission to export them.\n");
    if (fflush(stdout) != 0 || ferror(stdout))
        result = 1;
    return CloseToolDatabase() == 0 ? result : 1;
}

int SpecialExportOperation()
{
    Spwd acct;
    char line[2048];
    for (int first = 1; GetSpwdEnt(first, &acct, 1, gSpecialExportCount == 1, 0) == 0; first = 0) {
        UnparseSpwdEntry(line, sizeof line, &acct);
        printf("%s\n", line);
        explicit_bzero(acct.passwd, sizeof acct.passwd);
        explicit_bzero(line, sizeof line);
    }
    EndSpwd();
    return fflush(stdout) == 0 ? 0 : 1;
}

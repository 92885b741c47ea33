// zorvad_edquota: changes the six quota and bandwidth fields of virtual users'
// records, by asking for each (zorvad_edquota -f db user...) or by copying
// them from a prototype user (-p proto user...).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "getopt.h"
#include "quotatool.h"
#include "toolstart.h"

namespace {

constexpr char kOptions[] = "ugtf:vwp:C:B:bV";

constexpr char kUsage[] =
    "Usage:\n"
    "  Change a user's quota:\n"
    "  zorvad_edquota -f <passwd.db> <username>\n"
    "  Copy a prototype user's quota to the named users:\n"
    "  zorvad_edquota -f <passwd.db> -p <existuser> <username> [<username2> ... ]\n";

// The six fields, in the order in which they are asked.
constexpr int kNumFields = 6;
constexpr const char *kPrompts[kNumFields] = {
    "    Hard quota, kB [%s] : ",
    "    Soft quota, kB [%s] : ",
    "    Hard quota, files [%s] : ",
    "    Soft quota, files [%s] : ",
    "    Download bandwidth limit, in kB/sec [%s] : ",
    "    Upload bandwidth limit, in kB/sec [%s] : ",
};

struct QuotaFields {
    int32_t v[kNumFields];
};

QuotaFields FieldsOf(const Hpwd *p)
{
    return QuotaFields{{p->hardQuotaKB, p->softQuotaKB, p->hardQuotaFiles, p->softQuotaFiles,
                        p->downloadBandwidth, p->uploadBandwidth}};
}

void SetFields(Hpwd *p, const QuotaFields &f)
{
    p->hardQuotaKB = f.v[0];
    p->softQuotaKB = f.v[1];
    p->hardQuotaFiles = f.v[2];
    p->softQuotaFiles = f.v[3];
    p->downloadBandwidth = f.v[4];
    p->uploadBandwidth = f.v[5];
}

bool SameFields(const QuotaFields &a, const QuotaFields &b)
{
    return memcmp(a.v, b.v, sizeof a.v) == 0;
}

[[noreturn]] void Usage()
{
    PageText(kUsage);
    exit(5);
}

// A limit as typed: a whole number from -1 (no limit, as 0) upwards.
bool ParseLimit(const char *text, int32_t *value)
{
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < -1 || v > INT32_MAX)
        return false;
    *value = int32_t(v);
    return true;
}

// Asks for one field until the answer is empty (the value stays) or a
// number; the end of input ends the program with nothing written.
void AskField(int i, int32_t *value)
{
    for (;;) {
        char current[32], answer[256];
        if (*value < 1)
            snprintf(current, sizeof current, "%s", "0 (no limit)");
        else
            snprintf(current, sizeof current, "%d", *value);
        printf(kPrompts[i], current);
        fflush(stdout);
        const int rc = ReadLine(stdin, answer, sizeof answer);
        if (rc == 0) {
            fprintf(stderr, "\nNo changes saved.\n");
            exit(1);
        }
        if (rc > 0 && (answer[0] == '\0' || ParseLimit(answer, value)))
            return;
    }
}

bool ApplyFields(Hpwd *p, const void *fields)
{
    SetFields(p, *static_cast<const QuotaFields *>(fields));
    return true;
}

// Writes the six fields into the record as stored now, not as read before
// the prompts: a password changed or a user deleted meanwhile stays so.  0 or 1.
int WriteBack(const char *name, const QuotaFields &fields)
{
    const int result = UpdateStoredRecord(name, ApplyFields, &fields);
    if (result == 0)
        printf("    Quotas changed for user %s.\n", name);
    return result;
}

// One user: its record is found and may be changed; proto gives the new
// fields, or they are asked for when it is null.
int EditUser(const char *name, const QuotaFields *proto)
{
    Hpwd rec;
    int result = 1;
    if (LookUpRecord(name, strlen(name), &rec) == 0 && CheckModifyPermission(&rec, "modify")) {
        explicit_bzero(rec.passwd, sizeof rec.passwd);
        const QuotaFields old = FieldsOf(&rec);
        QuotaFields now = old;
        if (proto != nullptr)
            now = *proto;
        else
            for (int i = 0; i < kNumFields; i++)
                AskField(i, &now.v[i]);
        if (SameFields(old, now)) {
            printf("No fields were changed, not updating record.\n");
            result = 0;
        } else {
            result = WriteBack(name, now);
        }
    }
    explicit_bzero(rec.passwd, sizeof rec.passwd);
    return result;
}

// The prototype's fields, when the caller may see its record.
int PrototypeFields(const char *name, QuotaFields *f)
{
    Hpwd rec;
    int result = -1;
    if (LookUpRecord(name, strlen(name), &rec) == 0) {
        if (MayActOnRecord(&rec, kRecordView)) {
            *f = FieldsOf(&rec);
            result = 0;
        } else {
            fprintf(stderr, "Record for %s exists, but you don't have permission to copy it.\n", rec.username);
        }
    }
    explicit_bzero(rec.passwd, sizeof rec.passwd);
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    ToolStart("zorvad_edquota", argc, argv);
    const char *prototype = nullptr;
    int c;
    while ((c = Getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
        case 'u':
        case 'g':
        case 't':
        case 'B': break;
        case 'f': SetPwFileName(gOptArg); break;
        case 'v': gVerbose++; break;
        case 'w': gWarnings = !gWarnings; break;
        case 'p': prototype = gOptArg; break;
        case 'C': gHSize = atoi(gOptArg); break;
        case 'b':
        case 'V':
            PrintToolVersion();
            exit(0);
        default: Usage();
        }
    }
    gHpwdWarnings = gWarnings;
    CatchExitSignals();
    if (gOptInd >= argc) {
        fprintf(stderr, "No user specified.\n");
        exit(1);
    }
    CheckPwFileName(Usage);
    if (OpenToolDatabase(kToolOpenReadWrite) != 0)
        return 1;
    ActAsCaller();

    QuotaFields proto;
    if (prototype != nullptr && PrototypeFields(prototype, &proto) != 0)
        return 1;
    int result = 0;
    for (int i = gOptInd; i < argc; i++)
        if (EditUser(argv[i], prototype != nullptr ? &proto : nullptr) != 0)
            result = 1;
    if (CloseToolDatabase() != 0) {
        fprintf(stderr, "Could not update record for \"%s\" : %s.\n", argv[argc - 1], Ormel_Strerror(kOrmelErrWrite));
        return 1;
    }
    return result;
}

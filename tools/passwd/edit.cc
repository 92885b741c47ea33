// Interactive editing of one record (-A adds, -U name replaces): one prompt
// per field showing the current value; an empty answer keeps it.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "passwd.h"
#include "toolstart.h"

namespace {

constexpr const char *kLabels[] = {
    "Short user name", "Password", "UID", "GIDs", "Full name", "Home directory", "Shell",
    "Hard quota, kB", "Soft quota, kB", "Hard quota, files", "Soft quota, files",
    "Download bandwidth, in kB/s", "Upload bandwidth, in kB/s", "Umask", "Restricted", "User permissions",
};

int LabelWidth()
{
    size_t w = 0;
    for (const char *label : kLabels)
        w = std::max(w, strlen(label));
    return int(w);
}

// Prints "label [current]: " and reads the answer; exits 1 at end of input.
void Ask(const char *label, const char *current, char *answer, size_t size)
{
    printf("%-*s [%s]: ", LabelWidth(), label, current);
    fflush(stdout);
    if (ReadLine(stdin, answer, size) == 0) {
        fprintf(stderr, "\nNo changes saved.\n");
        exit(1);
    }
}

bool ParseInt(const char *text, int *value)
{
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < -1 || v > 0x7FFFFFFF)
        return false;
    *value = int(v);
    return true;
}

void AskText(const char *label, char *field, size_t size)
{
    char answer[256];
    Ask(label, field, answer, sizeof answer);
    if (answer[0] != '\0')
        Strncpy(field, answer, size);
}

void AskUid(Hpwd *p)
{
    for (;;) {
        char current[16], answer[256];
        snprintf(current, sizeof current, "%d", p->uid);
        Ask("UID", current, answer, sizeof answer);
        if (answer[0] == '\0' || ParseHpwdUIDStr(answer, p, 1) == 0)
            return;
        printf("Bad user ID, \"%s\"\n", answer);
    }
}

void AskGids(Hpwd *p)
{
    for (;;) {
        char current[512] = "", answer[256], item[16];
        for (int i = 0; i < p->nGids; i++) {
            snprintf(item, sizeof item, i == 0 ? "%d" : ",%d", p->gid[i]);
            Strncat(current, item);
        }
        Ask("GIDs", current, answer, sizeof answer);
        if (answer[0] == '\0')
            return;
        bool ok = true;
        for (const char *s = answer; *s != '\0'; s++)
            ok = ok && (isdigit((unsigned char)*s) || *s == ',');
        Hpwd tmp = *p;
        if (ok && ParseHpwdGIDsStr(answer, &tmp, 0) > 0) {
            memcpy(p->gid, tmp.gid, sizeof p->gid);
            p->nGids = tmp.nGids;
            return;
        }
        printf("Bad group list, \"%s.\"  It should be a comma-delimited list of integers.\n", answer);
    }
}

void AskPath(const char *label, char *field, size_t size, bool mayBeEmpty)
{
    for (;;) {
        char answer[256];
        Ask(label, field, answer, sizeof answer);
        if (answer[0] == '\0' || answer[0] == '/') {
            if (answer[0] != '\0')
                Strncpy(field, answer, size);
            return;
        }
        if (mayBeEmpty)
            printf("Bad shell, \"%s.\"  If set, it should be an absolute pathname.\n", answer);
        else
            printf("Bad home directory, \"%s.\"  It should be an absolute pathname.\n", answer);
    }
}

void AskLimit(const char *label, int32_t *value)
{
    for (;;) {
        char current[40], answer[256];
        snprintf(current, sizeof current, "%d", *value);
        printf("(0 => no limit)\n");
        Ask(label, current, answer, sizeof answer);
        int v;
        if (answer[0] == '\0')
            return;
        if (ParseInt(answer, &v)) {
            *value = v;
            return;
        }
    }
}

void AskPassword(Hpwd *p, bool adding)
{
    for (;;) {
        char prompt[128], plain[256];
        snprintf(prompt, sizeof prompt, "%-*s [%s]: ", LabelWidth(), "Password",
                 adding ? "" : "(keep existing)");
        if (ReadWithoutEcho(prompt, plain, sizeof plain) != 0) {
            fprintf(stderr, "\nNo changes saved.\n");
            exit(1);
        }
        if (plain[0] == '\0' && !adding)
            return;
        if (plain[0] != '\0' && EncryptPassword(plain, p->passwd, sizeof p->passwd) == 0)
            return;
        explicit_bzero(plain, sizeof plain);
    }
}

// Umask, restricted and permissions live in the misc-data field.
void AskMiscData(Hpwd *p)
{
    int mask, restricted;
    char perm[sizeof p->miscData], current[64], answer[256];
    ParsePassMiscDataField(p->miscData, &mask, &restricted, perm, sizeof perm);
    for (;;) {
        if (mask < 0)
            Strncpy(current, "(use default)");
        else
            snprintf(current, sizeof current, "%03o", unsigned(mask));
        Ask("Umask", current, answer, sizeof answer);
        char *end = nullptr;
        const long m = strtol(answer, &end, 8);
        if (answer[0] == '\0')
            break;
        if (strcmp(answer, "X") == 0 || strcmp(answer, "x") == 0) {
            mask = -1;
            break;
        }
        if (*end == '\0' && m >= 0 && m <= 0777) {
            mask = int(m);
            break;
        }
    }
    for (;;) {
        Ask("Restricted", restricted < 0 ? "(use default)" : restricted ? "yes" : "no", answer, sizeof answer);
        if (answer[0] == '\0')
            break;
        if (strcmp(answer, "X") == 0 || strcmp(answer, "x") == 0) {
            restricted = -1;
            break;
        }
        if (strcasecmp(answer, "yes") == 0 || strcasecmp(answer, "no") == 0) {
            restricted = tolower((unsigned char)answer[0]) == 'y';
            break;
        }
    }
    for (;;) {
        Ask("User permissions", perm, answer, sizeof answer);
        char bad = 0;
        if (answer[0] == '\0')
            break;
        if (ParseUserPermissions(answer, &bad) == 0) {
            Strncpy(perm, answer);
            break;
        }
        printf("Bad user permissions string \"%.31s\" (stopped at %c).\n", answer, bad);
    }
    UnparsePassMiscDataField(p->miscData, sizeof p->miscData, mask, restricted, perm);
}

void AskAll(Hpwd *p, bool adding)
{
    if (adding) {
        while (p->username[0] == '\0')
            AskText("Short user name", p->username, sizeof p->username);
    }
    AskPassword(p, adding);
    AskUid(p);
    AskGids(p);
    AskText("Full name", p->gecos, sizeof p->gecos);
    AskPath("Home directory", p->homedir, sizeof p->homedir, false);
    AskPath("Shell", p->shell, sizeof p->shell, true);
    AskLimit("Hard quota, kB", &p->hardQuotaKB);
    AskLimit("Soft quota, kB", &p->softQuotaKB);
    AskLimit("Hard quota, files", &p->hardQuotaFiles);
    AskLimit("Soft quota, files", &p->softQuotaFiles);
    AskLimit("Download bandwidth, in kB/s", &p->downloadBandwidth);
    AskLimit("Upload bandwidth, in kB/s", &p->uploadBandwidth);
    AskMiscData(p);
}

}  // namespace

int EditOperation(const char *name)
{
    const bool adding = name == nullptr;
    if (OpenToolDatabase(adding ? kToolOpenCreate : kToolOpenReadWrite) != 0)
        return 1;
    ActAsCaller();
    Hpwd rec;
    InitHpwdStruct(&rec);
    if (!adding) {
        const int rc = GetHpwdByName(&rec, name, &gDb);
        if (rc != 0) {
            fprintf(stderr, "Could not query record for \"%s\" : %s.\n", name,
                    Ormel_Strerror(rc == -1 ? kOrmelErrNotFound : rc));
            return 1;
        }
        if (!CheckRecordPermission(&rec, kRecordReplace))
            return 1;
    }
    AskAll(&rec, adding);
    char line[2048];
    UnparseHpwdEntry(line, sizeof line, &rec);
    explicit_bzero(rec.passwd, sizeof rec.passwd);
    printf("Complete record is\n%s\n", line);
    // Stored as any added line: the same ownership rules and checks.
    const int rc = AddRecordLine(line, !adding, false);
    explicit_bzero(line, sizeof line);
    return rc == 0 && CloseToolDatabase() == 0 ? 0 : 1;
}

// Virtual-user password records: the line format, the misc-data field and the
// database look-ups.
#include "Hpwd.h"
#include "Strn.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <strings.h>

int gHpwdWarnings = 0;

void InitHpwdStruct(Hpwd *p)
{
    InitSpwdStruct(p);
}

// ---- The line ---------------------------------------------------------------

// Position of the field splitter; a null line continues from here.
static char *gHpwdLinePos = nullptr;

// The next field: runs to ":" or newline (overwritten with a NUL) or the end,
// so adjacent separators give an empty field.  nullptr after the last one.
static char *NextField(char *line)
{
    char *s = line != nullptr ? line : gHpwdLinePos;
    if (s == nullptr)
        return nullptr;
    char *start = s;
    while (*s != '\0' && *s != ':' && *s != '\n')
        s++;
    if (*s == '\0') {
        gHpwdLinePos = nullptr;
    } else {
        *s = '\0';
        gHpwdLinePos = s + 1;
    }
    return start;
}

// How IDs are read: the database look-up also takes "-<digits>" as a number.
enum class IdSyntax { kDigitsOnly, kSigned };

static bool IsNumericId(const char *text, IdSyntax syntax)
{
    if (isdigit((unsigned char)text[0]))
        return true;
    return syntax == IdSyntax::kSigned && text[0] == '-' && isdigit((unsigned char)text[1]);
}

// The value of a numeric ID (leading digits, or "-" and digits), or -1 when it
// does not fit 32 bits: atoi would wrap "4294967296" round to 0, root.
static int32_t IdNumber(const char *text)
{
    errno = 0;
    const long value = strtol(text, nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return -1;
    return static_cast<int32_t>(value);
}

// A quota or bandwidth limit: its leading number, held at the int range
// rather than wrapped (atoi turned "4294967297" into a 1 kB limit).
static int LimitNumber(const char *text)
{
    errno = 0;
    const long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

static int ParseUID(const char *text, Hpwd *p, int lookupNames, IdSyntax syntax)
{
    if (text[0] == '\0') {
        p->uid = -1;
        return 0;
    }
    if (IsNumericId(text, syntax)) {
        p->uid = IdNumber(text);
        return 0;
    }
    const struct passwd *pw = lookupNames ? getpwnam(text) : nullptr;
    p->uid = pw != nullptr ? int32_t(pw->pw_uid) : -1;
    return pw != nullptr ? 0 : -1;
}

static int ParseGIDs(char *text, Hpwd *p, int lookupNames, IdSyntax syntax)
{
    for (int32_t &g : p->gid)
        g = -1;
    p->nGids = 0;
    char *context = nullptr;
    for (char *tok = strtokc(text, ", \t", &context); tok != nullptr && p->nGids < kSpwdMaxGids;
         tok = strtokc(nullptr, ", \t", &context)) {
        int32_t gid = -1;
        if (IsNumericId(tok, syntax)) {
            gid = IdNumber(tok);
        } else if (lookupNames) {
            const struct group *gr = getgrnam(tok);
            if (gr != nullptr)
                gid = int32_t(gr->gr_gid);
        }
        p->gid[p->nGids++] = gid;
    }
    return p->nGids;
}

int ParseHpwdUIDStr(const char *text, Hpwd *p, int lookupNames)
{
    return ParseUID(text != nullptr ? text : "", p, lookupNames, IdSyntax::kDigitsOnly);
}

int ParseHpwdGIDsStr(char *text, Hpwd *p, int lookupNames)
{
    return ParseGIDs(text, p, lookupNames, IdSyntax::kDigitsOnly);
}

static int ParseLine(Hpwd *p, char *line, int lookupNames, int keepOpen, IdSyntax syntax)
{
    InitHpwdStruct(p);
    int nFields = 0;
    for (char *f = NextField(line); f != nullptr && nFields < 14; f = NextField(nullptr)) {
        switch (++nFields) {
        case 1: Strncpy(p->username, f); break;
        case 2: Strncpy(p->passwd, f); break;
        case 3: ParseUID(f, p, lookupNames, syntax); break;
        case 4: ParseGIDs(f, p, lookupNames, syntax); break;
        case 5: Strncpy(p->gecos, f); break;
        case 6: Strncpy(p->homedir, f); break;
        case 7: Strncpy(p->shell, f); break;
        case 8: p->hardQuotaKB = LimitNumber(f); break;
        case 9: p->softQuotaKB = LimitNumber(f); break;
        case 10: p->hardQuotaFiles = LimitNumber(f); break;
        case 11: p->softQuotaFiles = LimitNumber(f); break;
        case 12: Strncpy(p->miscData, f); break;
        case 13: p->downloadBandwidth = LimitNumber(f); break;
        case 14: p->uploadBandwidth = LimitNumber(f); break;
        }
    }
    if (lookupNames && !keepOpen) {
        endgrent();
        endpwent();
    }
    if (nFields < 7) {
        InitHpwdStruct(p);
        return -1;
    }
    return 0;
}

int ParseHpwdLine(Hpwd *p, char *line, int lookupNames, int keepOpen)
{
    return ParseLine(p, line, lookupNames, keepOpen, IdSyntax::kDigitsOnly);
}

static bool HasExtensionFields(const Hpwd *p)
{
    return p->hardQuotaKB != 0 || p->softQuotaKB != 0 || p->hardQuotaFiles != 0 ||
           p->softQuotaFiles != 0 || p->downloadBandwidth != 0 || p->uploadBandwidth != 0 ||
           p->miscData[0] != '\0';
}

char *UnparseHpwdEntry(char *dst, size_t size, const Hpwd *p)
{
    if (size == 0)
        return dst;
    char line[1536];
    UnparseSpwdEntry(line, sizeof line, p);   // the 7 standard fields
    // Without quotas and options the line stays a standard 7-field passwd line.
    if (HasExtensionFields(p)) {
        char ext[sizeof p->miscData + 96];
        snprintf(ext, sizeof ext, ":%d:%d:%d:%d:%s:%d:%d", p->hardQuotaKB, p->softQuotaKB,
                 p->hardQuotaFiles, p->softQuotaFiles, p->miscData, p->downloadBandwidth,
                 p->uploadBandwidth);
        Strncat(line, ext);
    }
    Strncpy(dst, line, size);
    return dst;
}

// ---- The database -------------------------------------------------------------

int OpenHpwd(OrmelHandle *h, const char *path, const char *mode)
{
    int flags = mode != nullptr && mode[0] == 'w' ? kOrmelReadWrite | kOrmelCreate : 0;
    errno = 0;
    int rc = Ormel_Open(h, path, flags, 0600, kHpwdBuckets);
    if (rc == 0)
        return 0;
    return rc == kOrmelErrGdbm ? -4 : -3;
}

int CloseHpwd(OrmelHandle *h)
{
    return Ormel_Close(h);
}

// The look-up proper; the database look-up reads "-<digits>" IDs as numbers.
int GetHpwdByName(Hpwd *p, const char *name, OrmelHandle *h)
{
    InitHpwdStruct(p);
    if (name == nullptr)
        return kOrmelErrParam;
    OrmelDatum d{};
    int rc = Ormel_Query(h, name, int(strlen(name)), &d);
    if (rc == kOrmelErrNotFound)
        return -1;
    if (rc != 0)
        return rc;
    rc = ParseLine(p, d.data, 0, 0, IdSyntax::kSigned);
    explicit_bzero(d.data, size_t(d.len));   // it holds the encrypted password
    free(d.data);
    return rc == 0 ? 0 : -1;
}

int OpenAndGetHpwdByName(Hpwd *p, const char *name, const char *path, struct stat *fileSt, int lockWaitMs)
{
    alignas(8) static OrmelHandle handle;
    InitHpwdStruct(p);
    if (reinterpret_cast<uintptr_t>(&handle) % 8 != 0)
        return kOrmelErrMisaligned;
    int rc = OpenHpwd(&handle, path, "r");
    if (rc != 0)
        return rc;
    if (fileSt != nullptr && fstat(handle.fd, fileSt) < 0) {
        CloseHpwd(&handle);
        return kOrmelErrOpen;
    }
    Ormel_SetLockWait(&handle, lockWaitMs);
    rc = GetHpwdByName(p, name, &handle);
    CloseHpwd(&handle);
    return rc;
}

// ---- The misc-data field --------------------------------------------------------

// yes/true 1, no/false 0, on 1, off 0, else the number; empty 0.  The same rule
// as the server's configuration parser, kept here so that the library does not
// depend on the server.
static int HpwdBoolOrInt(const char *s)
{
    while (isspace((unsigned char)*s))
        s++;
    switch (tolower((unsigned char)*s)) {
    case '\0': return 0;
    case 'f':
    case 'n': return 0;
    case 't':
    case 'y': return 1;
    case 'o': return tolower((unsigned char)s[1]) == 'f' ? 0 : 1;
    default: return atoi(s);
    }
}

// An octal umask of at most 0777, with nothing but blanks after it; -1 otherwise.
static int ParseUmask(const char *value)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(value, &end, 8);
    if (end == value || errno != 0 || v < 0 || v > 0777)
        return -1;
    while (isspace((unsigned char)*end))
        end++;
    return *end == '\0' ? int(v) : -1;
}

static void Warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void Warn(const char *fmt, ...)
{
    if (!gHpwdWarnings)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// Case-insensitive: the key (blanks around it ignored) equals or starts with word.
static bool KeyIs(const char *key, size_t keyLen, const char *word, bool prefix)
{
    while (keyLen > 0 && isspace((unsigned char)*key)) {
        key++;
        keyLen--;
    }
    while (keyLen > 0 && isspace((unsigned char)key[keyLen - 1]))
        keyLen--;
    size_t wordLen = strlen(word);
    if (keyLen < wordLen || (!prefix && keyLen != wordLen))
        return false;
    return strncasecmp(key, word, wordLen) == 0;
}

int ParsePassMiscDataField(const char *field, int *umask, int *restricted, char *perm,
                           size_t permSize)
{
    *umask = -1;
    *restricted = -1;
    if (perm != nullptr && permSize > 0)
        perm[0] = '\0';
    // An old numeric form is ignored as a whole.
    if (field == nullptr || isdigit((unsigned char)field[0]))
        return 0;
    char buf[sizeof(Hpwd::miscData)];
    Strncpy(buf, field);
    char *context = nullptr;
    for (char *item = strtokc(buf, ",\r\n", &context); item != nullptr;
         item = strtokc(nullptr, ",\r\n", &context)) {
        const char *eq = strchr(item, '=');
        if (eq == nullptr) {
            Warn("Syntax error in password record's field #12 (%.31s).\n", item);
            continue;
        }
        size_t keyLen = size_t(eq - item);
        const char *value = eq + 1;
        while (isspace((unsigned char)*value))
            value++;
        if (KeyIs(item, keyLen, "umask", false)) {
            int m = ParseUmask(value);
            if (m < 0)
                Warn("Bad umask (\"%.8s\") in password record's field #12.\n", value);
            else
                *umask = m;
        } else if (KeyIs(item, keyLen, "restr", true)) {
            *restricted = HpwdBoolOrInt(value);
        } else if (KeyIs(item, keyLen, "perm", true)) {
            if (perm != nullptr && permSize > 0)
                Strncpy(perm, value, permSize);
            char bad = 0;
            if (ParseUserPermissions(value, &bad) < 0)
                Warn("Bad user permissions string \"%.31s\" (stopped at %c) in password record's field #12.\n",
                     value, bad);
        } else {
            Warn("Syntax error in password record's field #12 (%.31s).\n", item);
        }
    }
    return *umask != -1 || *restricted != -1 || (perm != nullptr && permSize > 0 && perm[0] != '\0');
}

char *UnparsePassMiscDataField(char *dst, size_t size, int umask, int restricted, const char *perm)
{
    if (size == 0)
        return dst;
    char field[sizeof(Hpwd::miscData) * 2];
    char item[32];
    field[0] = '\0';
    if (umask != -1) {
        snprintf(item, sizeof item, "umask=%03o", unsigned(umask));
        Strncat(field, item);
    }
    if (restricted != -1) {
        if (field[0] != '\0')
            Strncat(field, ",");
        Strncat(field, restricted ? "restricted=yes" : "restricted=no");
    }
    if (perm != nullptr && perm[0] != '\0') {
        if (field[0] != '\0')
            Strncat(field, ",");
        Strncat(field, "perm=");
        Strncat(field, perm);
    }
    Strncpy(dst, field, size);
    return dst;
}

int ParseUserPermissions(const char *text, char *bad)
{
    static constexpr char kAccepted[] = "*+-0CDLMORWacdlmnortuw";
    int rc = 0;
    for (const char *s = text; *s != '\0'; s++) {
        if (isspace((unsigned char)*s) || strchr(kAccepted, *s) != nullptr)
            continue;
        rc = -1;
        if (bad != nullptr)
            *bad = *s;
    }
    return rc;
}

// zorvad_repquota: measures each virtual user's home tree exactly as the
// daemon's sessions do (quota/measure.h) and reports the usage beside the
// limits of the password record, in one of four formats.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "getopt.h"
#include "quota/measure.h"
#include "quotatool.h"
#include "toolstart.h"
#include "useridentity.h"

namespace {

constexpr char kOptions[] = "1234ugaf:tvwC:B:l:bV";

constexpr char kUsage[] =
    "Usage:\n"
    "  Report the users who have quotas set:\n"
    "  zorvad_repquota -f <passwd.db>\n"
    "  Report all users in the database:\n"
    "  zorvad_repquota -f <passwd.db> -v\n"
    "  Report only the listed users:\n"
    "  zorvad_repquota -f <passwd.db> -l bill,joeuser\n"
    "\n"
    "Formats: -1, -2, -3 (the default, sizes in k, M, G and T), -4 (the header of\n"
    "-3 and the figures of -1).  -t adds the time the measuring took.\n";

// The daemon's defaults: virtual-user quotas are on, and only the user's own
// files count.  The report has no server configuration to read.
constexpr bool kCountOnlyFilesOwnedByUser = true;

// The rule under the column line of formats 2, 3 and 4.
constexpr char kRule[] = "=============================================================================";
static_assert(sizeof kRule == 78);

// Settings of the command line.
int gFormat = 3;
bool gTiming;                 // -t
bool gAllUsers;               // -v: also users without limits
const char *gUserList;        // -l

// What the report has met so far.
struct Report {
    bool headerShown = false;
    bool skipped = false;      // a record the caller may not see
    int measured = 0;          // visible users, each timed
    double fastest = 0, slowest = 0, total = 0;
};

[[noreturn]] void Usage()
{
    PageText(kUsage);
    exit(5);
}

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool HasLimits(const Hpwd *p)
{
    return p->hardQuotaKB > 0 || p->softQuotaKB > 0 || p->hardQuotaFiles > 0 || p->softQuotaFiles > 0;
}

int64_t LimitBytes(int32_t kB)
{
    return kB > 0 ? int64_t(kB) * 1024 : 0;
}

// The usage a session of this user would compute at its first check: no walk
// without a limit; otherwise the tree of the home as the session reaches it
// (links resolved), walked with the user's identity, as the session walks.
void ComputeUsage(const Hpwd *p, QuotaMeasure *m)
{
    *m = QuotaMeasure{0, 1, 0, 0};
    if (!HasLimits(p))
        return;
    const UserIdentity as(p);
    int err = as.error();
    if (err == 0) {
        char real[PATH_MAX];
        const int fd = realpath(p->homedir, real) != nullptr
                           ? open(real, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                           : -1;
        if (fd < 0 || MeasureQuotaTree(fd, uid_t(p->uid), kCountOnlyFilesOwnedByUser, m) != 0)
            err = errno;
        if (fd >= 0)
            close(fd);
    }
    if (err != 0)
        fprintf(stderr, "Could not compute quotas for %.300s: %s\n", p->homedir, strerror(err));
}

// A size in bytes in at most four digits and a unit: "1.5k", "2k", "117M".
void HumanSize(int64_t s, char *out, size_t size)
{
    struct Unit {
        double above, divisor;
        const char *suffix;
    };
    static constexpr double kKi = 1024.0;
    static constexpr Unit kUnits[] = {
        {999.5 * kKi * kKi * kKi, kKi * kKi * kKi * kKi, "T"},
        {999.5 * kKi * kKi, kKi * kKi * kKi, "G"},
        {999.5 * kKi, kKi * kKi, "M"},
        {999.5, kKi, "k"},
    };
    double divisor = 1;
    const char *suffix = " ";
    for (const Unit &u : kUnits) {
        if (double(s) > u.above) {
            divisor = u.divisor;
            suffix = u.suffix;
            break;
        }
    }
    const double value = s < 0 ? 0 : double(s) / divisor;
    snprintf(out, size, "%.1f%s", value, suffix);
    const char *dot = strchr(out, '.');
    if (dot != nullptr && dot[1] == '0')
        snprintf(out, size, "%.0f%s", value, suffix);
}

void PrintHeader()
{
    switch (gFormat) {
    case 1:
        printf("                 1 kB Block limits                      File limits\n");
        printf("User           used   soft   hard    timeleft    used   soft   hard    timeleft\n");
        return;
    case 2:
        printf("                     [------ 1 kB Block limits -----] [---- File Limits ----]\n");
        break;
    default:   // 3 and 4
        printf("                     [--------- Size Limits --------] [---- File Limits ----]\n");
        break;
    }
    printf("User                       used       soft       hard    used    soft    hard\n");
    printf("%s\n", kRule);
}

void PrintUserLine(const Hpwd *p, const QuotaMeasure &m)
{
    const bool hardReached = (p->hardQuotaKB > 0 && m.bytes >= LimitBytes(p->hardQuotaKB))
                             || (p->hardQuotaFiles > 0 && m.files >= p->hardQuotaFiles);
    const char *flag = hardReached ? "**" : "--";
    printf(gFormat == 1 ? "%-8.63s  " : "%-16.63s  ", p->username);
    if (gFormat == 3) {
        char used[32], soft[32], hard[32];
        HumanSize(m.bytes, used, sizeof used);
        HumanSize(LimitBytes(p->softQuotaKB), soft, sizeof soft);
        HumanSize(LimitBytes(p->hardQuotaKB), hard, sizeof hard);
        printf("%2.2s %10s %10s %10s %7ld %7ld %7ld\n", flag, used, soft, hard, long(m.files),
               long(p->softQuotaFiles), long(p->hardQuotaFiles));
    } else if (gFormat == 2) {
        printf("%2.2s %10ld %10ld %10ld %7ld %7ld %7ld\n", flag, long(m.bytes / 1024), long(p->softQuotaKB),
               long(p->hardQuotaKB), long(m.files), long(p->softQuotaFiles), long(p->hardQuotaFiles));
    } else {   // 1 and 4
        printf("%2.2s %6ld %6ld %6ld              %6ld %6ld %6ld\n", flag, long(m.bytes / 1024),
               long(p->softQuotaKB), long(p->hardQuotaKB), long(m.files), long(p->softQuotaFiles),
               long(p->hardQuotaFiles));
    }
}

// One parsed record: skipped when the caller may not see it, else measured,
// timed, and printed when it has a limit or -v asked for everyone.
void ReportUser(const Hpwd *p, Report *r)
{
    if (!MayActOnRecord(p, kRecordView)) {
        r->skipped = true;
        return;
    }
    if (!r->headerShown) {
        PrintHeader();
        r->headerShown = true;
    }
    const double start = Now();
    QuotaMeasure m;
    ComputeUsage(p, &m);
    const double took = Now() - start;
    if (r->measured == 0 || took < r->fastest)
        r->fastest = took;
    if (r->measured == 0 || took > r->slowest)
        r->slowest = took;
    r->total += took;
    r->measured++;
    if (gAllUsers || HasLimits(p))
        PrintUserLine(p, m);
}

// Every record of the database.  The enumeration takes no whole-file lock:
// a walk can be long, and the database's records are never rewritten in
// place, so writers need not wait for the report.
int ReportAll(Report *r)
{
    OrmelCursor cursor{};
    char *key = nullptr;
    OrmelDatum d{};
    int rc = Ormel_FirstKey(&gDb, &key, &d, &cursor);
    for (; rc == 0; rc = Ormel_NextKey(&gDb, &key, &d, &cursor)) {
        Hpwd rec;
        if (ParseStoredRecord(d.data, &rec))
            ReportUser(&rec, r);
        explicit_bzero(rec.passwd, sizeof rec.passwd);
        explicit_bzero(d.data, size_t(d.len));
        free(d.data);
        free(key);
        key = nullptr;
    }
    if (rc == kOrmelErrNoMoreRecords && cursor.nReturned == 0) {
        printf("(database is empty)\n");
        return 0;
    }
    if (rc != kOrmelErrNoMoreRecords) {
        fprintf(stderr, "Report failed : %s.\n", Ormel_Strerror(rc));
        return 1;
    }
    return 0;
}

bool IsListSeparator(char c)
{
    return c == ',' || c == '|' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The users named in the -l list, in its order.
int ReportList(const char *list, Report *r)
{
    int result = 0;
    for (const char *s = list; *s != '\0';) {
        if (IsListSeparator(*s)) {
            s++;
            continue;
        }
        size_t len = 0;
        while (s[len] != '\0' && !IsListSeparator(s[len]))
            len++;
        Hpwd rec;
        if (LookUpRecord(s, len, &rec) == 0)
            ReportUser(&rec, r);
        else
            result = 1;
        explicit_bzero(rec.passwd, sizeof rec.passwd);
        s += len;
    }
    return result;
}

void PrintClosingLines(const Report &r, double started)
{
    if (gTiming && r.measured > 0) {
        printf("\nTotal run time:                       %.2f seconds\n", Now() - started);
        printf("Fastest user quota calculation time:  %.2f seconds\n", r.fastest);
        printf("Slowest user quota calculation time:  %.2f seconds\n", r.slowest);
        printf("Average user quota calculation time:  %.2f seconds\n", r.total / r.measured);
    }
    if (r.skipped)
        fprintf(stderr, "Warning:  One or more records were not reported because you don't have\n"
                        "permission to report them.\n");
}

void ParseCommandLine(int argc, char **argv)
{
    int c;
    while ((c = Getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
        case '1':
        case '2':
        case '3':
        case '4': gFormat = c - '0'; break;
        case 'u':
        case 'g':
        case 'a':
        case 'B': break;
        case 'f': SetPwFileName(gOptArg); break;
        case 't': gTiming = true; break;
        case 'v': gAllUsers = true; gVerbose++; break;
        case 'w': gWarnings = !gWarnings; break;
        case 'C': gHSize = atoi(gOptArg); break;
        case 'l': gUserList = gOptArg; break;
        case 'b':
        case 'V':
            PrintToolVersion();
            exit(0);
        default: Usage();
        }
    }
    if (gOptInd < argc)
        Usage();
}

}  // namespace

int main(int argc, char **argv)
{
    ToolStart("zorvad_repquota", argc, argv);
    ParseCommandLine(argc, argv);
    gHpwdWarnings = gWarnings;
    CatchExitSignals();
    CheckPwFileName(Usage);
    const double started = Now();
    if (OpenToolDatabase(kToolOpenRead) != 0)
        return 1;
    DropPrivileges();
    Report r;
    int result = gUserList != nullptr ? ReportList(gUserList, &r) : ReportAll(&r);
    PrintClosingLines(r, started);
    if (fflush(stdout) != 0 || ferror(stdout))
        result = 1;
    return CloseToolDatabase() == 0 ? result : 1;
}

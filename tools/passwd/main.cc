// zorvad_passwd: administration of virtual-user password databases.  The
// command line, the order in which operations win, and the usage text.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "getopt.h"
#include "passwd.h"
#include "toolstart.h"

bool gEncrypt;
bool gMD5Preferred;
int gMkdirMode = -1;
int gSpecialExportCount;

namespace {

constexpr char kOptions[] = "@a:Acd:eEf:q:Q:Ii:J:k:K:mM:p:P:r:u:U:vwxX5C:B:0FG:bV";

constexpr char kUsage[] =
    "Usage:\n"
    "  Adding a user:\n"
    "    zorvad_passwd -f <passwd.db> -a \"user:pass:uid:gid:gecos:dir:shell\" [-c]\n"
    "    zorvad_passwd -f <passwd.db> -A\n"
    "  Changing a password:\n"
    "    zorvad_passwd -f <passwd.db> -p <username> [-P <encrypted-password>]\n"
    "    zorvad_passwd -f <passwd.db> -0\n"
    "  Checking a password:\n"
    "    zorvad_passwd -f <passwd.db> -k <username> [-K <plaintext-password>]\n"
    "  Modifying a user:\n"
    "    zorvad_passwd -f <passwd.db> -u \"username:pass:uid:gid:gecos:dir:shell\" [-c]\n"
    "    zorvad_passwd -f <passwd.db> -U username\n"
    "  Deleting a user:\n"
    "    zorvad_passwd -f <passwd.db> -d <username>\n"
    "  Querying a user:\n"
    "    zorvad_passwd -f <passwd.db> -q <username>\n"
    "    zorvad_passwd -f <passwd.db> -Q <username>\n"
    "  Exporting the database:\n"
    "    zorvad_passwd -f <passwd.db> -x\n"
    "    zorvad_passwd -f <passwd.db> -X\n"
    "  Importing into the database:\n"
    "    zorvad_passwd -f <passwd.db> -i <filename> [-c]\n"
    "    zorvad_passwd -f <passwd.db> -I\n"
    "  Exporting the system's accounts:\n"
    "    zorvad_passwd -E\n"
    "\n"
    "The quota fields may follow the shell field:\n"
    "  ...:shell:hard-quota-kB:soft-quota-kB:hard-quota-files:soft-quota-files\n"
    "\n"
    "Other options: -m (create home directories, mode 0700), -M <octal-mode>,\n"
    "-J <extra-dir>, -C <buckets>, -w (warnings off), -v (verbose), -V (version).\n"
    "\nIn particular, remember to use the \"-c\" flag if you want to encrypt the\n"
    "password field instead of assuming it contains a pre-encrypted password.\n"
    "\nYou may also use \"-5\" in place of \"-c\" if you wish to use MD5 encryption\n"
    "instead of DES.\n";

[[noreturn]] void Usage()
{
    PageText(kUsage);
    exit(5);
}

// The operations in the order in which they win when several are given.
enum Operation {
    kOpNone, kOpChangePassword, kOpChangeFromStdin, kOpCheckPassword, kOpEdit, kOpAdd, kOpQuery,
    kOpDelete, kOpExportLong, kOpExport, kOpImport, kOpSpecialExport
};

struct CommandLine {
    bool wait = false;
    bool seen[kOpSpecialExport + 1] = {};
    bool replace = false;         // -u, -r, -U
    bool longQuery = false;       // -Q
    bool specialImport = false;   // -I
    const char *name[kOpSpecialExport + 1] = {};
    const char *importFile = nullptr;
    const char *newEncrypted = nullptr;
    const char *plainToCheck = nullptr;
};

// Copies a value that may hold a password and wipes it from the argument
// vector, where other users could read it.
const char *KeepSecret(char *arg, char *copy, size_t size)
{
    if (strlen(arg) >= size) {
        fprintf(stderr, "%s: an argument is too long (at most %zu characters).\n", gToolName, size - 1);
        exit(1);
    }
    Strncpy(copy, arg, size);
    explicit_bzero(arg, strlen(arg));
    return copy;
}

int ParseMode(const char *text)
{
    char *end = nullptr;
    const long mode = strtol(text, &end, 8);
    if (end == text || *end != '\0' || mode < 0 || mode > 07777) {
        fprintf(stderr, "Bad directory mode \"%s\".\n", text);
        exit(5);
    }
    return int(mode);
}

void ParseCommandLine(int argc, char **argv, CommandLine *cl)
{
    static char recordArg[2048];
    static char encryptedArg[512];
    static char plainArg[512];
    int c;
    while ((c = Getopt(argc, argv, kOptions)) != -1) {
        switch (c) {
        case '@': cl->wait = true; break;
        case 'a':
        case 'u':
            cl->seen[kOpAdd] = true;
            cl->replace = c == 'u';
            cl->name[kOpAdd] = KeepSecret(gOptArg, recordArg, sizeof recordArg);
            break;
        case 'A': cl->seen[kOpEdit] = true; cl->name[kOpEdit] = nullptr; break;
        case 'U': cl->seen[kOpEdit] = true; cl->name[kOpEdit] = gOptArg; break;
        case 'c': gEncrypt = true; break;
        case '5': gMD5Preferred = !gMD5Preferred; gEncrypt = true; break;
        case 'd': cl->seen[kOpDelete] = true; cl->name[kOpDelete] = gOptArg; break;
        case 'q':
        case 'Q':
            cl->seen[kOpQuery] = true;
            cl->longQuery = c == 'Q';
            cl->name[kOpQuery] = gOptArg;
            break;
        case 'e':
        case 'x': cl->seen[kOpExport] = true; break;
        case 'X': cl->seen[kOpExportLong] = true; break;
        case 'E': cl->seen[kOpSpecialExport] = true; gSpecialExportCount++; break;
        case 'f': SetPwFileName(gOptArg); break;
        case 'i':
        case 'r':
            cl->seen[kOpImport] = true;
            cl->replace = c == 'r';
            cl->importFile = gOptArg;
            break;
        case 'I': cl->seen[kOpImport] = true; cl->specialImport = true; break;
        case 'J':
            if (strlen(gOptArg) >= sizeof gExtraDirToMake) {
                fprintf(stderr, "%s: the extra directory's path is too long.\n", gToolName);
                exit(1);
            }
            Strncpy(gExtraDirToMake, gOptArg);
            break;
        case 'k': cl->seen[kOpCheckPassword] = true; cl->name[kOpCheckPassword] = gOptArg; break;
        case 'K': cl->plainToCheck = KeepSecret(gOptArg, plainArg, sizeof plainArg); break;
        case 'm': gMkdirMode = 0700; break;
        case 'M': gMkdirMode = ParseMode(gOptArg); break;
        case 'p': cl->seen[kOpChangePassword] = true; cl->name[kOpChangePassword] = gOptArg; break;
        case 'P': cl->newEncrypted = KeepSecret(gOptArg, encryptedArg, sizeof encryptedArg); break;
        case 'v': gVerbose++; break;
        case 'w': gWarnings = !gWarnings; break;
        case '0': cl->seen[kOpChangeFromStdin] = true; break;
        case 'C': gHSize = atoi(gOptArg); break;
        case 'B': break;
        case 'b':
        case 'V':
            PrintToolVersion();
            exit(0);
        default:    // '?', -F and -G
            Usage();
        }
    }
    if (gOptInd < argc)
        Usage();
}

Operation Chosen(const CommandLine &cl)
{
    for (int op = kOpChangePassword; op <= kOpSpecialExport; op++)
        if (cl.seen[op])
            return Operation(op);
    return kOpNone;
}

[[noreturn]] void RootOnly()
{
    fprintf(stderr, "Permission denied.\n");
    exit(4);
}

int Run(Operation op, const CommandLine &cl)
{
    switch (op) {
    case kOpChangePassword: return ChangePasswordOperation(cl.name[op], cl.newEncrypted);
    case kOpChangeFromStdin: return ChangePasswordFromStdinOperation();
    case kOpCheckPassword: return CheckPasswordOperation(cl.name[op], cl.plainToCheck);
    case kOpEdit: return EditOperation(cl.name[op]);
    case kOpAdd: return AddOperation(cl.name[op], cl.replace);
    case kOpQuery: return QueryOperation(cl.name[op], cl.longQuery);
    case kOpDelete: return DeleteOperation(cl.name[op]);
    case kOpExportLong: return ExportOperation(true);
    case kOpExport: return ExportOperation(false);
    case kOpImport:
        if (cl.specialImport || strcmp(cl.importFile, "/etc/passwd") == 0)
            return SpecialImportOperation();
        return ImportOperation(cl.importFile, cl.replace);
    case kOpSpecialExport: return SpecialExportOperation();
    case kOpNone: break;
    }
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    ToolStart("zorvad_passwd", argc, argv);
    gHpwdWarnings = 1;
    CommandLine cl;
    ParseCommandLine(argc, argv, &cl);
    gHpwdWarnings = gWarnings;
    if (cl.wait)
        WaitForSigusr1();
    CatchExitSignals();

    const Operation op = Chosen(cl);
    if (op == kOpNone) {
        fprintf(stderr, "No operation specified.\n");
        sleep(2);
        Usage();
    }
    const bool specialImport = op == kOpImport && (cl.specialImport || strcmp(cl.importFile, "/etc/passwd") == 0);
    if ((op == kOpSpecialExport || specialImport) && !gReallyRoot)
        RootOnly();
    if (op != kOpSpecialExport)
        CheckPwFileName(Usage);
    return Run(op, cl);
}

// The handlers that need nothing beyond the session state: NOOP, REIN,
// QUIT/BYE, SYST, PWD, TYPE, MODE, STRU, ALLO, ACCT, SMNT, LANG, CLNT, HELP
// and MFF, and the list of SITE commands that HELP SITE shows.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <unistd.h>

#include "Strn.h"
#include "config/config.h"
#include "session/prelogin.h"
#include "session/shell.h"
#include "base/exit.h"
#include "status/shm.h"

namespace {

const char *Plural(unsigned n)
{
    return n == 1 ? "" : "s";
}

void SleepFraction(double seconds)
{
    if (seconds <= 0.0)
        return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e6) * 1000L;
    while (nanosleep(&ts, &ts) < 0) {
    }
}

bool IsTwoLetters(const char *s)
{
    return isalpha(static_cast<unsigned char>(s[0])) && isalpha(static_cast<unsigned char>(s[1]));
}

// Strips the root of a virtual tree from a real path.
bool StripRoot(char *dst, size_t size, const char *real, const char *root, size_t rootLen)
{
    if (rootLen == 0 || strcmp(root, "/") == 0) {
        Strncpy(dst, real, size);
        return true;
    }
    if (strncmp(real, root, rootLen) != 0 || (real[rootLen] != '\0' && real[rootLen] != '/'))
        return false;
    Strncpy(dst, real + rootLen, size);
    return true;
}

}  // namespace

void VirtualPath(char *dst, size_t size, const char *real)
{
    bool done = false;
    if (gVChroot)
        done = StripRoot(dst, size, real, gFTPHome, static_cast<size_t>(gFTPHomeLen));
    else if (gVChrootThisUser)
        done = StripRoot(dst, size, real, gHomeDir, static_cast<size_t>(gHomeDirLen));
    if (!done)   // no virtual root, or a path outside it (reached by allow-paths)
        Strncpy(dst, real, size);
    if (dst[0] == '\0')
        Strncpy(dst, "/", size);
}

void HelpSiteCommandList(unsigned code)
{
    struct SiteWord {
        const char *word;
        int bit;
    };
    static constexpr SiteWord kWords[] = {
        {"BUFSIZE", 32}, {"CHMOD", 1}, {"DATE", 128}, {"DF", 64}, {"QUOTA", 16},
        {"RBUFSIZ", 32}, {"RBUFSZ", 32}, {"RETRBUFSIZE", 32}, {"SBUFSIZ", 32},
        {"SBUFSZ", 32}, {"STORBUFSIZE", 32}, {"SYMLINK", 4}, {"UMASK", 2}, {"UTIME", 8},
    };
    char lines[512] = "";
    for (const SiteWord &w : kWords) {
        if ((gAllowedSITECommands & w.bit) != 0) {
            Strncat(lines, " ");
            Strncat(lines, w.word);
            Strncat(lines, "\r\n");
        }
    }
    Reply("%u-The following SITE commands are recognized:\r\n%s%u \r\n", code, lines, code);
}

void Noop(char *)
{
    SleepFraction(gNoopDelay);
    const time_t now = ShmTime(nullptr);
    if (gSessionTimeLimit <= now) {
        Reply("200 No-op okay.\r\n");
        return;
    }
    const unsigned left = static_cast<unsigned>(gSessionTimeLimit - now);
    const unsigned h = left / 3600, m = (left % 3600) / 60, s = left % 60;
    if (h > 0)
        Reply("200 No-op okay. Your session will timeout in %u hour%s %u minute%s %u second%s.\r\n",
              h, Plural(h), m, Plural(m), s, Plural(s));
    else if (m > 0)
        Reply("200 No-op okay. Your session will timeout in %u minute%s and %u second%s.\r\n",
              m, Plural(m), s, Plural(s));
    else
        Reply("200 No-op okay. Your session will timeout in %u second%s.\r\n", s, Plural(s));
}

void Rein(char *arg)
{
    if (ForwardedToPoolChild(kLoginRein, arg))
        return;
    if (gLoggedIn) {
        Reply("502 Disconnect first if you want to re-login.\r\n");
        return;
    }
    ResetSessionInfo();
    WelcomeMessage();
}

void Quit(char *arg)
{
    if (ForwardedToPoolChild(kLoginQuit, arg))
        _exit(1);   // the pool child ends the session: the front only lands here if it did not
    PublishOnlyAtEnd();
    GoodbyeMessage();
    DoneConnection(kEndQuit);
}

void Syst(char *)
{
    Reply("215 UNIX Type: L8\r\n");
}

void Pwd(char *)
{
    char path[kSessionPathSize];
    VirtualPath(path, sizeof(path), gCwd);
    char quoted[421];
    QuotedPath(quoted, sizeof(quoted), path);
    Reply("257 \"%s\" is cwd.\r\n", quoted);
}

void Type(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    switch (arg[0]) {
    case 'A':
    case 'a':
        gType = 'A';
        break;
    case 'I':
    case 'i':
    case 'L':   // a byte size after L is of no concern
    case 'l':
        gType = 'I';
        break;
    case 'E':
    case 'e':
        Reply("504 Unimplemented type.\r\n");
        return;
    default:
        BadArgs();
        return;
    }
    Reply("200 Type okay.\r\n");
}

void Mode(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    switch (arg[0]) {
    case 'S':
    case 's':
        gMode = 'S';
        Reply("200 Mode okay.\r\n");
        break;
    case 'B':
    case 'b':
    case 'C':
    case 'c':
        Reply("504 Unimplemented mode.\r\n");
        break;
    default:
        BadArgs();
        break;
    }
}

void Stru(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    switch (arg[0]) {
    case 'F':
    case 'f':
        gStru = 'F';
        Reply("200 Structure okay.\r\n");
        break;
    case 'P':
    case 'p':
    case 'R':
    case 'r':
        Reply("504 Unimplemented structure.\r\n");
        break;
    default:
        BadArgs();
        break;
    }
}

void Allo(char *)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    Reply("202 No storage allocation necessary.\r\n");
}

void Acct(char *arg)
{
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    Reply("202 Command not implemented, superfluous at this site.\r\n");
}

void Smnt(char *)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    Reply("502 Unimplemented command.\r\n");
}

void Mff(char *)
{
    NotImplemented();
}

void Lang(char *arg)
{
    // Language tags are not case-sensitive.
    if (arg[0] == '\0' || strcasecmp(arg, "en") == 0)
        Reply("200 Language set to en-US.\r\n");
    else if (strcasecmp(arg, "en-US") == 0)
        Reply("200 OK\r\n");
    else if (strcasecmp(arg, "en-UK") == 0)
        Reply("200 en-UK is not supported (This isn't Anfield). Language is en-US.\r\n");
    else if (strcasecmp(arg, "en-RS") == 0)
        Reply("200 %s\r\n", "Right you are, squire: en-RS it is, though you will be answered in en-US all the same.");
    else if (strncasecmp(arg, "en-", 3) == 0)
        Reply("200 %.8s is not supported. Language set to en-US.\r\n", arg);
    else if (IsTwoLetters(arg) && (arg[2] == '\0' || (arg[2] == '-' && IsTwoLetters(arg + 3) && arg[5] == '\0')))
        Reply("504 %.8s is not supported. Language set to en-US.\r\n", arg);
    else
        BadArgs();
}

void Clnt(char *arg)
{
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    if (gClientType == 0) {
        if (strncmp(arg, "Zorva", 5) == 0)
            gClientType = 1;
        else if (strncmp(arg, "WS_", 3) == 0)
            gClientType = 5;
        else if (strncmp(arg, "Smart", 5) == 0)
            gClientType = 7;
        else if (strncmp(arg, "FileZ", 5) == 0)
            gClientType = 6;
    }
    if (gAllowCLNT)
        Reply("200 Noted.\r\n");
    else
        NotImplemented();
}

void Help(char *arg)
{
    if (strncasecmp(arg, "SITE", 4) == 0) {
        HelpSiteCommandList(214);
        return;
    }
    char trailer[256] = "";
    if (gFTPBugs[0] != '\0') {
        Strncat(trailer, "    Send comments to ");
        Strncat(trailer, gFTPBugs);
        Strncat(trailer, ".\r\n");
    } else if (gConnectHeader[0] != '\0') {
        Strncpy(trailer, "    This site is running Zorvad Server software.\r\n"
                         "    See https://zorvad.example/ for more about it.\r\n");
    }
    // EPRT and EPSV are marked unimplemented while they are switched off,
    const char unimplemented = gAllowEpsvEprt ? ' ' : '*';
    // AUTH too while TLS is off; when on, PBSZ and PROT fill the spare row.
    const char authMark = gTlsMode != kTlsOff ? ' ' : '*';
    const char *spareRow = gTlsMode != kTlsOff ? "      PBSZ   PROT\r\n" : "      \r\n";
    Reply("214-The following commands are recognized (* => unimplemented, + => extension).\r\n"
          "      ABOR   CLNT+  HELP   MLSD  PASS  REST  SIZE   SYST\r\n"
          "      ACCT*  CWD    HOST*  MLST  PASV  RETR  SMNT*  TYPE\r\n"
          "      ALLO*  DELE   LANG   MODE  PORT  RMD   STAT   USER\r\n"
          "      APPE   EPRT%c  LIST   NLST  PWD   RNFR  STOR\r\n"
          "      AUTH%c  EPSV%c  MDTM   NOOP  QUIT  RNTO  STOU\r\n"
          "      CDUP   FEAT   MKD    OPTS  REIN  SITE  STRU*\r\n"
          "%s"
          "%s214 \r\n",
          unimplemented, authMark, unimplemented, spareRow, trailer);
}

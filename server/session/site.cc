// SITE: the sub-command words and the allowed-SITE-command set, SITE HELP,
// UMASK, the data buffer sizes, UTIME's arguments and QUOTA.  The workers
// that change the tree or describe it have files of their own
// (sitechmod.cc, sitesymlink.cc, sitedate.cc, sitedf.cc).
#include "session/site.h"

#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "config/userclass.h"
#include "log/log.h"
#include "quota/quota.h"
#include "session/filecmds.h"
#include "session/shell.h"

namespace {

enum SiteKind { kUmask, kChmod, kDate, kDf, kQuota, kBufSize, kRetrBuf, kStorBuf, kSymlink, kUtime, kHelp, kUnknown };

struct SiteWord {
    const char *word;
    bool prefix;      // stands for every word that begins with it
    int bit;          // in the allowed-SITE-command set; 0: always there
    SiteKind kind;
};

constexpr SiteWord kSiteWords[] = {
    {"UMASK", false, kSiteUmask, kUmask},
    {"CHMOD", false, kSiteChmod, kChmod},
    {"DATE", false, kSiteDate, kDate},
    {"DF", false, kSiteDf, kDf},
    {"QUOTA", false, kSiteQuota, kQuota},
    {"BUFSIZE", false, kSiteBufSize, kBufSize},
    {"RETRBUFSIZE", false, kSiteBufSize, kRetrBuf},
    {"RBUF", true, kSiteBufSize, kRetrBuf},
    {"STORBUFSIZE", false, kSiteBufSize, kStorBuf},
    {"SBUF", true, kSiteBufSize, kStorBuf},
    {"SYMLINK", false, kSiteSymlink, kSymlink},
    {"UTIME", false, kSiteUtime, kUtime},
    {"HELP", false, 0, kHelp},
};

constexpr char kSeparators[] = " \t\r\n";

// What an allowed word asks for; a word whose bit is off is unknown.
SiteKind Recognise(const char *word)
{
    for (const SiteWord &w : kSiteWords) {
        const bool match = w.prefix ? strncasecmp(word, w.word, strlen(w.word)) == 0 : strcasecmp(word, w.word) == 0;
        if (match)
            return w.bit == 0 || (gAllowedSITECommands & w.bit) != 0 ? w.kind : kUnknown;
    }
    return kUnknown;
}

// The next word of *cp, terminated in place; "" when none is left.
char *NextWord(char **cp)
{
    char *word = *cp + strspn(*cp, kSeparators);
    char *end = word + strcspn(word, kSeparators);
    *cp = *end != '\0' ? end + 1 : end;
    *end = '\0';
    return word;
}

// The rest of the line as one name, so that a name holding blanks is not
// cut to its first word (and another file changed in its place).
char *RestOfLine(char *cp)
{
    cp += strspn(cp, kSeparators);
    size_t n = strlen(cp);
    while (n > 0 && strchr(kSeparators, cp[n - 1]) != nullptr)
        cp[--n] = '\0';
    return cp;
}

// A sub-command without the arguments it needs.
void Incomplete()
{
    sleep(2);
    HelpSiteCommandList(501);
}

void Usage(const char *word)
{
    switch (Recognise(word)) {
    case kUmask:
        Reply("211 Usage:  SITE UMASK <octal-mode>\r\n");
        break;
    case kChmod:
        Reply("211 Usage:  SITE CHMOD <mode> <file>\r\n");
        break;
    case kDate:
        Reply("211 Usage:  SITE DATE [UTC | LOCAL]\r\n");
        break;
    case kDf:
        Reply("211 Usage:  SITE DF [<file>]\r\n");
        break;
    case kQuota:
        Reply("211 Usage:  SITE QUOTA\r\n");
        break;
    case kSymlink:
        Reply("211 Usage:  SITE SYMLINK <source-file> <link>\r\n");
        break;
    case kUtime:
        Reply("211-Usage:  SITE UTIME <file> <access-time> <modification-time>\r\n"
              "211 Each timestamp must be in the format YYYYMMDDhhmmss.\r\n");
        break;
    default:
        HelpSiteCommandList(211);
        break;
    }
}

void Umask(const char *arg)
{
    if (arg[0] == '\0') {
        const mode_t mask = umask(0);
        umask(mask);
        Reply("200 The umask is %03o.\r\n", static_cast<unsigned>(mask));
        return;
    }
    if (!gAllow[kPermUmask]) {
        PermissionDenied("no umask permission");
        return;
    }
    mode_t mask;
    if (!ReadOctalMode(arg, &mask)) {
        BadArgs();
        return;
    }
    const mode_t old = umask(mask);
    if (gTraceLogging >= 2 && old != mask)
        Log(kLogMisc, "umask changed from %03o to %03o.\n", static_cast<unsigned>(old), static_cast<unsigned>(mask));
    Reply("200 The umask is now %03o.\r\n", static_cast<unsigned>(mask));
}

// BUFSIZE sets both sizes; RETRBUFSIZE and the RBUF words the receive size
// (gPreferredDataRBufSize), STORBUFSIZE and the SBUF words the send size.
// word is shown as the client typed it.
void BufferSize(SiteKind kind, const char *word, const char *arg)
{
    const bool recv = kind != kStorBuf;
    const bool send = kind != kRetrBuf;
    if (arg[0] == '\0') {
        const long now = recv ? gPreferredDataRBufSize : gPreferredDataSBufSize;
        if (now > 0)
            Reply("200 Current %.20s is %ld bytes.\r\n", word, now);
        else
            Reply("200 No %.20s has been set; OS default will be used.\r\n", word);
        return;
    }
    const long n = strtol(arg, nullptr, 10);
    if (n < 1024) {
        Reply("550 %.20s must be at least 1024 bytes.\r\n", word);
        return;
    }
    if (recv && n > gMaxDataRBufSize) {
        Reply("550 The configured limit for %.20s is %ld bytes.\r\n", word, static_cast<long>(gMaxDataRBufSize));
        return;
    }
    if (send && n > gMaxDataSBufSize) {
        Reply("550 The configured limit for %.20s is %ld bytes.\r\n", word, static_cast<long>(gMaxDataSBufSize));
        return;
    }
    if (recv)
        gPreferredDataRBufSize = static_cast<int>(n);
    if (send)
        gPreferredDataSBufSize = static_cast<int>(n);
    Reply("200 New %.20s is %ld bytes.\r\n", word, n);
}

// SITE UTIME path atime [mtime]: a missing or unreadable modification time
// is the access time.
void SiteUtime(char *args)
{
    const char *path = NextWord(&args);
    const char *atimeText = NextWord(&args);
    const char *mtimeText = NextWord(&args);
    if (path[0] == '\0' || atimeText[0] == '\0') {
        Incomplete();
        return;
    }
    const time_t atime = UnFTPDate(atimeText);
    if (atime == -1) {
        BadArgs();
        return;
    }
    time_t mtime = mtimeText[0] != '\0' ? UnFTPDate(mtimeText) : -1;
    if (mtime == -1)
        mtime = atime;
    UtimeAndReply(path, atime, mtime, kUtimeSite, nullptr);
}

}  // namespace

bool ReadOctalMode(const char *text, mode_t *mode)
{
    const size_t len = strlen(text);
    if (len == 0 || len > 12 || strspn(text, "01234567") != len)
        return false;
    const unsigned long value = strtoul(text, nullptr, 8);
    if (value > 0777)
        return false;
    *mode = static_cast<mode_t>(value);
    return true;
}

void Site(char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    char *rest = arg;
    const char *word = NextWord(&rest);
    if (word[0] == '\0') {
        HelpSiteCommandList(501);
        return;
    }
    const SiteKind kind = Recognise(word);
    switch (kind) {
    case kUnknown:
        HelpSiteCommandList(501);
        break;
    case kHelp: {
        const char *about = NextWord(&rest);
        if (about[0] == '\0')
            HelpSiteCommandList(211);
        else
            Usage(about);
        break;
    }
    case kUmask:
        Umask(NextWord(&rest));
        break;
    case kChmod: {
        const char *mode = NextWord(&rest);
        const char *path = RestOfLine(rest);
        if (mode[0] == '\0' || path[0] == '\0')
            Incomplete();
        else
            Chmod(mode, path);
        break;
    }
    case kDate:
        Date(NextWord(&rest));
        break;
    case kDf: {
        const char *path = RestOfLine(rest);
        Df(path[0] != '\0' ? path : ".");
        break;
    }
    case kQuota: {
        char report[kReplyBufSize];
        Quota(report, sizeof(report));
        Reply("%s", report);
        break;
    }
    case kBufSize:
    case kRetrBuf:
    case kStorBuf:
        BufferSize(kind, word, NextWord(&rest));
        break;
    case kSymlink: {
        const char *source = NextWord(&rest);
        const char *link = NextWord(&rest);
        if (source[0] == '\0' || link[0] == '\0')
            Incomplete();
        else
            DoSymlink(source, link);
        break;
    }
    case kUtime:
        SiteUtime(rest);
        break;
    }
}

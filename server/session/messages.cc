// Message files: opening them under the session's rules, expanding their
// %-escapes, and the greeting, login and goodbye sequences.
#include "session/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "config/userclass.h"
#include "log/log.h"
#include "quota/quota.h"
#include "session/shell.h"
#include "status/shm.h"
#include "transfer/stor.h"
#include "base/process.h"

FILE *gReplyFile = nullptr;

namespace {

// Appends to a fixed buffer and silently stops when it is full.  Control
// characters never get in: a line feed or carriage return from a message
// file or an escape would let its writer end the reply early or forge a
// final line of their own.  A tab becomes a blank, the rest are dropped.
class LineBuilder {
  public:
    LineBuilder(char *dst, size_t size) : dst_(dst), size_(size) { Terminate(); }
    void Add(char c)
    {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u == '\t')
            c = ' ';
        else if (u < 0x20 || u == 0x7f)
            return;
        if (len_ + 1 < size_) {
            dst_[len_++] = c;
            Terminate();
        }
    }
    void Add(const char *s)
    {
        while (*s != '\0')
            Add(*s++);
    }

  private:
    void Terminate()
    {
        if (size_ > 0)
            dst_[len_] = '\0';
    }
    char *dst_;
    size_t size_;
    size_t len_ = 0;
};

// The escapes of more than one letter after the percent sign.
enum MultiEscape {
    kBwUp, kBwDown,
    kEscQuotaBytesUsed, kEscQuotaBytesHard, kEscQuotaFilesUsed, kEscQuotaFilesHard, kEscQuotaDuration,
    kSessBytesDown, kSessBytesUp, kSessBytesTotal,
    kSessFilesDown, kSessFilesUp, kSessFilesTotal,
    kSessSeconds, kSessTime,
};
struct MultiEscapeName {
    const char *letters;
    MultiEscape id;
};
constexpr MultiEscapeName kMultiEscapes[] = {
    {"bup", kBwUp},           {"bdn", kBwDown},
    {"qbu", kEscQuotaBytesUsed}, {"qbh", kEscQuotaBytesHard}, {"qfu", kEscQuotaFilesUsed},
    {"qfh", kEscQuotaFilesHard}, {"qt", kEscQuotaDuration},
    {"sbd", kSessBytesDown},  {"sbu", kSessBytesUp},    {"sbt", kSessBytesTotal},
    {"sfd", kSessFilesDown},  {"sfu", kSessFilesUp},    {"sft", kSessFilesTotal},
    {"sts", kSessSeconds},    {"stf", kSessTime},
};

bool EndOfText(char c)
{
    return c == '\0' || c == '\n';
}

// The conversions %t may ask strftime for: those that print the date and
// time.  %n and %t (a line feed and a tab), the E and O modifiers and
// anything strftime does not know are not passed on.
bool PrintingTimeConversion(char c)
{
    return c != '\0' && strchr("aAbBcCdDeFgGhHIjklmMpPrRsSTuUVwWxXyYzZ%", c) != nullptr;
}

// Recognises a multi-letter escape at p (its first letter).  Returns the
// number of letters consumed and the escape in *id, or 0 with *stop at the
// character where no escape fits any more.
int RecogniseMultiEscape(const char *p, MultiEscape *id, const char **stop)
{
    for (int k = 0;; k++) {
        bool any = false;
        for (const MultiEscapeName &e : kMultiEscapes) {
            if (strncmp(e.letters, p, static_cast<size_t>(k)) != 0 || e.letters[k] != p[k] || EndOfText(p[k]))
                continue;
            any = true;
            if (e.letters[k + 1] == '\0') {
                *id = e.id;
                return k + 1;
            }
        }
        if (!any) {
            *stop = p + k;
            return 0;
        }
    }
}

void AddBandwidth(LineBuilder &out, int limit)
{
    if (limit <= 0) {
        out.Add("(no limit)");
        return;
    }
    char num[32];
    snprintf(num, sizeof(num), "%d kB/sec", limit);
    out.Add(num);
}

// The quota figures, computed for the session on first need.
void AddQuota(LineBuilder &out, MultiEscape id)
{
    ComputeQuota();
    char texts[kNumQuotaStrings][kQuotaStringSize];
    GetQuotaStrings(texts);
    switch (id) {
    case kEscQuotaBytesUsed:
        out.Add(texts[kQuotaBytesUsed]);
        break;
    case kEscQuotaBytesHard:
        out.Add(texts[kQuotaBytesHardLimit]);
        break;
    case kEscQuotaFilesUsed:
        out.Add(texts[kQuotaFilesUsed]);
        break;
    case kEscQuotaFilesHard:
        out.Add(texts[kQuotaFilesHardLimit]);
        break;
    default:
        out.Add(texts[kQuotaDuration]);
        break;
    }
}

void AddMultiEscape(LineBuilder &out, MultiEscape id, time_t now)
{
    char num[64];
    const long seconds = static_cast<long>(now - gRUserPtr->sessionStart);
    switch (id) {
    case kBwUp:
        AddBandwidth(out, gStorBandwidthLimit);
        return;
    case kBwDown:
        AddBandwidth(out, gRetrBandwidthLimit);
        return;
    case kEscQuotaBytesUsed:
    case kEscQuotaBytesHard:
    case kEscQuotaFilesUsed:
    case kEscQuotaFilesHard:
    case kEscQuotaDuration:
        AddQuota(out, id);
        return;
    case kSessBytesDown:
        snprintf(num, sizeof(num), "%lld", static_cast<long long>(gTotalBytesRetr));
        break;
    case kSessBytesUp:
        snprintf(num, sizeof(num), "%lld", static_cast<long long>(gTotalBytesStor));
        break;
    case kSessBytesTotal:
        snprintf(num, sizeof(num), "%lld", static_cast<long long>(gTotalBytesRetr + gTotalBytesStor));
        break;
    case kSessFilesDown:
        snprintf(num, sizeof(num), "%d", gNumSuccessfulDownloads);
        break;
    case kSessFilesUp:
        snprintf(num, sizeof(num), "%d", gNumSuccessfulUploads);
        break;
    case kSessFilesTotal:
        snprintf(num, sizeof(num), "%d", gNumSuccessfulDownloads + gNumSuccessfulUploads);
        break;
    case kSessSeconds:
        snprintf(num, sizeof(num), "%d", static_cast<int>(seconds));
        break;
    case kSessTime:
        if (seconds >= 3600)
            snprintf(num, sizeof(num), "%d:%02d:%02d", static_cast<int>(seconds / 3600),
                     static_cast<int>((seconds % 3600) / 60), static_cast<int>(seconds % 60));
        else
            snprintf(num, sizeof(num), "%d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
        break;
    }
    out.Add(num);
}

// %M and %N: the domain's figures when it has a user limit, else the server's.
int MaxUsersShown()
{
    return gCurDomain->maxDomainUsers >= 1 ? gCurDomain->maxDomainUsers : gNumChildren;
}

int UsersNowShown()
{
    return static_cast<int>(gCurDomain->maxDomainUsers >= 1 ? gRUserPtr->usersOnDomain : gRUserPtr->usersOnServer);
}

const char *ServerNameOrSetName()
{
    return gCurDomain->serverName[0] != '\0' ? gCurDomain->serverName : gCurDomain->setName;
}

const char *ServerNameOrHostName()
{
    return gCurDomain->serverName[0] != '\0' ? gCurDomain->serverName : gOurHostName;
}

// Opens without blocking (a FIFO under the message name must not hang the
// session) and accepts only regular files.  With checked (the lstat of a
// relative name), the name must still be that file: no link is followed and
// a file swapped in since the check is refused with ELOOP.
FILE *OpenRegularFile(const char *path, const struct stat *checked)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (checked != nullptr ? O_NOFOLLOW : 0));
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    if (checked != nullptr && (st.st_dev != checked->st_dev || st.st_ino != checked->st_ino)) {
        close(fd);
        errno = ELOOP;
        return nullptr;
    }
    (void) fcntl(fd, F_SETFL, O_RDONLY);
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr)
        close(fd);
    return fp;
}

// Records the inode of a message file shown once per session; false when it
// was shown before.  A full list still lets the file be shown.
bool FirstVisit(ino_t inode)
{
    const uint32_t ino = static_cast<uint32_t>(inode) != 0 ? static_cast<uint32_t>(inode) : 1;
    int i = 0;
    for (; i < kMaxVisitedDirectories && gVisitedDirectories[i] != 0; i++) {
        if (gVisitedDirectories[i] == ino)
            return false;
    }
    if (i < kMaxVisitedDirectories)
        gVisitedDirectories[i] = ino;
    return true;
}

}  // namespace

// ---- Opening --------------------------------------------------------------------------------

namespace {

// A message file named relative to the current directory is, after the
// login, one of the session's files, which a client may have put there or
// renamed to that name: it is shown only where the session could download it.
bool MayShowFileOfCwd()
{
    if (!gLoggedIn)
        return true;
    if (!gAllow[kPermRead])
        return false;
    return !gIsAnon || gAllowDownloadFromIncoming || !InIncomingDir(gCwd, nullptr);
}

}  // namespace

FILE *OpenReplyFile(const char *path, int onceOnly, int logErrors)
{
    if (path == nullptr || path[0] == '\0' || gDumbClient)
        return nullptr;
    // Relative names are looked up in directories the users may fill;
    // absolute ones come from the configuration.
    const bool relative = path[0] != '/';
    if (relative && !MayShowFileOfCwd())
        return nullptr;
    struct stat st;
    if (lstat(path, &st) < 0) {
        if (logErrors)
            LogPerror("Could not stat ReplyFile %.300s", path);
        return nullptr;
    }
    if (relative && S_ISLNK(st.st_mode)) {
        if (logErrors)
            Log(kLogMisc, "Ignoring ReplyFile link %.300s.\n", path);
        return nullptr;
    }
    if (st.st_size < 3) {
        if (logErrors)
            Log(kLogMisc, "Ignoring empty ReplyFile %.300s.\n", path);
        return nullptr;
    }
    if (onceOnly && !FirstVisit(st.st_ino))
        return nullptr;

    CloseReplyFile();
    // A relative name swapped for a link since the lstat is a link all the same.
    gReplyFile = OpenRegularFile(path, relative ? &st : nullptr);
    if (gReplyFile != nullptr) {
        if (gTraceLogging >= 2)
            Log(kLogMisc, "Opened ReplyFile %.300s.\n", path);
    } else if (logErrors) {
        if (relative && errno == ELOOP)
            Log(kLogMisc, "Ignoring ReplyFile link %.300s.\n", path);
        else
            LogPerror("Could not open ReplyFile %.300s", path);
    }
    return gReplyFile;
}

void CloseReplyFile()
{
    if (gReplyFile != nullptr) {
        fclose(gReplyFile);
        gReplyFile = nullptr;
    }
}

// ---- Expansion ----------------------------------------------------------------------------

void ExpandReplyLine(char *dst, size_t dstSize, const char *src, time_t now)
{
    LineBuilder out(dst, dstSize);
    const bool loggedIn = gLoggedIn != 0;
    char buf[64];
    const char *p = src;
    while (!EndOfText(*p)) {
        if (*p != '%') {
            out.Add(*p++);
            continue;
        }
        p++;
        const char c = *p;
        if (EndOfText(c))
            break;   // a percent sign at the end of the line is dropped
        p++;
        switch (c) {
        case '%':
            out.Add('%');
            break;
        case 'D':
            out.Add(gCurDomain->setName);
            break;
        case 'L':
            out.Add(ServerNameOrSetName());
            break;
        case 'R':
            out.Add(gRUserPtr->host);
            break;
        case 'I':
            out.Add(gRUserPtr->addr);
            break;
        case 'U':
            out.Add(loggedIn ? gRUserPtr->user : "?");
            break;
        case 'E':
            out.Add(loggedIn ? gRUserPtr->loginId : "?");
            break;
        case 'M':
            snprintf(buf, sizeof(buf), "%d", MaxUsersShown());
            out.Add(buf);
            break;
        case 'N':
            snprintf(buf, sizeof(buf), "%d", UsersNowShown());
            out.Add(buf);
            break;
        case 'T': {
            char text[32];
            if (ctime_r(&now, text) != nullptr) {
                text[strcspn(text, "\n")] = '\0';
                out.Add(text);
            }
            break;
        }
        case 't': {
            // No conversion letter, or one that does not print the time:
            // shown as written.
            if (EndOfText(*p) || !PrintingTimeConversion(*p)) {
                out.Add("%t");
                break;
            }
            const char format[3] = {'%', *p++, '\0'};
            struct tm tm;
            if (localtime_r(&now, &tm) != nullptr && strftime(buf, sizeof(buf), format, &tm) > 0)
                out.Add(buf);
            break;
        }
        case 'b':
        case 'q':
        case 's': {
            if (!loggedIn) {   // the letters that follow stay as text
                out.Add('?');
                break;
            }
            MultiEscape id;
            const char *stop = nullptr;
            const int n = RecogniseMultiEscape(p - 1, &id, &stop);
            if (n > 0) {
                AddMultiEscape(out, id, now);
                p += n - 1;
            } else if (!EndOfText(*stop)) {
                out.Add('%');
                out.Add(*stop);
                p = stop + 1;
            } else {
                p = stop;
            }
            break;
        }
        default:
            out.Add('%');
            out.Add(c);
            break;
        }
    }
}

void ReplyFile(int code)
{
    if (gReplyFile == nullptr)
        return;
    const time_t now = ShmTime(nullptr);
    char piece[kReplyFilePieceSize];
    char line[kReplyLineSize];
    while (fgets(piece, sizeof(piece), gReplyFile) != nullptr) {
        ExpandReplyLine(line, sizeof(line), piece, now);
        Reply("%d-%s\r\n", code, line);
    }
}

// ---- The sequences --------------------------------------------------------------------------

void WelcomeMessage()
{
    ResourceCheckPoint("+WelcomeMessage");
    OpenReplyFile(gCurDomain->welcomeMessage, 0, 1);
    if (gEtcNoLogin) {
        CloseReplyFile();
        Reply("220-%s %s\r\n", gCurDomain->serverName, gConnectHeader);
        Reply("220-\r\n");
        Reply("220-This system is not accepting logins at this time.\r\n");
        Reply("220-Please logout now.\r\n");
        Reply("220-\r\n");
        Reply("220 \r\n");
    } else if (gReplyFile == nullptr) {
        if (gCustomConnectHeader)
            Reply("220 %s\r\n", gConnectHeader);
        else
            Reply("220 %s %s\r\n", ServerNameOrHostName(), gConnectHeader);
    } else {
        if (gCustomConnectHeader)
            Reply("220-%s\r\n", gConnectHeader);
        else
            Reply("220-%s %s\r\n", ServerNameOrHostName(), gConnectHeader);
        ReplyFile(220);
        CloseReplyFile();
        Reply("220 \r\n");
    }
    ResourceCheckPoint("-WelcomeMessage");
}

void LoginMessage(const char *text)
{
    ResourceCheckPoint("+LoginMessage");
    if (gDumbClient) {
        Reply("230 %s\r\n", text);
        ResourceCheckPoint("-LoginMessage");
        return;
    }
    if (gPrintUserNumber) {
        Reply("230-You are user #%d of %d simultaneous users allowed.\r\n", UsersNowShown(), MaxUsersShown());
        Reply("230-\r\n");
    }
    if (OpenReplyFile(gIsAnon ? gCurDomain->aLoginMessage : gCurDomain->uLoginMessage, 0, 1) != nullptr) {
        ReplyFile(230);
        Reply("230-\r\n");
        CloseReplyFile();
    }
    if (OpenDirectoryMessage()) {
        ReplyFile(230);
        Reply("230-\r\n");
        CloseReplyFile();
    }
    Reply("230 %s\r\n", text);
    ResourceCheckPoint("-LoginMessage");
}

void GoodbyeMessage()
{
    if (OpenReplyFile(gIsAnon ? gCurDomain->aGoodbyeMessage : gCurDomain->uGoodbyeMessage, 0, 1) == nullptr) {
        Reply("221 Goodbye.\r\n");
        return;
    }
    ReplyFile(221);
    CloseReplyFile();
    Reply("221 \r\n");
}

int OpenDirectoryMessage()
{
    return OpenReplyFile(gCdMessage, 1, 0) != nullptr ? 1 : 0;
}

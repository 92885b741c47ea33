// RETR: the checks, the file or directory archive, the sending method and
// the outcome of a download.
#include "transfer/retr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Strn.h"
#include "transfer/archive.h"
#include "config/config.h"
#include "transfer/data.h"
#include "base/exit.h"
#include "log/log.h"
#include "base/process.h"
#include "paths/paths.h"
#include "quota/quota.h"
#include "paths/safefs.h"
#include "transfer/sendmethods.h"
#include "session/prelogin.h"
#include "session/shell.h"
#include "tls/tls.h"
#include "status/shm.h"
#include "transfer/stor.h"
#include "config/userclass.h"
#include "transfer/xbuf.h"
#include "transfer/xferlog.h"

namespace {

// A refused download still leaves a record.
void Refuse(const char *path, int result)
{
    Strncpy(gCurXferFile, path);
    LogTransfer(result, 0);
}

// The replies of a file that cannot be opened (stat or open failed).
void OpenFailed(const char *path, int err)
{
    if (err == EMFILE)
        XferOutOfDescriptors();
    if (err == EACCES) {
        Refuse(path, kXferPerm);
        PermissionDenied(nullptr);
        return;
    }
    Refuse(path, err == ENOENT ? kXferNoEnt : kXferError);
    Reply("550 Could not open: %.420s\r\n", strerror(err));
}

// Anonymous users may not download from the incoming directory unless
// allowed to.  True after the refusal.
bool RefusedAsIncoming(const char *realPath)
{
    if (!gIsAnon || gAllowDownloadFromIncoming || !InIncomingDir(realPath, nullptr))
        return false;
    Refuse(realPath, kXferPerm);
    Reply("553 Permission denied; an \"incoming\" directory is for uploading only.\r\n");
    return true;
}

void DirectoryReply(const char *path)
{
    if (gTarPath[0] == '\0') {
        Reply("550 That is a directory.\r\n");
        return;
    }
    Reply("550-That is a directory.\r\n"
          "550-You can retrieve a TAR of it if you append \".tar\" to the name to retrieve.\r\n"
          "550 Try RETR %.420s.tar sometime.\r\n",
          LastPathComponent(path));
}

// The sending method for a regular file.
int SendFile(int fd, int64_t size)
{
    if (gType == 'A') {
        ResetXBuf();
        return gAsciiMode >= 3 ? RegAsciiRetrieve3(fd) : RegAsciiRetrieve1_2(fd);
    }
    // The kernel offers no TLS here (no "tls" ULP): TLS data goes through
    // the buffered loop.
    if (TlsActive(kTlsData))
        return RegRetrieve(fd);
    if (gSendfileIO && gRetrBandwidthLimit <= 0 && size >= kSendfileMinSize) {
        const int result = SendfileRetrieve(fd, size);
        if (result != kSendfileUnusable)
            return result;
        if (gTraceLogging >= 1)
            Log(kLogMisc, "Sendfile failed, falling back to standard method instead\n");
        return RegRetrieve(fd);
    }
    if (gMemoryMappedIO && gRetrBandwidthLimit <= 0 && size >= kMmapMinSize)
        return MmapRetrieve(fd, size);
    return RegRetrieve(fd);
}

void EndDownload(int result)
{
    if (EndFailedTransfer(result, 0) == 0) {
        if (FinishData() < 0) {
            LogTransfer(kXferError, 1);
            DidSomethingUseful();
            return;
        }
        if (!gRequireImplicitAckForDownloads)
            LogTransfer(kXferOK, 1);
        Reply("226 Transfer completed.\r\n");
    }
    DidSomethingUseful();
}

// A regular file that stat found.  What was opened is examined again: the
// name may have been given to a FIFO (whose open must not block) or to
// another file since.
void RetrFile(const char *path, struct stat st)
{
    gXferFileFd = SafeOpen(path, O_RDONLY | O_NONBLOCK);
    const int fd = gXferFileFd;
    if (fd < 0) {
        OpenFailed(path, errno);
        return;
    }
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        CloseXferFile();
        Reply("550 Not a plain file.\r\n");
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (gLockDownloads && LockWholeFile(fd, F_RDLCK) < 0) {
        CloseXferFile();
        Refuse(path, kXferPerm);
        Reply("553 File is locked.\r\n");
        return;
    }
    Strncpy(gCurXferFile, path);
    NoteXferStart();
    gStartingSize = st.st_size;
    if (OpenData(LastPathComponent(path), st.st_size, "Retr", path) < 0) {
        if (gLockDownloads)
            LockWholeFile(fd, F_UNLCK);
        CloseXferFile();
        NoDataConnection();
        return;
    }
    gTransferStarted = 1;
    NoteTransferActivity("Retr", path);
    const int result = SendFile(fd, st.st_size);
    if (gLockDownloads)
        LockWholeFile(fd, F_UNLCK);
    CloseXferFile();
    CalculateTransferDuration();
    EndDownload(result);
}

// A name that does not exist: an archive of the directory it names with an
// archive suffix.  arg is the client's name, path its real path.
void RetrDir(const char *arg, const char *path)
{
    char dirArg[kPathBufSize];
    char sfx[kXferSfxSize];
    Strncpy(dirArg, arg);
    if (!RetrDirSuffix(dirArg, sfx, sizeof(sfx))) {
        Refuse(path, kXferNoEnt);
        Reply("550 No such file.\r\n");
        return;
    }
    // The directory itself must pass the checks: it may be a link.
    char dir[kPathBufSize];
    if (CheckPathName(dir, sizeof(dir), gCwd, dirArg) < 0 || dir[0] == '\0') {
        Refuse(path, kXferPerm);
        PermissionDeniedBadPathname();
        return;
    }
    // The name with the suffix passed the incoming rule; the directory
    // itself must pass it too.
    if (RefusedAsIncoming(dir))
        return;
    struct stat st;
    if (SafeStat(dir, &st) < 0) {
        if (errno == EACCES) {               // a link where the check saw none
            Refuse(path, kXferPerm);
            PermissionDenied(nullptr);
            return;
        }
        Reply("550 No such directory.\r\n");
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        Reply("550 You can only TAR a directory.\r\n");
        return;
    }
    if (MayRetrDir(dir) < 0) {
        Reply("550 You may not TAR that directory.\r\n");
        return;
    }
    if (gType != 'I') {
        Reply("550 Type %c not supported with the get dir option.\r\n", gType);
        return;
    }
    gArchivePipe = RetrOpenDir(dir, sfx);
    const int fd = gArchivePipe;
    if (fd < 0) {
        Refuse(dir, kXferError);
        Reply("550 Could not process directory.\r\n");
        return;
    }
    Strncpy(gCurXferFile, dir);
    Strncpy(gSfx, sfx);
    NoteXferStart();
    char shown[kPathBufSize];
    Strncpy(shown, dir);
    Strncat(shown, sfx);
    if (OpenData(nullptr, -1, "Retr", shown) < 0) {
        CloseArchive(1);
        NoDataConnection();
        return;
    }
    gTransferStarted = 1;
    NoteTransferActivity("Retr", shown);
    int result = RegRetrieve(fd);
    // The archive is whole only when every archiver of it succeeded: tar
    // ends with 1 also for a file that shrank while it was read, which it
    // pads with zeros.
    if (CloseArchive(result < 0 || gCancel != 0) < 0 && result == 0 && gCancel == 0) {
        Reply("451 Could not process directory.\r\n");
        result = -1;
    }
    CalculateTransferDuration();
    EndDownload(result);
}

}  // namespace

int gXferFileFd = -1;
int gArchivePipe = -1;

void NoDataConnection()
{
    CalculateTransferDuration();
    LogTransfer(kXferError, 0);
}

void CloseXferFile()
{
    if (gXferFileFd >= 0)
        close(gXferFileFd);
    gXferFileFd = -1;
}

int CloseArchive(int stop)
{
    if (gArchivePipe >= 0)
        close(gArchivePipe);
    gArchivePipe = -1;
    if (!stop)
        return ReapArchivers();
    StopArchivers();
    return 0;
}

void AbandonTransfer()
{
    // The session ends with a transfer under way (OpenData ended it, or a
    // reply could not be sent): the attempt still gets its one record.
    if (gXferFileFd >= 0 || gArchivePipe >= 0) {
        CalculateTransferDuration();
        LogTransfer(kXferError, gTransferStarted);
    }
    CloseXferFile();
    CloseArchive(1);
    DropTmpUpload();
}

const char *LastPathComponent(const char *path)
{
    const char *slash = strrchr(path, '/');
    const char *last = slash != nullptr ? slash + 1 : path;
    return *last != '\0' ? last : "dirname";
}

void XferOutOfDescriptors()
{
    LeakReport();
    Exit(4);
}

int LockWholeFile(int fd, short type)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_SETLK, &fl);
}

void NoteTransferActivity(const char *verb, const char *path)
{
    ShowTransferInSlot(verb, path);
    // No reply follows until the transfer's end: the status area shows it
    // now, before its first byte moves, and a short transfer at all (its
    // 150 reply published it already where the connection came first).
    PublishOwnSlot();
    if (gSyslog) {
        if (gUploading)
            syslog(LOG_INFO, "Uploading [%.420s]", path);
        else
            syslog(LOG_INFO, "Downloading [%.420s]", path);
    }
    LogTransferStart();
}

int EndFailedTransfer(int result, int upload)
{
    if (gCancel == SIGALRM) {
        CloseData(0);
        LogTransfer(kXferIncomplete, 1);
        if (upload)
            Reply("450 Socket read from client timed-out.\r\n");
        else
            Reply("450 Socket write to client timed-out.\r\n");
        DoneConnection(kEndXferTimeout);
    }
    if (gCancel == SIGPIPE) {
        CloseData(0);
        LogTransfer(kXferAbor, 1);
        sleep(1);
        Reply("450 Transfer aborted forcefully by client.\r\n");
        return 1;
    }
    if (gCancel != 0) {
        CloseData(0);
        LogTransfer(kXferAbor, 1);
        gCanceled = 1;
        sleep(1);
        Reply("426 Transfer aborted successfully by client.\r\n");
        return 1;
    }
    if (result < 0) {
        CloseData(1);
        LogTransfer(kXferError, 1);
        return 1;
    }
    return 0;
}

void Retr(char *arg)
{
    ResetXferState(0);
    gCancel = 0;
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (*arg == '\0') {
        BadArgs();
        return;
    }
    if (!gAllow[kPermRead]) {
        Reply("553 Sorry, you are not allowed to download any file on this system.\r\n");
        return;
    }
    if (gType != 'I' && !gAllowAsciiDownloads) {
        Reply("553 Sorry, this site requires that your FTP client program download in BINARY mode (not ASCII "
              "mode).\r\n");
        return;
    }
    if (!gAllowDownloadsIfQuotaExceeded && IsUserOverQuota()) {
        Reply("553 Disk quota exceeded.  Delete files to get under your quota.\r\n");
        return;
    }
    char path[kPathBufSize];
    if (CheckPathName(path, sizeof(path), gCwd, arg) < 0 || path[0] == '\0') {
        Refuse(arg, kXferPerm);
        PermissionDeniedBadPathname();
        return;
    }
    if (RefusedAsIncoming(path))
        return;
    if (gMode == 'B')
        gXNoteBits |= kXNoteModeB;
    struct stat st;
    if (SafeStat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            DirectoryReply(path);
        else if (!S_ISREG(st.st_mode))
            Reply("550 Not a plain file.\r\n");
        else
            RetrFile(path, st);
        return;
    }
    if (errno != ENOENT) {
        OpenFailed(path, errno);
        return;
    }
    RetrDir(arg, path);
}

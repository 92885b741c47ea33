// STOR, APPE and STOU: the permission flags, the incoming directory of
// anonymous users, temporary and unique names, the file's mode and owner
// after the upload, and the outcome.
#include "stor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Strn.h"
#include "config.h"
#include "data.h"
#include "dircache.h"
#include "exit.h"
#include "log.h"
#include "master.h"
#include "paths.h"
#include "quota.h"
#include "retr.h"
#include "shell.h"
#include "userclass.h"
#include "xferlog.h"

char gTmpUploadPath[512];

namespace {

constexpr const char *kProgramExtensions[] = {".cgi", ".php", ".pl", ".py", ".exe", ".sh", ".tcl"};
constexpr size_t kTmpPrefixLen = 9;          // "/.upload."

// What the permission checks decided about one upload.
struct UploadPlan {
    int flags = 0;                           // open flags
    bool incoming = false;                   // an anonymous upload into the incoming directory
    bool unique = false;
    bool existed = false;                    // the target was there before
    char tmpPath[sizeof(gTmpUploadPath)] = "";   // the temporary name, when one is used
};

// Which hard limit an upload reached.
enum class QuotaKind { kNone, kBytes, kFiles };
using QuotaTexts = char[kNumQuotaStrings][kQuotaStringSize];

void Refuse(const char *path, int result)
{
    Strncpy(gCurXferFile, path);
    LogTransfer(result, 0);
}

bool IsUpper(const char *ext, const char *lower)
{
    for (; *ext != '\0' && *lower != '\0'; ext++, lower++) {
        if (*ext != (*lower >= 'a' && *lower <= 'z' ? *lower - 'a' + 'A' : *lower))
            return false;
    }
    return *ext == *lower;
}

// "f" and the UTC date: the name STOU uses when it is given none.
void DefaultUniqueName(char *dst, size_t size)
{
    const time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    char date[16];
    strftime(date, sizeof(date), "%Y%m%d", &tm);
    snprintf(dst, size, "f%s", date);
}

QuotaKind HardLimitReached()
{
    if (IsUserOverBytesQuota())
        return QuotaKind::kBytes;
    if (IsUserOverFilesQuota())
        return QuotaKind::kFiles;
    return QuotaKind::kNone;
}

// The refusal of a reached hard limit, with the figures q.
void QuotaExceededReply(QuotaKind kind, const QuotaTexts q)
{
    sleep(1);
    if (kind == QuotaKind::kBytes)
        Reply("450 Disk quota exceeded (%.32s bytes;  limit: %.32s).\r\n", q[kQuotaBytesUsed], q[kQuotaBytesHardLimit]);
    else
        Reply("450 Disk quota exceeded (%.32s files;  limit: %.32s).\r\n", q[kQuotaFilesUsed], q[kQuotaFilesHardLimit]);
}

// Step by step as the hard limits would refuse it.
bool OverQuota()
{
    const QuotaKind kind = HardLimitReached();
    if (kind == QuotaKind::kNone)
        return false;
    QuotaTexts q;
    GetQuotaStrings(q);
    QuotaExceededReply(kind, q);
    return true;
}

// The temporary name of "upload-tmp-then-rename": the directory, "/.upload."
// and the file name.
bool MakeTmpUploadPath(const char *path, char *dst, size_t size)
{
    const char *slash = strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    if (*name == '\0' || strlen(path) + kTmpPrefixLen >= size)
        return false;
    Strncpy(dst, path, size);
    dst[name - path] = '\0';
    Strncat(dst, ".upload.", size);
    Strncat(dst, name, size);
    return true;
}

// APPE, STOR and STOU by the user's permission flags; anonymous users
// without the modify flag are held to the incoming directory instead.
bool Permitted(int append, int unique, const char *path, UploadPlan *plan)
{
    const bool m = gAllow[kPermModify] != 0;
    const bool a = gAllow[kPermAppend] != 0;
    const bool c = gAllow[kPermCreate] != 0;
    const bool anonRule = gIsAnon && !m;
    if (append) {
        if (!gAllowAppend) {
            Reply("553 APPE has been disabled here.\r\n");
            return false;
        }
        if (!anonRule && !a) {
            Reply("553 Sorry, you are not allowed to append to any file on this system.\r\n");
            return false;
        }
        if (!anonRule && !m && !gIsAnon && c) {
            Reply("553 Permission denied; you may add new files, but not APPEnd to existing ones.\r\n");
            return false;
        }
        gXNoteBits |= kXNoteAppend;
        plan->flags = O_WRONLY | O_APPEND | O_CREAT;
    } else {
        plan->flags = O_WRONLY | O_CREAT | O_TRUNC;
        // A temporary name that cannot be made is refused before the
        // permission flags are asked.
        if (gUploadTmpThenRename && !unique && gRestartPt <= 0 &&
            !MakeTmpUploadPath(path, plan->tmpPath, sizeof(plan->tmpPath))) {
            Refuse(path, kXferPerm);
            PermissionDenied("illegal path for stor with rename");
            return false;
        }
        if (!anonRule && !m && !(!gIsAnon && c) && (!a || gRestartPt <= 0)) {
            Reply("553 Sorry, you may not upload files to this system.\r\n");
            return false;
        }
    }
    if (!anonRule)
        return true;

    int configured = 0;
    if (InIncomingDir(path, &configured)) {
        if (append) {
            Refuse(path, kXferPerm);
            Reply("553 Permission denied; you may not append to files in an \"incoming\" directory.\r\n");
            return false;
        }
        _Trace(kLogMisc, "Upload to incoming dir.\n");
        plan->flags = O_WRONLY | O_CREAT | O_EXCL;
        plan->incoming = true;
        plan->tmpPath[0] = '\0';             // a rename would overwrite what is there
        return true;
    }
    Refuse(path, kXferPerm);
    if (configured)
        Reply("553 Permission denied; you may only upload to an \"incoming\" directory.\r\n");
    else
        Reply("553 Permission denied; uploading is not allowed.\r\n");
    return false;
}

// The checks against the target as it is now.  st is valid when exists.
bool TargetAllowed(const char *path, bool exists, const struct stat &st, const UploadPlan &plan)
{
    const bool m = gAllow[kPermModify] != 0;
    const bool a = gAllow[kPermAppend] != 0;
    const bool c = gAllow[kPermCreate] != 0;
    if (!exists) {
        if (!c && !plan.incoming) {
            Refuse(path, kXferPerm);
            Reply("553 Sorry, you are not allowed to add new files to this system.\r\n");
            return false;
        }
        if (RestartExceedsQuota(gUserBytesUsage, gRestartPt, gUserBytesUsageHardLimit)) {
            QuotaTexts q;
            GetQuotaStrings(q);
            sleep(2);
            Reply("550 Your RESTart point would exceed your disk quota (%.32s bytes;  limit: %.32s).\r\n",
                  q[kQuotaBytesUsed], q[kQuotaBytesHardLimit]);
            return false;
        }
        return true;
    }
    gStartingSize = st.st_size;
    if (plan.incoming)
        return true;                         // exclusive creation refuses it
    if (!S_ISREG(st.st_mode)) {
        // Opening a FIFO would wait for a reader; a device or a link leads
        // somewhere else.
        Refuse(path, kXferPerm);
        PermissionDenied("not a plain file");
        return false;
    }
    const char *refusal = nullptr;
    if (c && !m && (!a || gRestartPt < st.st_size))
        refusal = "553 Permission denied; you may add new files, but not modify existing ones.\r\n";
    else if (a && gRestartPt > 0 && gRestartPt < st.st_size)
        refusal = "553 Sorry, you can only append to (RESTart at the end of) this file.\r\n";
    else if (!a && gRestartPt > 0 && gRestartPt >= st.st_size)
        refusal = "553 Sorry, you are not allowed to append to (RESTart at the end of) any file on this system.\r\n";
    if (refusal == nullptr)
        return true;
    Refuse(path, kXferPerm);
    Reply("%s", refusal);
    return false;
}

// The file of an upload that goes no further: closed, and removed when it
// is a temporary file.
void ReleaseUpload()
{
    CloseXferFile();
    DropTmpUpload();
}

// Opens the file to write (the temporary name when there is one) and
// notes it in gXferFileFd and gTmpUploadPath; -1 after the reply.  With
// upload locks the file is locked before it is truncated, so a refused
// upload changes nothing.
int OpenTarget(const char *path, const char *tmpPath, int flags)
{
    const char *openPath = tmpPath[0] != '\0' ? tmpPath : path;
    const bool truncateLater = (flags & O_TRUNC) != 0 && gLockUploads;
    if (truncateLater)
        flags &= ~O_TRUNC;
    // Not blocked should the name have turned into a FIFO since it was
    // looked at.
    const int fd = open(openPath, flags | O_CLOEXEC | O_NONBLOCK, GetFileCreationModeByFileType(path));
    if (fd < 0) {
        const int err = errno;
        if (err == EMFILE)
            XferOutOfDescriptors();
        if (err == EACCES) {
            Refuse(path, kXferPerm);
            Reply("553 Permission denied.\r\n");
            return -1;
        }
        Refuse(path, err == ENOENT ? kXferNoEnt : kXferError);
        Reply("550 Could not open: %.420s\r\n", strerror(err));
        return -1;
    }
    gXferFileFd = fd;
    Strncpy(gTmpUploadPath, tmpPath);        // ours now: it goes if the upload does not finish
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        ReleaseUpload();
        Refuse(path, kXferPerm);
        PermissionDenied("not a plain file");
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (gLockUploads && LockWholeFile(fd, F_WRLCK) < 0) {
        ReleaseUpload();
        Refuse(path, kXferPerm);
        Reply("553 File is locked.\r\n");
        return -1;
    }
    if (truncateLater && ftruncate(fd, 0) < 0)
        LogPerror("Stor/ftruncate %.300s", openPath);
    return fd;
}

// The mode and owner of a successful upload.
void AfterUpload(int fd, const char *openPath, const UploadPlan &plan)
{
    if (!gIsAnon && gUAutoChmodUploads && gStoringExecutable) {
        struct stat st;
        const mode_t mask = umask(0);
        umask(mask);
        if (fstat(fd, &st) == 0) {
            const mode_t mode = (st.st_mode & 07777) | (0111 & ~mask);
            if (fchmod(fd, mode) == 0)
                _Trace(kLogMisc, "AutoChmod to mode %05o successful.\n", static_cast<unsigned>(mode));
        }
    }
    if (gIsAnon && plan.incoming) {
        char dir[kPathBufSize];
        Strncpy(dir, openPath);
        char *slash = strrchr(dir, '/');
        if (slash != nullptr)
            *(slash == dir ? slash + 1 : slash) = '\0';
        struct stat st;
        if (stat(dir, &st) == 0)
            SetOwnerAndGroupOfFile(fd, openPath, st.st_uid, st.st_gid);
    }
}

// Over a hard limit with "delete-uploaded-file-if-quota-exceeded": the file
// just written (openPath: the temporary file, when there is one) goes again.  Returns the limit
// it broke, with the figures as they were in q; kNone when it stays.
QuotaKind EnforceQuotaAfterUpload(const char *openPath, const UploadPlan &plan, QuotaTexts q)
{
    if (!gDeleteUploadedFileIfQuotaExceeded)
        return QuotaKind::kNone;
    const QuotaKind kind = HardLimitReached();
    if (kind == QuotaKind::kNone)
        return QuotaKind::kNone;
    GetQuotaStrings(q);
    struct stat st;
    const int64_t size = stat(openPath, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    if (truncate(openPath, 0) < 0 || unlink(openPath) < 0)
        return QuotaKind::kNone;
    QuotaAddBytes(-size);
    // A temporary file beside the file it was to replace never counted as
    // one more file.
    if (plan.tmpPath[0] == '\0' || !plan.existed)
        QuotaAddFiles(-1);
    LogDelete(openPath);                    // what was removed: a temporary file leaves the target alone
    _Trace(kLogMisc, "Quota exceeded; Removed %.400s.\n", openPath);
    return kind;
}

// The temporary file takes the target's place; the file it replaces gives
// its size back to the quota.  False after the failure reply.
bool RenameIntoPlace(const char *tmpPath, const char *target)
{
    struct stat old;
    const bool replacing = lstat(target, &old) == 0 && S_ISREG(old.st_mode);
    if (rename(tmpPath, target) < 0) {
        const int err = errno;
        CloseData(0);
        LogTransfer(kXferError, 1);
        DropTmpUpload();
        sleep(2);
        Reply("450 Could not rename uploaded temp file: %.420s\r\n", strerror(err));
        return false;
    }
    gTmpUploadPath[0] = '\0';
    if (replacing)
        QuotaAddBytes(-static_cast<int64_t>(old.st_size));
    return true;
}

// The data moves: receive, mode and owner, quota, outcome.
void Receive(int fd, const char *target, const char *shown, const UploadPlan &plan)
{
    const char *openPath = plan.tmpPath[0] != '\0' ? plan.tmpPath : target;
    int result;
    if (gType == 'A')
        result = gAsciiMode == 3 ? RegAsciiStore3(fd) : RegAsciiStore1_2(fd);
    else
        result = RegStore(fd);
    if (gSyncWrites & 1)
        fsync(fd);
    if (gLockUploads)
        LockWholeFile(fd, F_UNLCK);
    CalculateTransferDuration();
    const bool ok = result == 0 && gCancel == 0;
    if (ok)
        AfterUpload(fd, openPath, plan);
    CloseXferFile();
    QuotaTexts q;
    const QuotaKind removed = EnforceQuotaAfterUpload(openPath, plan, q);
    if (removed != QuotaKind::kNone)
        gTmpUploadPath[0] = '\0';           // nothing left to rename or remove

    if (!ok) {
        DropTmpUpload();
        EndFailedTransfer(result < 0 ? result : -1, 1);
        DidSomethingUseful();
        return;
    }
    if (removed != QuotaKind::kNone) {
        // It all came, but it does not fit: a failed upload.
        CloseData(1);
        LogTransfer(kXferError, 1);
        QuotaExceededReply(removed, q);
        DidSomethingUseful();
        return;
    }
    if (plan.tmpPath[0] != '\0' && !RenameIntoPlace(plan.tmpPath, target)) {
        DidSomethingUseful();
        return;
    }
    Strncpy(gLastSuccessfulUploadedFile, target);
    if (!gRequireImplicitAckForUploads)
        LogTransfer(kXferOK, 1);
    CloseData(1);
    if (plan.unique)
        Reply("226 \"%s\" transfer completed.\r\n", shown);
    else
        Reply("226 Transfer completed.\r\n");
    DidSomethingUseful();
}

// The owner change of SetOwnerAndGroup: fchown of fd, or lchown of path
// when fd is -1, as root.
int ChownAsRoot(int fd, const char *path, uid_t uid, gid_t gid)
{
    if ((uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) || !gRunningAsRoot)
        return -1;
    const uid_t saved = geteuid();
    if (saved != 0 && seteuid(0) < 0)
        LogPerror("cwd: setEuid(0) (eu=%d, ru=%u)", static_cast<int>(geteuid()), static_cast<unsigned>(getuid()));
    const int rc = fd >= 0 ? fchown(fd, uid, gid) : lchown(path, uid, gid);
    const int err = errno;
    if (geteuid() != saved && seteuid(saved) < 0) {
        LogPerror("cannot restore euid %d (eu=%u, ru=%u)", static_cast<int>(saved), static_cast<unsigned>(geteuid()),
                  static_cast<unsigned>(getuid()));
        Exit(1);
    }
    PurgeDirCacheEntryByPath(path);
    errno = err;
    return rc;
}

}  // namespace

int LooksLikeProgram(const char *data, size_t len)
{
    static constexpr unsigned char kElf[] = {0x7F, 'E', 'L', 'F'};
    static constexpr unsigned char kClass[] = {0xCA, 0xFE, 0xBA, 0xBE};
    auto starts = [&](const void *magic, size_t n) { return len >= n && memcmp(data, magic, n) == 0; };
    return starts(kElf, sizeof(kElf)) || starts("#!/", 3) || starts("<!--applet", 10) || starts(kClass, sizeof(kClass));
}

int InIncomingDir(const char *realPath, int *configured)
{
    if (configured != nullptr)
        *configured = 0;
    if (!gAllowIncoming)
        return 0;
    char name[kPathBufSize];
    if (gAIncomingDir[0] == '\0')
        Strncpy(name, gIncomingSubdir);
    else if (gAIncomingDir[0] != '/')
        snprintf(name, sizeof(name), "/%s", gAIncomingDir);
    else
        Strncpy(name, gAIncomingDir);
    size_t len = strlen(name);
    while (len > 1 && name[len - 1] == '/')
        name[--len] = '\0';
    if (configured != nullptr)
        *configured = 1;
    char shown[kPathBufSize];
    VirtualPath(shown, sizeof(shown), realPath);
    // Every place the name appears counts: "/incomingx/incoming/f" is inside.
    for (const char *hit = strstr(shown, name); hit != nullptr; hit = strstr(hit + 1, name)) {
        if (hit[len] == '\0' || hit[len] == '/')
            return 1;
    }
    return 0;
}

int GetUniqueFileName(const char *base, char *result, size_t size)
{
    char name[kPathBufSize];
    if (base[0] == '\0')
        DefaultUniqueName(name, sizeof(name));
    else
        Strncpy(name, base);
    struct stat st;
    if (lstat(name, &st) < 0 && errno == ENOENT) {
        Strncpy(result, name, size);
        return strlen(name) < size ? 0 : -1;
    }
    for (int i = 2; i <= kMaxUniqueSuffix; i++) {
        const int n = snprintf(result, size, "%s.%d", name, i);
        if (n < 0 || static_cast<size_t>(n) >= size)
            return -1;
        if (lstat(result, &st) < 0 && errno == ENOENT)
            return 0;
    }
    return -1;
}

mode_t GetFileCreationModeByFileType(const char *name)
{
    if (gIsAnon || !gUAutoChmodUploads)
        return 0666;
    const char *ext = strrchr(name, '.');
    if (ext == nullptr)
        return 0666;
    for (const char *known : kProgramExtensions) {
        if (strcmp(ext, known) == 0 || IsUpper(ext, known))
            return 0777;
    }
    return 0666;
}

int SetOwnerAndGroup(const char *path, uid_t uid, gid_t gid)
{
    return ChownAsRoot(-1, path, uid, gid);
}

int SetOwnerAndGroupOfFile(int fd, const char *path, uid_t uid, gid_t gid)
{
    return ChownAsRoot(fd, path, uid, gid);
}

int RestartExceedsQuota(int64_t usage, int64_t restartPt, int64_t hardLimit)
{
    if (hardLimit <= 0 || restartPt <= 0)
        return 0;
    if (usage < 0)
        usage = 0;
    // usage + restartPt >= hardLimit, without the sum that may overflow.
    return usage >= hardLimit || restartPt >= hardLimit - usage;
}

void DropTmpUpload()
{
    if (gTmpUploadPath[0] != '\0')
        unlink(gTmpUploadPath);
    gTmpUploadPath[0] = '\0';
}

void Stor(char *arg, int uniqueName, int append)
{
    ResetXferState(1);
    gCancel = 0;
    gTmpUploadPath[0] = '\0';
    gStoringExecutable = 0;
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    if (*arg == '\0' && !uniqueName) {
        BadArgs();
        return;
    }
    if (gType != 'I' && !gAllowAsciiUploads) {
        Reply("553 Sorry, this site requires that your FTP client program upload in BINARY mode (not ASCII "
              "mode).\r\n");
        return;
    }
    char name[kPathBufSize];
    if (*arg == '\0')
        DefaultUniqueName(name, sizeof(name));
    else
        Strncpy(name, arg);
    char path[kPathBufSize];
    if (CheckPathName(path, sizeof(path), gCwd, name) < 0 || path[0] == '\0') {
        Refuse(name, kXferPerm);
        PermissionDeniedBadPathname();
        return;
    }
    if (OverQuota())
        return;

    UploadPlan plan;
    plan.unique = uniqueName != 0;
    if (!Permitted(append, uniqueName, path, &plan))
        return;
    if (plan.tmpPath[0] != '\0')
        plan.flags |= O_EXCL;

    char target[kPathBufSize];
    char shown[kPathBufSize];
    Strncpy(target, path);
    Strncpy(shown, name);
    if (uniqueName) {
        if (GetUniqueFileName(path, target, sizeof(target)) < 0) {
            Reply("550 Cannot generate a unique name.\r\n");
            return;
        }
        Strncat(shown, target + strlen(path));
        plan.flags |= O_EXCL;                // the name stays free until it is ours
    }
    if (gRestartPt > 0) {
        gXNoteBits &= ~kXNoteAppend;
        plan.flags &= ~(O_APPEND | O_TRUNC);
    }
    if (gSyncWrites & 2)
        plan.flags |= O_SYNC;

    struct stat st {};
    plan.existed = lstat(target, &st) == 0;
    if (!TargetAllowed(target, plan.existed, st, plan))
        return;
    const int fd = OpenTarget(target, plan.tmpPath, plan.flags);
    if (fd < 0)
        return;
    if (!plan.existed)
        QuotaAddFiles(1);
    else if ((plan.flags & O_TRUNC) != 0 && plan.tmpPath[0] == '\0')
        QuotaAddBytes(-static_cast<int64_t>(st.st_size));

    Strncpy(gCurXferFile, target);
    NoteXferStart();
    if (gMode == 'B')
        gXNoteBits |= kXNoteModeB;
    if (OpenData(nullptr, -1) < 0) {
        if (gLockUploads)
            LockWholeFile(fd, F_UNLCK);
        ReleaseUpload();
        return;
    }
    gTransferStarted = 1;
    PurgeDirCacheEntryContainingFile(target);
    NoteTransferActivity("Stor", target);
    Receive(fd, target, shown, plan);
}

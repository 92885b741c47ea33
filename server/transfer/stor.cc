// STOR, APPE and STOU: the permission flags, the incoming directory of
// anonymous users, temporary and unique names, the file's mode and owner
// after the upload, and the outcome.
#include "transfer/stor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Strn.h"
#include "config/config.h"
#include "transfer/data.h"
#include "listing/dircache.h"
#include "base/exit.h"
#include "base/privchan.h"
#include "log/log.h"
#include "base/process.h"
#include "paths/paths.h"
#include "quota/quota.h"
#include "transfer/retr.h"
#include "paths/safefs.h"
#include "session/shell.h"
#include "paths/uniquefd.h"
#include "config/userclass.h"
#include "transfer/xferlog.h"

char gTmpUploadPath[512];

namespace {

constexpr const char *kProgramExtensions[] = {".cgi", ".php", ".pl", ".py", ".exe", ".sh", ".tcl"};
constexpr size_t kTmpPrefixLen = 9;          // "/.upload."
constexpr int kTmpCreateTries = 2;           // once more after removing a stale temporary file

// A second descriptor of the temporary file while gTmpUploadPath names it:
// it holds the lock that tells other sessions the name is in use, from its
// creation until the name is gone, also after the file itself was closed.
int gTmpUploadFd = -1;

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

// The lock that marks a temporary upload file as in use.  An open file
// description lock: closing another descriptor of the file does not drop
// it, and it outlives the upload lock of "lock-uploads".
int LockTmpUpload(int fd, short type)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl);
}

// True when path names the file open on fd.
bool NamesFile(const char *path, int fd)
{
    struct stat byName;
    struct stat byFd;
    return SafeLstat(path, &byName) == 0 && fstat(fd, &byFd) == 0 && byName.st_dev == byFd.st_dev &&
           byName.st_ino == byFd.st_ino;
}

// A temporary file under the name that no upload holds (a session ended in
// the middle of it): opened and locked so that it may be removed; -1 when it
// is in use or cannot be looked at.  Sessions looking at the same file take
// turns through flock, which the record locks never see; the record lock
// keeps out an upload that has just created the file.
int TakeStaleTmpUpload(const char *tmpPath)
{
    struct stat st;
    if (SafeLstat(tmpPath, &st) < 0 || !S_ISREG(st.st_mode))
        return -1;
    short type = F_RDLCK;
    UniqueFd fd(SafeOpen(tmpPath, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd.ok()) {
        type = F_WRLCK;
        fd.reset(SafeOpen(tmpPath, O_WRONLY | O_NONBLOCK | O_NOCTTY));
    }
    if (!fd.ok() || fstat(fd.get(), &st) < 0 || !S_ISREG(st.st_mode) || flock(fd.get(), LOCK_EX | LOCK_NB) < 0 ||
        LockTmpUpload(fd.get(), type) < 0 || !NamesFile(tmpPath, fd.get()))
        return -1;
    return fd.release();
}

// Creates the temporary file (flags hold O_CREAT and O_EXCL) and locks it for
// as long as the upload lasts.  One that no upload holds is left from a
// session that ended in the middle: it is removed and made anew.  -1 with
// errno; EEXIST while another upload uses the name.
int CreateTmpUpload(const char *tmpPath, int flags, mode_t mode)
{
    UniqueFd stale;                          // locked until the new file is ours
    for (int attempt = 1;; attempt++) {
        UniqueFd fd(SafeOpen(tmpPath, flags, mode));
        if (fd.ok()) {
            // Between creation and lock another session may have taken it
            // for a stale one.
            if (LockTmpUpload(fd.get(), F_WRLCK) == 0 && NamesFile(tmpPath, fd.get()))
                return fd.release();
            errno = EEXIST;
            return -1;
        }
        if (errno != EEXIST || attempt >= kTmpCreateTries)
            return -1;
        stale.reset(TakeStaleTmpUpload(tmpPath));
        if (!stale.ok() || SafeUnlink(tmpPath) < 0) {
            errno = EEXIST;
            return -1;
        }
        _Trace(kLogMisc, "Removed stale temporary upload file %.400s.\n", tmpPath);
    }
}

// The temporary file's lock goes; the name is left as it is.
void ForgetTmpUpload()
{
    if (gTmpUploadFd >= 0)
        close(gTmpUploadFd);
    gTmpUploadFd = -1;
    gTmpUploadPath[0] = '\0';
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
            RestartOverQuota();
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

// The file of an upload that goes no further: removed when it is a
// temporary file (while still locked), and closed.
void ReleaseUpload()
{
    DropTmpUpload();
    CloseXferFile();
}

// The refusal of a file that cannot be opened to write.
void OpenFailed(const char *path, int err)
{
    if (err == EMFILE)
        XferOutOfDescriptors();
    if (err == EACCES) {
        Refuse(path, kXferPerm);
        Reply("553 Permission denied.\r\n");
        return;
    }
    Refuse(path, err == ENOENT ? kXferNoEnt : kXferError);
    Reply("550 Could not open: %.420s\r\n", strerror(err));
}

// Opens the file to write (the temporary name when there is one) and notes
// it in gXferFileFd and gTmpUploadPath; -1 after the reply.  Nothing is cut
// here: TruncateUpload does that once the data connection is open, so an
// upload that never starts leaves the file as it was.
int OpenTarget(const char *path, const char *tmpPath, int flags)
{
    const bool tmp = tmpPath[0] != '\0';
    const char *openPath = tmp ? tmpPath : path;
    // Not blocked should the name have turned into a FIFO since it was
    // looked at.
    flags = (flags & ~O_TRUNC) | O_NONBLOCK;
    const mode_t mode = GetFileCreationModeByFileType(path);
    const int fd = tmp ? CreateTmpUpload(openPath, flags, mode) : SafeOpen(openPath, flags, mode);
    if (fd < 0) {
        OpenFailed(path, errno);
        return -1;
    }
    gXferFileFd = fd;
    if (tmp) {
        gTmpUploadFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        Strncpy(gTmpUploadPath, tmpPath);    // ours now: it goes if the upload does not finish
        if (gTmpUploadFd < 0) {
            const int err = errno;
            ReleaseUpload();
            OpenFailed(path, err);
            return -1;
        }
    }
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        ReleaseUpload();
        Refuse(path, kXferPerm);
        PermissionDenied("not a plain file");
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A temporary file is new and under its own whole-file write lock
    // already, which a second lock of this process would conflict with.
    if (gLockUploads && !tmp && LockWholeFile(fd, F_WRLCK) < 0) {
        ReleaseUpload();
        Refuse(path, kXferPerm);
        Reply("553 File is locked.\r\n");
        return -1;
    }
    return fd;
}

// A step after the data connection opened that failed to keep the data:
// logged and answered as a write error; -1.
int WriteFailed(const char *step, int err)
{
    errno = err;
    LogPerror("%s %.300s", step, gCurXferFile);
    Reply("450 Write error: %.420s\r\n", strerror(err));
    return -1;
}

// STOR and STOU from offset 0 replace what the file held: it is cut now
// that the data connection is open, and its size goes back to the quota.
// 0, or -1 after the reply.
int TruncateUpload(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return WriteFailed("Stor/ftruncate", errno);
    // An empty file (a new one above all) only has its times set as a cut
    // would: on ext4 a cut to nothing makes the close write out the whole
    // new content at once, half a second per GiB spent before the reply.
    static const struct timespec kCutTimes[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    int r = st.st_size == 0 ? futimens(fd, kCutTimes) : -1;
    if (r < 0)
        r = ftruncate(fd, 0);
    if (r < 0)
        return WriteFailed("Stor/ftruncate", errno);
    QuotaBytesReplaced(st);
    return 0;
}

// Closes the uploaded file; close's result, for a file system that reports
// a failed write only there.
int CloseUploadedFile()
{
    const int fd = gXferFileFd;
    gXferFileFd = -1;
    return fd >= 0 ? close(fd) : 0;
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
        if (SafeStat(dir, &st) == 0)
            SetOwnerAndGroupOfFile(fd, openPath, st.st_uid, st.st_gid);
    }
}

// The size fd's file would have if only this upload had written to it since
// it measured startSize: appended to it, or written from its own offset.
int64_t SizeOfOwnWrites(int fd, const UploadPlan &plan, int64_t startSize)
{
    if ((plan.flags & O_APPEND) != 0)
        return startSize + gUploadWritten;
    const off_t end = lseek(fd, 0, SEEK_CUR);
    return end > startSize ? static_cast<int64_t>(end) : startSize;
}

// Over a hard limit with "delete-uploaded-file-if-quota-exceeded": what this
// upload wrote to fd (named openPath: the temporary file, when there is one)
// goes again.  A file the upload added to (APPE, REST) is cut back to the
// startSize it had; one it made or replaced is cut and removed, by name only
// while the name still holds the file on fd (a second session may have
// renamed it away and another file onto it); nothing goes while another
// writer has added to the file meanwhile.  Returns the limit it broke, with
// the figures as they were in q; kNone when the upload succeeds.
QuotaKind EnforceQuotaAfterUpload(int fd, const char *openPath, const UploadPlan &plan, int64_t startSize,
                                  QuotaTexts q)
{
    if (!gDeleteUploadedFileIfQuotaExceeded)
        return QuotaKind::kNone;
    const QuotaKind kind = HardLimitReached();
    if (kind == QuotaKind::kNone)
        return QuotaKind::kNone;
    GetQuotaStrings(q);
    struct stat st;
    const int64_t size = fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    const bool cut = (plan.flags & O_TRUNC) != 0 || plan.tmpPath[0] != '\0';
    const bool keep = !cut && (plan.existed || startSize > 0);
    const int64_t keptSize = keep ? startSize : 0;
    // Another writer (a second session) added to the file meanwhile, and
    // was told its bytes arrived: what this upload wrote stays with them.
    if (size != SizeOfOwnWrites(fd, plan, cut ? 0 : startSize)) {
        _Trace(kLogMisc, "Quota exceeded; %.400s grew by other writers too, left as it is.\n", openPath);
        return kind;
    }
    if (ftruncate(fd, keptSize) < 0)
        return QuotaKind::kNone;
    if (size > keptSize)
        QuotaAddBytes(keptSize - size);
    if (keep) {
        _Trace(kLogMisc, "Quota exceeded; Cut %.400s back to %lld bytes.\n", openPath,
               static_cast<long long>(keptSize));
        return kind;
    }
    // The data is gone even when the name stays: the upload failed.
    if (!NamesFile(openPath, fd)) {
        _Trace(kLogMisc, "Quota exceeded; %.400s names another file now, left in place.\n", openPath);
        return kind;
    }
    if (SafeUnlink(openPath) < 0)
        return kind;
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
    const bool replacing = SafeLstat(target, &old) == 0 && S_ISREG(old.st_mode);
    // Only this upload's own file moves into place, whatever the name holds now.
    int err = 0;
    if (!NamesFile(tmpPath, gTmpUploadFd))
        err = ENOENT;
    else if (SafeRename(tmpPath, target) < 0)
        err = errno;
    if (err != 0) {
        CloseData(0);
        LogTransfer(kXferError, 1);
        DropTmpUpload();
        sleep(2);
        Reply("450 Could not rename uploaded temp file: %.420s\r\n", strerror(err));
        return false;
    }
    ForgetTmpUpload();
    if (replacing)
        QuotaBytesReplaced(old);
    return true;
}

// The data moves: cut, receive, sync, mode and owner, quota, close,
// outcome.  Every step that could lose data is checked before the 226.
void Receive(int fd, const char *target, const char *shown, const UploadPlan &plan)
{
    const bool tmp = plan.tmpPath[0] != '\0';
    const char *openPath = tmp ? plan.tmpPath : target;
    struct stat start;
    const int64_t startSize = fstat(fd, &start) == 0 ? static_cast<int64_t>(start.st_size) : 0;
    int result = (plan.flags & O_TRUNC) != 0 ? TruncateUpload(fd) : 0;
    if (result == 0) {
        if (gType == 'A')
            result = gAsciiMode == 3 ? RegAsciiStore3(fd) : RegAsciiStore1_2(fd);
        else
            result = RegStore(fd);
    }
    auto stillOk = [&] { return result == 0 && gCancel == 0; };
    if ((gSyncWrites & 1) != 0 && fsync(fd) < 0 && stillOk())
        result = WriteFailed("Stor/fsync", errno);
    if (gLockUploads && !tmp)
        LockWholeFile(fd, F_UNLCK);
    CalculateTransferDuration();
    if (stillOk())
        AfterUpload(fd, openPath, plan);
    QuotaTexts q;
    const QuotaKind removed = EnforceQuotaAfterUpload(fd, openPath, plan, startSize, q);
    if (CloseUploadedFile() < 0 && stillOk() && removed == QuotaKind::kNone)
        result = WriteFailed("Stor/close", errno);
    const bool ok = stillOk();

    if (!ok) {
        DropTmpUpload();
        EndFailedTransfer(result < 0 ? result : -1, 1);
        DidSomethingUseful();
        return;
    }
    if (removed != QuotaKind::kNone) {
        // It all came, but it does not fit: a failed upload.
        DropTmpUpload();
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
    // The client's close_notify came before the end of the data, so ours
    // cannot fail the upload (FinishData fails only without it).
    if (FinishData() < 0) {
        LogTransfer(kXferError, 1);
        DidSomethingUseful();
        return;
    }
    if (!gRequireImplicitAckForUploads)
        LogTransfer(kXferOK, 1);
    if (plan.unique)
        Reply("226 \"%s\" transfer completed.\r\n", shown);
    else
        Reply("226 Transfer completed.\r\n");
    DidSomethingUseful();
}

// A session's own process asks the pool child, passing the object itself
// (fd, or path opened without following a link at its end) and its real
// path, where the pool child finds it again.
int ChownByPoolChild(int fd, const char *path, uid_t uid, gid_t gid)
{
    UniqueFd own;
    if (fd < 0) {
        own.reset(SafeOpen(path, O_PATH | O_NOFOLLOW));
        if (!own.ok())
            return -1;
        fd = own.get();
    }
    PrivRequest req {};
    req.op = kPrivChown;
    req.uid = uid == static_cast<uid_t>(-1) ? -1 : static_cast<int64_t>(uid);
    req.gid = gid == static_cast<gid_t>(-1) ? -1 : static_cast<int64_t>(gid);
    const size_t n = strlen(path) + 1;
    if (n > sizeof(req.data)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(req.data, path, n);
    req.length = static_cast<int32_t>(n);
    const int rc = PrivCall(req, fd);
    const int err = errno;
    PurgeDirCacheEntryByPath(path);
    errno = err;
    return rc;
}

// The owner change of SetOwnerAndGroup: fchown of fd, or lchown of path
// when fd is -1, as root.
int ChownAsRoot(int fd, const char *path, uid_t uid, gid_t gid)
{
    if ((uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) || !gRunningAsRoot)
        return -1;
    if (gPrivChannel >= 0)
        return ChownByPoolChild(fd, path, uid, gid);
    const uid_t saved = geteuid();
    if (saved != 0 && seteuid(0) < 0)
        LogPerror("cwd: setEuid(0) (eu=%d, ru=%u)", static_cast<int>(geteuid()), static_cast<unsigned>(getuid()));
    int rc = -1;
    if (fd >= 0) {
        rc = fchown(fd, uid, gid);
    } else {
        const char *last;
        UniqueFd dir(SafeOpenParent(path, &last));
        if (dir.ok())
            rc = fchownat(dir.get(), last, uid, gid, AT_SYMLINK_NOFOLLOW);
    }
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

size_t IncomingDirEnd(const char *realPath)
{
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
    char shown[kPathBufSize];
    VirtualPath(shown, sizeof(shown), realPath);
    // What the user sees is the real path below the area's root ("/" for the root).
    const size_t realLen = strlen(realPath);
    const size_t shownLen = strlen(shown);
    if (shownLen > realLen || (strcmp(realPath + realLen - shownLen, shown) != 0 && strcmp(shown, "/") != 0))
        return 0;
    // The first place the name appears whole: "/incomingx/incoming/f" is inside.
    for (const char *hit = strstr(shown, name); hit != nullptr; hit = strstr(hit + 1, name)) {
        if (hit[len] == '\0' || hit[len] == '/')
            return realLen - shownLen + static_cast<size_t>(hit - shown) + len;
    }
    return 0;
}

int InIncomingDir(const char *realPath, int *configured)
{
    if (configured != nullptr)
        *configured = gAllowIncoming ? 1 : 0;
    return IncomingDirEnd(realPath) > 0 ? 1 : 0;
}

int GetUniqueFileName(const char *base, char *result, size_t size)
{
    char name[kPathBufSize];
    if (base[0] == '\0')
        DefaultUniqueName(name, sizeof(name));
    else
        Strncpy(name, base);
    // A name that cannot be looked at is not known to be taken: the
    // exclusive open decides (a link met on the way is refused there).
    struct stat st;
    if (SafeLstat(name, &st) < 0 && (errno == ENOENT || errno == EACCES)) {
        Strncpy(result, name, size);
        return strlen(name) < size ? 0 : -1;
    }
    for (int i = 2; i <= kMaxUniqueSuffix; i++) {
        const int n = snprintf(result, size, "%s.%d", name, i);
        if (n < 0 || static_cast<size_t>(n) >= size)
            return -1;
        if (SafeLstat(result, &st) < 0 && (errno == ENOENT || errno == EACCES))
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

void RestartOverQuota()
{
    QuotaTexts q;
    GetQuotaStrings(q);
    sleep(2);
    Reply("550 Your RESTart point would exceed your disk quota (%.32s bytes;  limit: %.32s).\r\n",
          q[kQuotaBytesUsed], q[kQuotaBytesHardLimit]);
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
    // Removed while its lock is still held, and only while the name is
    // still this upload's file.
    if (gTmpUploadPath[0] != '\0' && (gTmpUploadFd < 0 || NamesFile(gTmpUploadPath, gTmpUploadFd))) {
        if (SafeUnlink(gTmpUploadPath) < 0)
            _Trace(kLogMisc, "Could not remove %.400s: %s\n", gTmpUploadPath, strerror(errno));
    }
    ForgetTmpUpload();
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
    QuotaRefreshIfShared();
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
    plan.existed = SafeLstat(target, &st) == 0;
    if (!TargetAllowed(target, plan.existed, st, plan))
        return;
    // A new file is charged before it is made, so that parallel sessions of
    // the user cannot each take the last one.
    if (!plan.existed && !QuotaReserveFiles(1)) {
        QuotaTexts q;
        GetQuotaStrings(q);
        QuotaExceededReply(QuotaKind::kFiles, q);
        return;
    }
    const int fd = OpenTarget(target, plan.tmpPath, plan.flags);
    if (fd < 0) {
        if (!plan.existed)
            QuotaAddFiles(-1);
        return;
    }

    Strncpy(gCurXferFile, target);
    NoteXferStart();
    if (gMode == 'B')
        gXNoteBits |= kXNoteModeB;
    if (OpenData(nullptr, -1, "Stor", target) < 0) {
        if (gLockUploads && plan.tmpPath[0] == '\0')
            LockWholeFile(fd, F_UNLCK);
        ReleaseUpload();
        NoDataConnection();
        return;
    }
    gTransferStarted = 1;
    PurgeDirCacheEntryContainingFile(target);
    NoteTransferActivity("Stor", target);
    Receive(fd, target, shown, plan);
}

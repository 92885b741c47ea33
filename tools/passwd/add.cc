// Adding records: one line (-a, -u), a text file of lines (-i, -r), and the
// system's own accounts (-I).  Directories for the new users, the warnings
// about their home directories, and the check that the stored line is whole.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <vector>
#include <cstdlib>
#include <cstring>

#include "Spwd.h"
#include "Strn.h"
#include "passwd.h"
#include "toolstart.h"

namespace {

// Longest text of each string field that the record keeps whole, by field
// number (1-based); 0 for the numeric fields.
constexpr size_t kFieldRoom[] = {
    0, sizeof(Hpwd::username) - 1, sizeof(Hpwd::passwd) - 1, 0, 0, sizeof(Hpwd::gecos) - 1,
    sizeof(Hpwd::homedir) - 1, sizeof(Hpwd::shell) - 1, 0, 0, 0, 0, sizeof(Hpwd::miscData) - 1, 0, 0,
};

// The first string field of line that the record would cut, or 0.
int OverlongField(const char *line)
{
    int field = 1;
    size_t len = 0;
    for (const char *s = line;; s++) {
        if (*s == ':' || *s == '\0' || *s == '\n') {
            if (field < int(std::size(kFieldRoom)) && kFieldRoom[field] != 0 && len > kFieldRoom[field])
                return field;
            if (*s != ':')
                return 0;
            field++;
            len = 0;
        } else {
            len++;
        }
    }
}

// The first field of line holding a terminal control character, or 0; the
// password field is left out when it is plain text to hash.
int ControlField(const char *line, bool plainPassword)
{
    int field = 1;
    for (const char *s = line;; field++) {
        const size_t len = strcspn(s, ":");
        if (!(field == 2 && plainPassword) && HasTerminalControl(s, len))
            return field;
        if (s[len] == '\0')
            return 0;
        s += len + 1;
    }
}

// A delegated user's run makes directories only where the access file's
// home-base says, with the caller's own rights.
bool MayCreateDirectories()
{
    if (!gFakeSuperuser)
        return true;
    if (!gAllowMkdirByFakeSuperuser)
        return false;
    if (gHomeBase[0] == '\0') {
        fprintf(stderr, "Error: %s names no %s directory for %s.\n", kPwAccessFile, kHomeBaseWord, gPwFileName);
        return false;
    }
    return true;
}

// The part of path below the delegated home base, or nullptr when path does
// not lie strictly below it.
const char *BelowHomeBase(const char *path)
{
    size_t len = strlen(gHomeBase);
    while (len > 1 && gHomeBase[len - 1] == '/')
        len--;
    if (strncmp(path, gHomeBase, len) != 0 || (path[len] != '/' && len != 1))
        return nullptr;
    const char *rest = path + len;
    while (*rest == '/')
        rest++;
    return *rest == '\0' ? nullptr : rest;
}

// Creates path and its missing parents with mode, following no link and
// entering no "..".  Root's new directories go to the record's owner; a
// delegated user's run (already without privileges) makes them below its
// home base only, as the caller.  0 or -1 (errno).
int MakeDirectories(const char *path, int mode, const Hpwd *p)
{
    DirectoryMaker make{mode_t(mode), geteuid() == 0, uid_t(p->uid), gid_t(p->gid[0])};
    int fd = -1;
    const char *rest = path;
    if (gFakeSuperuser) {
        rest = BelowHomeBase(path);
        if (rest == nullptr) {
            errno = EACCES;
            return -1;
        }
        fd = WalkDirectories(-1, gHomeBase, nullptr);
        if (fd < 0)
            return -1;
    }
    fd = WalkDirectories(fd, rest, &make);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

// Step 2 of adding: the home directory (-m, -M) and the extra one (-J).
// 1 when the home directory was made, 0 when not asked, -1 on failure.
int CreateUserDirectories(const Hpwd *p)
{
    if (gMkdirMode < 0 && gExtraDirToMake[0] == '\0')
        return 0;
    if (!MayCreateDirectories()) {
        fprintf(stderr, "Error: you are not allowed to create directories.\n");
        exit(1);
    }
    int made = 0;
    if (gMkdirMode >= 0) {
        if (MakeDirectories(p->homedir, gMkdirMode, p) != 0) {
            const int err = errno;
            fprintf(stderr, "Error: Could not create home directory for user \"%s\".\n", p->username);
            fprintf(stderr, "%s: %s\n", p->homedir, strerror(err));
            fprintf(stderr, "(User \"%s\" not added)\n", p->username);
            return -1;
        }
        made = 1;
    }
    if (gExtraDirToMake[0] != '\0') {
        // A relative extra directory lies inside the user's home.
        char path[sizeof p->homedir + sizeof gExtraDirToMake + 1];
        if (gExtraDirToMake[0] == '/')
            Strncpy(path, gExtraDirToMake);
        else
            snprintf(path, sizeof path, "%s/%s", p->homedir, gExtraDirToMake);
        if (MakeDirectories(path, gMkdirMode >= 0 ? gMkdirMode : 0700, p) != 0) {
            const int err = errno;
            fprintf(stderr, "Error: Could not create extra directory for user \"%s\".\n", p->username);
            fprintf(stderr, "%s: %s\n", path, strerror(err));
            fprintf(stderr, "(User \"%s\" not added)\n", p->username);
            return -1;
        }
    }
    return made;
}

// Which of the permission bits of st apply to the record's user.
mode_t BitsFor(const Hpwd *p, const struct stat &st)
{
    if (p->uid == 0)
        return 07;
    if (uid_t(p->uid) == st.st_uid)
        return (st.st_mode >> 6) & 07;
    for (int i = 0; i < p->nGids; i++)
        if (p->gid[i] >= 0 && gid_t(p->gid[i]) == st.st_gid)
            return (st.st_mode >> 3) & 07;
    return st.st_mode & 07;
}

// Step 4: -1 when the home is not a directory (the user is not added).
int CheckHomeDirectory(const Hpwd *p)
{
    struct stat st;
    if (stat(p->homedir, &st) != 0) {
        if (errno == ENOENT) {
            if (gWarnings)
                fprintf(stderr,
                        "Warning: Home directory for user \"%s\" (%s) does not exist.\n          Create it "
                        "and make sure it is readable and executable by UID=%ld.\n",
                        p->username, p->homedir, long(p->uid));
        } else {
            perror(p->homedir);
            fprintf(stderr, "(Will not be able to warn you about further problems on the user's directory.)\n");
        }
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "Error:  Home directory for user \"%s\" (%s) is not a directory.\n", p->username,
                p->homedir);
        return -1;
    }
    const mode_t bits = BitsFor(p, st);
    if (gWarnings && (bits & 01) == 0)
        fprintf(stderr,
                "Warning: User \"%s\" (UID=%ld) cannot change into the home directory %s,\n"
                "          so the user will not be able to log in.\n",
                p->username, long(p->uid), p->homedir);
    if (gWarnings && (bits & 04) == 0)
        fprintf(stderr, "Warning: User \"%s\" (UID=%ld) cannot list the home directory %s.\n", p->username,
                long(p->uid), p->homedir);
    return 0;
}

// Step 3 for a caller who cannot modify any record: the record becomes its own.
void ForceOwnIds(Hpwd *p)
{
    if (uid_t(p->uid) != gRealUid) {
        p->uid = int32_t(gRealUid);
        if (gWarnings)
            fprintf(stderr, "Warning: User %s UID was reset to %d.\n", p->username, p->uid);
    }
    if (p->nGids < 1 || gid_t(p->gid[0]) != gRealGid) {
        p->gid[0] = int32_t(gRealGid);
        if (p->nGids < 1)
            p->nGids = 1;
        if (gWarnings)
            fprintf(stderr, "Warning: User %s GID was reset to %d.\n", p->username, p->gid[0]);
    }
    if (p->nGids > 1) {
        for (int i = 1; i < kSpwdMaxGids; i++)
            p->gid[i] = -1;
        p->nGids = 1;
        if (gWarnings)
            fprintf(stderr, "Warning: User %s's supplementary groups have been intentionally removed.\n",
                    p->username);
    }
}

// For a restricted caller replacing a record: 1 when the stored line is the
// same (nothing to write), 0 to go on, -1 when the record is someone else's.
int CompareWithStored(const char *line, const Hpwd *p)
{
    OrmelDatum d{};
    const int rc = Ormel_Query(&gDb, p->username, int(strlen(p->username)), &d);
    if (rc != 0)
        return 0;
    int result = strcmp(d.data, line) == 0 ? 1 : 0;
    if (result == 0) {
        Hpwd old;
        if (ParseHpwdLine(&old, d.data, 0, 0) == 0 && !CheckRecordPermission(&old, kRecordReplace))
            result = -1;
    }
    explicit_bzero(d.data, size_t(d.len));
    free(d.data);
    return result;
}

}  // namespace

int StoreRecord(const Hpwd *p, bool replace)
{
    // The record is written through a line of kHpwdLineSize bytes: one that
    // does not fit is refused rather than stored cut.
    char line[2048];
    UnparseHpwdEntry(line, sizeof line, p);
    const size_t len = strlen(line);
    if (len >= size_t(kHpwdLineSize)) {
        fprintf(stderr, "Error: The record for user \"%s\" is %zu characters long; at most %d fit.\n",
                p->username, len, kHpwdLineSize - 1);
        fprintf(stderr, "(User \"%s\" not added)\n", p->username);
        explicit_bzero(line, sizeof line);
        return -1;
    }
    LockHolderGuard holder;
    if (replace && !gCanModifyAnyRecord) {
        const int same = CompareWithStored(line, p);
        if (same != 0) {
            explicit_bzero(line, sizeof line);
            return same > 0 ? 0 : -1;
        }
    }
    const int rc = Ormel_Insert(&gDb, p->username, int(strlen(p->username)), line, int(len + 1), replace ? 1 : 0);
    explicit_bzero(line, sizeof line);
    if (rc != 0) {
        fprintf(stderr, "Error: Could not insert record for \"%s\" : %s.\n", p->username, Ormel_Strerror(rc));
        return -1;
    }
    return 0;
}

int PrepareRecordLine(const char *text, bool encrypt, Hpwd *rec)
{
    char line[2048];
    if (strlen(text) >= sizeof line) {
        fprintf(stderr, "Error: The record is longer than %zu characters.\n", sizeof line - 1);
        return -1;
    }
    const int overlong = OverlongField(text);
    if (overlong != 0) {
        fprintf(stderr, "Error: Field %d of the record is longer than %zu characters.\n", overlong,
                kFieldRoom[overlong]);
        return -1;
    }
    const int control = ControlField(text, encrypt);
    if (control != 0) {
        fprintf(stderr, "Error: Field %d of the record holds a control character.\n", control);
        return -1;
    }
    Strncpy(line, text);
    const int parsed = ParseHpwdLine(rec, line, 1, 0);
    explicit_bzero(line, sizeof line);
    if (parsed != 0 || rec->username[0] == '\0') {
        fprintf(stderr, "Invalid format for user record.\n");
        return -1;
    }
    // The record's ids are the caller's before anything is made for it, and
    // directories are made with the caller's rights.
    ActAsCaller();
    if (!gCanModifyAnyRecord)
        ForceOwnIds(rec);
    const int made = CreateUserDirectories(rec);
    if (made < 0 || (made == 0 && CheckHomeDirectory(rec) != 0))
        return -1;
    if (encrypt) {
        if (rec->passwd[0] == '\0') {
            fprintf(stderr, "Error: No password to encrypt for user \"%s\".\n", rec->username);
            fprintf(stderr, "(User \"%s\" not added)\n", rec->username);
            return -1;
        }
        char plain[sizeof rec->passwd];
        Strncpy(plain, rec->passwd);
        explicit_bzero(rec->passwd, sizeof rec->passwd);
        return EncryptPassword(plain, rec->passwd, sizeof rec->passwd);
    }
    if (gWarnings && !ValidEncryptedPassword(rec->passwd))
        fprintf(stderr, "Warning: User \"%s\" has invalid encrypted password \"%s\".\n", rec->username,
                rec->passwd);
    return 0;
}

int AddRecordLine(const char *text, bool replace, bool encrypt)
{
    Hpwd rec;
    int rc = PrepareRecordLine(text, encrypt, &rec);
    if (rc == 0)
        rc = StoreRecord(&rec, replace);
    explicit_bzero(rec.passwd, sizeof rec.passwd);
    return rc;
}

int AddOperation(const char *line, bool replace)
{
    if (OpenToolDatabase(kToolOpenCreate) != 0)
        return 1;
    const int rc = AddRecordLine(line, replace, gEncrypt);
    if (CloseToolDatabase() != 0)
        return 1;
    return rc == 0 ? 0 : 1;
}

namespace {

// An import holds the database's whole-file lock for one batch at a time.
// The lines of a batch are read, and their records made (directories,
// password hashing with -c), before the lock is taken: a slow input or slow
// hashing keeps nobody waiting.  Each batch goes to disk (fsync) before the
// lock is given up.  Once the lock has been held for kBusyMs since it was
// last left free, the batch ends and the lock stays free for longer than a
// login's retry pause: a login waits about kBusyMs, never the whole import.
class BatchLock {
  public:
    static constexpr int kBusyMs = 200;
    static constexpr int kFreeMs = 2 * kOrmelLockRetryMaxMs;

    // Takes the lock unless held; 0 or -1 after printing why.
    int Take()
    {
        if (held_)
            return 0;
        if (busyMs_ >= kBusyMs) {
            Sleep(kFreeMs);
            busyMs_ = 0;
        }
        holder_.emplace();
        if (Ormel_ExclusiveLock(&gDb, kOrmelWriteLock) != 0) {
            holder_.reset();
            fprintf(stderr, "Could not lock %s.\n", gPwFileName);
            return -1;
        }
        held_ = true;
        since_ = NowMs();
        return 0;
    }
    int CommitIfDue() { return held_ && busyMs_ + NowMs() - since_ >= kBusyMs ? Commit() : 0; }
    // Writes the batch to disk and releases the lock; 0 or -1 after printing why.
    int Commit()
    {
        if (!held_)
            return 0;
        const int rc = Ormel_Sync(&gDb);
        (void)Ormel_ExclusiveLock(&gDb, kOrmelUnlock);
        holder_.reset();
        held_ = false;
        busyMs_ += NowMs() - since_;
        if (rc != 0) {
            fprintf(stderr, "Error: Could not write %s to disk: %s.\n", gPwFileName, Ormel_Strerror(rc));
            return -1;
        }
        return 0;
    }

  private:
    static int64_t NowMs()
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
    }
    static void Sleep(int ms)
    {
        const timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
    }

    std::optional<LockHolderGuard> holder_;   // from asking for the lock until it is given back
    bool held_ = false;
    int64_t since_ = 0;    // when the lock was taken
    int64_t busyMs_ = 0;   // how long it was held since it was last left free
};

// One line of an import file and its record, made ahead of its batch.
struct ImportLine {
    int number;
    bool ready;                       // rec holds the record to store
    char text[kMaxImportLine + 2];    // wiped once the record is made
    Hpwd rec;
};
constexpr int kImportLinesAhead = 256;
// The import file's buffer: with -c it holds plain-text passwords, and is
// wiped after use.
char gImportFileBuffer[16384];

// Reads up to kImportLinesAhead lines and makes their records, reporting the
// lines that fail; *more is false at the end of input.  Returns the lines
// read; *failed counts those that failed.
int ReadAhead(FILE *f, const char *file, ImportLine (&ahead)[kImportLinesAhead], int *lineNo, bool *more,
              int *failed)
{
    int n = 0, got = 1;
    for (; n < kImportLinesAhead && (got = ReadLine(f, ahead[n].text, sizeof ahead[n].text)) != 0; n++) {
        ImportLine &l = ahead[n];
        l.number = ++*lineNo;
        l.ready = false;
        if (got < 0)
            fprintf(stderr, "Error: Line %d of %s is longer than %d characters; skipped.\n", l.number, file,
                    kMaxImportLine);
        else if (PrepareRecordLine(l.text, gEncrypt, &l.rec) != 0)
            fprintf(stderr, "(Line %d of %s)\n", l.number, file);
        else
            l.ready = true;
        *failed += l.ready ? 0 : 1;
        explicit_bzero(l.text, sizeof l.text);
    }
    *more = got != 0;
    return n;
}

// An import runs in two processes.  A child with nothing but the caller's
// ids, for good, reads the caller's file, parses its lines, makes the
// directories and hashes the passwords: hostile input never meets a way back
// to root.  It sends each finished record to the parent, which is root in
// every id, so that the caller can neither stop nor slow it while it holds
// the database's lock.  The parent checks each record again, stores a
// read-ahead's records in batches and never holds the lock while it waits
// for the child.  The two take turns (the child reads on once the parent
// has stored what it sent), so the messages come in the order of one process.

// What the child sends for each line it read, and after each read-ahead.
enum ImportMessageKind : int32_t { kImportRecord, kImportFailed, kImportReadAheadEnd };
struct ImportMessage {
    int32_t kind;
    int32_t number;    // the line's number; after a read-ahead 1 when more lines follow, else 0
    char line[2048];   // kImportRecord: the record's line, as StoreRecord writes it
};

// Sends or receives one whole message: 0, or -1 when the other end is gone.
int MoveMessage(int fd, ImportMessage *msg, bool send)
{
    char *p = reinterpret_cast<char *>(msg);
    for (size_t done = 0; done < sizeof *msg;) {
        const ssize_t n = send ? write(fd, p + done, sizeof *msg - done) : read(fd, p + done, sizeof *msg - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += size_t(n);
    }
    return 0;
}

// The child: reads the lines a read-ahead at a time, sends each record or
// failure and the end of the read-ahead, and waits for its turn (a byte) to
// read on.  Ends when the input does or the parent stops.
[[noreturn]] void ReadImportFile(FILE *f, const char *file, int toParent, int turns)
{
    DropPrivileges();
    static ImportLine ahead[kImportLinesAhead];
    static ImportMessage msg;
    int lineNo = 0, failed = 0;
    for (bool more = true, going = true; more && going;) {
        const int n = ReadAhead(f, file, ahead, &lineNo, &more, &failed);
        for (int i = 0; i < n && going; i++) {
            msg = {};
            msg.kind = ahead[i].ready ? kImportRecord : kImportFailed;
            msg.number = ahead[i].number;
            if (ahead[i].ready)
                UnparseHpwdEntry(msg.line, sizeof msg.line, &ahead[i].rec);
            going = MoveMessage(toParent, &msg, true) == 0;
        }
        explicit_bzero(ahead, sizeof ahead);
        msg = {};
        msg.kind = kImportReadAheadEnd;
        msg.number = more ? 1 : 0;
        char turn;
        going = going && MoveMessage(toParent, &msg, true) == 0 && (!more || read(turns, &turn, 1) == 1);
    }
    explicit_bzero(&msg, sizeof msg);
    fclose(f);
    explicit_bzero(gImportFileBuffer, sizeof gImportFileBuffer);
    exit(0);
}

// The parent's check of a record the child sent: a line that parses back
// into itself (no field cut, no separator slipped into a field) and holds no
// terminal control, with the caller's ids unless the caller may change any
// record.  0 with *rec made, or -1 after printing why.
int CheckSentRecord(const ImportMessage &msg, Hpwd *rec)
{
    char copy[sizeof msg.line], again[sizeof msg.line];
    bool ok = memchr(msg.line, '\0', sizeof msg.line) != nullptr;
    if (ok) {
        Strncpy(copy, msg.line);
        ok = ParseHpwdLine(rec, copy, 0, 0) == 0 && rec->username[0] != '\0' &&
             strcmp(UnparseHpwdEntry(again, sizeof again, rec), msg.line) == 0 &&
             !HasTerminalControl(msg.line, strlen(msg.line));
    }
    explicit_bzero(copy, sizeof copy);
    explicit_bzero(again, sizeof again);
    if (!ok) {
        fprintf(stderr, "Invalid format for user record.\n");
        return -1;
    }
    if (!gCanModifyAnyRecord)
        ForceOwnIds(rec);
    return 0;
}

// Gives the child its turn; false when it is gone.
bool GiveTurn(int fd)
{
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old);
    const bool given = write(fd, "t", 1) == 1;
    sigaction(SIGPIPE, &old, nullptr);
    return given;
}

// The parent's counts and state over the whole import.
struct ImportTally {
    int added = 0;
    int failed = 0;
    bool stopped = false;      // a lock, disk or child failure ended the import
    bool childEnded = false;   // the child stopped sending before the end of the input
};

// Receives one read-ahead (without the lock) into batch: its record count,
// with *more set when more lines follow.
int ReceiveReadAhead(int fd, ImportMessage (&batch)[kImportLinesAhead], bool *more, ImportTally *t)
{
    int n = 0;
    ImportMessage msg;
    for (;;) {
        if (MoveMessage(fd, &msg, false) != 0 || (msg.kind == kImportRecord && n == kImportLinesAhead) ||
            (msg.kind != kImportRecord && msg.kind != kImportFailed && msg.kind != kImportReadAheadEnd)) {
            t->childEnded = true;   // gone, or sending what the child does not send
            n = 0;
            break;
        }
        if (msg.kind == kImportReadAheadEnd) {
            *more = msg.number != 0;
            break;
        }
        if (msg.kind == kImportFailed)
            t->failed++;
        else
            batch[n++] = msg;
    }
    explicit_bzero(&msg, sizeof msg);
    return n;
}

// Stores a read-ahead's records, a batch under the lock at a time.
void StoreReadAhead(ImportMessage (&batch)[kImportLinesAhead], int n, const char *file, bool replace,
                    BatchLock *lock, ImportTally *t)
{
    for (int i = 0; i < n && !t->stopped; i++) {
        Hpwd rec;
        if (CheckSentRecord(batch[i], &rec) != 0) {
            fprintf(stderr, "(Line %d of %s)\n", batch[i].number, file);
            t->failed++;
            continue;
        }
        if (lock->Take() != 0) {
            t->stopped = true;
            break;
        }
        if (StoreRecord(&rec, replace) != 0) {
            fprintf(stderr, "(Line %d of %s)\n", batch[i].number, file);
            t->failed++;
        } else {
            t->added++;
        }
        explicit_bzero(rec.passwd, sizeof rec.passwd);
        t->stopped = lock->CommitIfDue() != 0;
    }
    t->stopped = lock->Commit() != 0 || t->stopped;
    explicit_bzero(batch, sizeof batch);
}

// The parent: stores what the child sends until the input ends.
void StoreImport(int records, int turns, const char *file, bool replace, ImportTally *t)
{
    static ImportMessage batch[kImportLinesAhead];
    BatchLock lock;
    for (bool more = true; more && !t->stopped && !t->childEnded;) {
        const int n = ReceiveReadAhead(records, batch, &more, t);
        if (t->childEnded)
            break;
        StoreReadAhead(batch, n, file, replace, &lock, t);
        if (more && !t->stopped && !GiveTurn(turns))
            t->childEnded = true;
    }
    explicit_bzero(batch, sizeof batch);
}

}  // namespace

int ImportOperation(const char *file, bool replace)
{
    FILE *f = OpenAsCaller(file);
    if (f == nullptr) {
        perror(file);
        return 1;
    }
    setvbuf(f, gImportFileBuffer, _IOFBF, sizeof gImportFileBuffer);
    if (OpenToolDatabase(kToolOpenCreate) != 0) {
        fclose(f);
        return 1;
    }
    if (!RootGuardsLock())
        DropPrivileges();
    else if (setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0) {
        perror("setuid");
        exit(1);
    }
    int records[2], turns[2];
    if (pipe2(records, O_CLOEXEC) != 0 || pipe2(turns, O_CLOEXEC) != 0) {
        perror("pipe");
        exit(1);
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        exit(1);
    }
    if (child == 0) {
        close(records[0]);
        close(turns[1]);
        ForgetToolDatabase();
        signal(SIGHUP, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        ReadImportFile(f, file, records[1], turns[0]);
    }
    close(records[1]);
    close(turns[0]);
    fclose(f);
    ImportTally t;
    StoreImport(records[0], turns[1], file, replace, &t);
    close(records[0]);
    close(turns[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // A child that exited with a code (it cannot make a directory, say) ends
    // the import with that code, as one process would have.
    if (t.childEnded && WIFEXITED(status) && WEXITSTATUS(status) != 0)
        exit(WEXITSTATUS(status));
    t.stopped = t.stopped || t.childEnded;
    const int closed = CloseToolDatabase();
    if (gVerbose || t.failed != 0 || t.stopped)
        fprintf(stderr, "%d record%s imported, %d line%s failed.\n", t.added, t.added == 1 ? "" : "s", t.failed,
                t.failed == 1 ? "" : "s");
    return t.failed == 0 && !t.stopped && closed == 0 ? 0 : 1;
}

int SpecialImportOperation()
{
    if (OpenToolDatabase(kToolOpenCreate) != 0)
        return 1;
    DropPrivileges();
    // All accounts are read first: adding a line looks names up, which
    // would restart the enumeration.
    std::vector<std::string> lines;
    Spwd acct;
    char line[2048];
    for (int first = 1; GetSpwdEnt(first, &acct, 1, 1, 0) == 0; first = 0) {
        UnparseSpwdEntry(line, sizeof line, &acct);
        lines.emplace_back(line);
        explicit_bzero(acct.passwd, sizeof acct.passwd);
        explicit_bzero(line, sizeof line);
    }
    EndSpwd();
    BatchLock lock;
    int n = 0, failed = 0;
    bool stopped = false;
    for (std::string &text : lines) {
        if (!stopped && lock.Take() != 0)
            stopped = true;
        if (!stopped) {
            if (gVerbose)
                fprintf(stderr, "%-4d %s\n", ++n, text.substr(0, text.find(':')).c_str());
            if (AddRecordLine(text.c_str(), true, false) != 0)
                failed++;
            stopped = lock.CommitIfDue() != 0;
        }
        explicit_bzero(text.data(), text.size());
    }
    stopped = lock.Commit() != 0 || stopped;
    const int closed = CloseToolDatabase();
    return failed == 0 && !stopped && closed == 0 ? 0 : 1;
}

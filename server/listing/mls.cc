// The MLST/MLSD fact line, its Perm letters and the user's effective rights.
#include "listing/mls.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Strn.h"
#include "base/process.h"
#include "config/config.h"
#include "config/userclass.h"
#include "listing/linebuilder.h"
#include "listing/ls.h"
#include "listing/pwcache.h"
#include "paths/paths.h"
#include "paths/safefs.h"
#include "paths/uniquefd.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

constexpr int kMlsLinkPathSize = 4096;     // link targets of up to 4,095 characters
constexpr int kUniqueRawSize = 64;

bool InListGroups(gid_t gid)
{
    for (int i = 0; i < gNumListGroups; i++) {
        if (gListGroups[i] == gid)
            return true;
    }
    return false;
}

bool SessionSeesNames()
{
    return gIsAnon ? gAnonPwNames != 0 : gNonAnonPwNames != 0;
}

const char *TypeValue(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "dir";
    case S_IFLNK:
        return "OS.unix=slink";
    case S_IFBLK:
        return "OS.unix=blk";
    case S_IFCHR:
        return "OS.unix=chr";
    case S_IFIFO:
        return "OS.unix=fifo";
    case S_IFSOCK:
        return "OS.unix=socket";
    default:
        return "file";
    }
}

// Follows the symbolic link path (at most 7 links, targets of up to 4,095
// characters) to what it finally names.  Only the link's directory must be
// link-free; the chain is looked up from it, for display only.
bool FollowMlsLink(const char *path, struct stat *out)
{
    const char *last = nullptr;
    UniqueFd dir(SafeOpenParent(path, &last));
    if (!dir.ok())
        return false;
    char cur[kMlsLinkPathSize];
    if (strlen(last) >= sizeof(cur))
        return false;
    Strncpy(cur, last);
    for (int level = 0; level < kMlsMaxLinkLevels; level++) {
        char target[kMlsLinkPathSize + 1];
        const ssize_t n = readlinkat(dir.get(), cur, target, kMlsLinkPathSize);
        if (n < 0 || n >= kMlsLinkPathSize)
            return false;                       // a target that filled the buffer may be cut
        target[n] = '\0';
        char next[kMlsLinkPathSize];
        const char *slash = strrchr(cur, '/');
        const int m = target[0] != '/' && slash != nullptr
                          ? snprintf(next, sizeof(next), "%.*s/%s", static_cast<int>(slash - cur), cur, target)
                          : snprintf(next, sizeof(next), "%s", target);
        if (m < 0 || m >= static_cast<int>(sizeof(next)))
            return false;
        if (fstatat(dir.get(), next, out, AT_SYMLINK_NOFOLLOW) < 0)
            return false;
        if (!S_ISLNK(out->st_mode))
            return true;
        Strncpy(cur, next);
    }
    return false;
}

// The Unique fact's value: "%lldz%lld" of device and inode, every 16-bit unit
// of it XORed with the run's random key, in the server's Base64.  false when
// the text would pass 128 characters.
bool UniqueValue(char *dst, size_t size, const struct stat *st)
{
    unsigned char raw[kUniqueRawSize] = {};
    const int n = snprintf(reinterpret_cast<char *>(raw), sizeof(raw), "%lldz%lld",
                           static_cast<long long>(st->st_dev), static_cast<long long>(st->st_ino));
    if (n < 0 || n >= kUniqueRawSize)
        return false;
    const size_t len = (static_cast<size_t>(n) + 1) & ~static_cast<size_t>(1);   // whole units
    const unsigned key = gRandom32Bits & 0xFFFFu;
    for (size_t i = 0; i < len; i += 2) {
        raw[i] ^= static_cast<unsigned char>(key & 0xFF);
        raw[i + 1] ^= static_cast<unsigned char>(key >> 8);
    }
    const int m = Base64Encode(dst, size, raw, len);
    return m >= 0 && m <= kMlsMaxUniqueText;
}

void PutOctal(LineBuilder &b, unsigned value)
{
    char digits[12];
    int n = 0;
    do {
        digits[sizeof(digits) - 1 - n++] = static_cast<char>('0' + (value & 7));
        value >>= 3;
    } while (value != 0);
    b.Put(digits + sizeof(digits) - n, static_cast<size_t>(n));
}

// The modification time in UTC as YYYYMMDDhhmmss, computed from the day
// number: one call per entry, and the C library's conversion takes a lock
// and consults the time zone each time.
void PutModify(LineBuilder &b, time_t t)
{
    const int64_t secs = static_cast<int64_t>(t);
    int64_t days = secs / 86400;
    int64_t rest = secs % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999)
        return;
    b.Put("Modify=", 7);
    b.PutZeroPadded(static_cast<unsigned>(year), 4);
    b.PutZeroPadded(static_cast<unsigned>(month), 2);
    b.PutZeroPadded(static_cast<unsigned>(day), 2);
    b.PutZeroPadded(static_cast<unsigned>(rest / 3600), 2);
    b.PutZeroPadded(static_cast<unsigned>(rest / 60 % 60), 2);
    b.PutZeroPadded(static_cast<unsigned>(rest % 60), 2);
    b.Put(';');
}

}  // namespace

bool MlsFactOffered(int bit)
{
    switch (bit) {
    case kMlsUnixOwner:
        return SessionSeesNames();
    case kMlsUnixGroup:
        return !gIsAnon && SessionSeesNames();
    case kMlsUnixUid:
    case kMlsUnixGid:
        return !gIsAnon;
    default:
        return true;
    }
}

int GetRWXPermissions(const char *path, char *type, int *read, int *write, int *execute, int *stickyNotOwner,
                      const struct stat *st)
{
    struct stat own;
    if (st == nullptr) {
        if (path == nullptr || SafeLstat(path, &own) < 0)
            return -1;
        st = &own;
    }
    const mode_t mode = st->st_mode;
    unsigned bits;
    if (st->st_uid == gSessionUid)
        bits = (mode >> 6) & 7;
    else if (InListGroups(st->st_gid))
        bits = (mode >> 3) & 7;
    else
        bits = mode & 7;
    if (type != nullptr)
        *type = TypeLetter(mode);
    if (read != nullptr)
        *read = (bits & 4) != 0;
    if (write != nullptr)
        *write = (bits & 2) != 0;
    if (execute != nullptr)
        *execute = (bits & 1) != 0;
    if (stickyNotOwner != nullptr)
        *stickyNotOwner = S_ISDIR(mode) && (mode & S_ISVTX) != 0 && st->st_uid != gSessionUid;
    return 0;
}

void GetMlsPermissionString(char *buf, size_t size, const char *path, const struct stat *st,
                            const struct stat *parentSt)
{
    char letters[16];
    LineBuilder b{letters, sizeof(letters)};
    char type = '\0';
    int r = 0, w = 0, x = 0;
    if (GetRWXPermissions(path, &type, &r, &w, &x, nullptr, st) == 0) {
        if (type == '-') {
            if (r && gAllow[kPermRead])
                b.Put('r');
            if (w && gAllow[kPermModify])
                b.Put('w');
            if (w && gAllow[kPermAppend])
                b.Put('a');
        } else if (type == 'd') {
            if (x && gAllow[kPermChdir])
                b.Put('e');
            if (r && gAllow[kPermMlsd])
                b.Put('l');
            if (w && gAllow[kPermCreate])
                b.Put('c');
            if (w && gAllow[kPermMkdir])
                b.Put('m');
            if (w && gAllow[kPermDelete])
                b.Put('p');
        }
    }
    int parentWrite = 0, sticky = 0;
    if (parentSt != nullptr
        && GetRWXPermissions(nullptr, nullptr, nullptr, &parentWrite, nullptr, &sticky, parentSt) == 0
        && parentWrite && !sticky) {
        if (gAllow[kPermDelete])
            b.Put('d');
        if (gAllow[kPermRename])
            b.Put('f');
    }
    Strncpy(buf, b.Text(), size);
}

int Mls(char *buf, size_t size, const char *path, const struct stat *st, const char *name, int resolveLinks,
        const char *typeOverride, const struct stat *parentSt)
{
    if (size == 0)
        return 0;
    struct stat own;
    if (st == nullptr) {
        if (path == nullptr || SafeLstat(path, &own) < 0)
            return 0;
        st = &own;
    }
    struct stat target;
    if (resolveLinks && S_ISLNK(st->st_mode)) {
        if (path == nullptr || !FollowMlsLink(path, &target))
            return 0;
        st = &target;
    }
    const int opts = gMlsOpts;
    LineBuilder b{buf, size};
    if (opts & kMlsType) {
        b.Put("Type=", 5);
        b.Put(typeOverride != nullptr ? typeOverride : TypeValue(st->st_mode));
        b.Put(';');
    }
    if ((opts & kMlsSize) && !S_ISDIR(st->st_mode)) {
        b.Put("Size=", 5);
        b.PutRight(static_cast<unsigned long long>(st->st_size), 0);
        b.Put(';');
    }
    if (opts & kMlsModify)
        PutModify(b, st->st_mtime);
    if ((opts & kMlsPerm) && (typeOverride == nullptr || strcmp(typeOverride, "pdir") != 0)) {
        char perm[16];
        GetMlsPermissionString(perm, sizeof(perm), path, st, parentSt);
        b.Put("Perm=", 5);
        b.Put(perm);
        b.Put(';');
    }
    if (opts & kMlsUnique) {
        char unique[kMlsMaxUniqueText + 8];
        if (UniqueValue(unique, sizeof(unique), st)) {
            b.Put("Unique=", 7);
            b.Put(unique);
            b.Put(';');
        }
    }
    if (opts & kMlsUnixMode) {
        b.Put("UNIX.mode=0", 11);
        PutOctal(b, static_cast<unsigned>(st->st_mode & 0777));
        b.Put(';');
    }
    if ((opts & kMlsUnixOwner) && MlsFactOffered(kMlsUnixOwner)) {
        const char *owner = PwSearch(static_cast<int32_t>(st->st_uid));
        if (strcmp(owner, "ftpuser") != 0) {
            b.Put("UNIX.owner=", 11);
            b.Put(owner);
            b.Put(';');
        }
    }
    if (!gIsAnon) {
        if ((opts & kMlsUnixGroup) && MlsFactOffered(kMlsUnixGroup)) {
            const char *group = GrSearch(static_cast<int32_t>(st->st_gid));
            if (strcmp(group, "ftpusers") != 0) {
                b.Put("UNIX.group=", 11);
                b.Put(group);
                b.Put(';');
            }
        }
        if (opts & kMlsUnixUid) {
            b.Put("UNIX.uid=", 9);
            b.PutRight(static_cast<unsigned long long>(st->st_uid), 0);
            b.Put(';');
        }
        if (opts & kMlsUnixGid) {
            b.Put("UNIX.gid=", 9);
            b.PutRight(static_cast<unsigned long long>(st->st_gid), 0);
            b.Put(';');
        }
    }
    b.Put(' ');
    b.Put(name);
    b.Put("\r\n", 2);
    if (b.cut)
        return 0;
    b.Text();
    return static_cast<int>(b.len);
}

// Opening, closing and checking a database, the empty layout, the hash, and
// look-ups.  All file access is by positioned reads and writes on one
// unbuffered descriptor, so every write is seen at once by other processes
// and a forked child may share the handle without sharing a file position.
#include "ormel_int.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// First words of the foreign formats we recognise, read as a native integer.
constexpr std::array<uint32_t, 4> kBerkeleyDbMagics = {0x00053162, 0x00061561, 0x61160600, 0x62310500};
constexpr std::array<uint32_t, 2> kGdbmMagics = {0x13579ACE, 0xCE9A5713};

bool IsAligned(const OrmelHandle *h) { return reinterpret_cast<uintptr_t>(h) % 8 == 0; }

// The largest table that still leaves room for records below 2 GiB.
constexpr uint64_t kMaxBuckets = (kOrmelMaxFileSize - kOrmelHeaderSize - 4 - kOrmelRecordHeaderSize - 1) / 4;

uint32_t FirstRecordOffset(uint32_t nBuckets) { return kOrmelHeaderSize + 4 * (nBuckets + 1); }

int WriteAll(int fd, const void *buf, size_t len)
{
    return write(fd, buf, len) == static_cast<ssize_t>(len) ? 0 : kOrmelErrWrite;
}

} // namespace

bool OrmelIsOpen(const OrmelHandle *h)
{
    return h != nullptr && IsAligned(h) && memcmp(h->magic, kOrmelMagic, kOrmelMagicLen) == 0;
}

int OrmelCheckArgs(const OrmelHandle *h, const void *key, int keyLen, bool otherArgsOk)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (key == nullptr || keyLen <= 0 || !otherArgsOk)
        return kOrmelErrParam;
    if (keyLen > kOrmelMaxKeyLen)
        return kOrmelErrKeyTooLarge;
    return 0;
}

int OrmelReadFull(const OrmelHandle *h, void *buf, size_t len, uint64_t off)
{
    return pread(h->fd, buf, len, static_cast<off_t>(off)) == static_cast<ssize_t>(len) ? 0 : kOrmelErrRead;
}

int OrmelWriteFull(OrmelHandle *h, const void *buf, size_t len, uint64_t off)
{
    if (pwrite(h->fd, buf, len, static_cast<off_t>(off)) != static_cast<ssize_t>(len))
        return kOrmelErrWrite;
    h->dirty = 1;
    return 0;
}

Ormel_hash32_t Ormel_DefaultHashFunction(const void *key, int keyLen)
{
    const auto *p = static_cast<const unsigned char *>(key);
    Ormel_hash32_t hash = 0;
    for (int i = 0; i < keyLen; i++)
        hash = 2 * hash + p[i];
    return hash;
}

Ormel_hash32_t Ormel_SpreadHashFunction(const void *key, int keyLen)
{
    const auto *p = static_cast<const unsigned char *>(key);
    Ormel_hash32_t hash = 2166136261u;
    for (int i = 0; i < keyLen; i++)
        hash = (hash ^ p[i]) * 16777619u;
    return hash;
}

void Ormel_SetHashFunction(OrmelHandle *h, OrmelHashFunction fn)
{
    if (!OrmelIsOpen(h))
        return;
    h->hash = fn != nullptr ? fn : Ormel_SpreadHashFunction;
    h->classicHash = fn != nullptr ? nullptr : Ormel_DefaultHashFunction;
}

// Header, zero slots and end marker at the descriptor's position (or at 0).
// The file is not truncated: older records become dead space.
int OrmelWriteEmpty(OrmelHandle *h, int rewind)
{
    OrmelLockGuard lock(h, kOrmelWriteLock, 0, 0);
    if (!lock.held())
        return kOrmelErrLock;
    if (rewind && lseek(h->fd, 0, SEEK_SET) != 0)
        return kOrmelErrSeek;

    unsigned char header[kOrmelHeaderSize] = {};
    memcpy(header, kOrmelMagic, kOrmelMagicLen);
    memcpy(header + 16, &h->nBuckets, 4);
    if (WriteAll(h->fd, header, sizeof(header)) != 0)
        return kOrmelErrWrite;

    static const unsigned char zeros[4096] = {};
    for (uint64_t left = uint64_t{h->nBuckets} * 4; left > 0;) {
        size_t n = std::min<uint64_t>(left, sizeof(zeros));
        if (WriteAll(h->fd, zeros, n) != 0)
            return kOrmelErrWrite;
        left -= n;
    }
    uint32_t marker = kOrmelEndMarker;
    if (WriteAll(h->fd, &marker, 4) != 0)
        return kOrmelErrWrite;
    h->dirty = 1;
    return 0;
}

int Ormel_EmptyDatabase(OrmelHandle *h, int rewind)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    return OrmelWriteEmpty(h, rewind);
}

// Reads the 20-byte header and takes the bucket count from it.  Foreign
// formats are named so that their owners can tell the user what to do.
int OrmelVerifyHeader(OrmelHandle *h, int rewind)
{
    unsigned char header[kOrmelHeaderSize];
    ssize_t got = rewind ? pread(h->fd, header, sizeof(header), 0) : read(h->fd, header, sizeof(header));
    if (got >= 4) {
        uint32_t first;
        memcpy(&first, header, 4);
        if (std::find(kBerkeleyDbMagics.begin(), kBerkeleyDbMagics.end(), first) != kBerkeleyDbMagics.end())
            return kOrmelErrBerkeleyDb;
        if (std::find(kGdbmMagics.begin(), kGdbmMagics.end(), first) != kGdbmMagics.end() ||
            memcmp(header, "GDBM", 4) == 0)
            return kOrmelErrGdbm;
    }
    if (got != static_cast<ssize_t>(sizeof(header)) || memcmp(header, kOrmelMagic, kOrmelMagicLen) != 0)
        return kOrmelErrNotOrmel;
    uint32_t nBuckets;
    memcpy(&nBuckets, header + 16, 4);
    // A zero or oversized table would divide by zero or wrap the offsets.
    if (nBuckets == 0 || nBuckets > kMaxBuckets)
        return kOrmelErrNotOrmel;
    h->nBuckets = nBuckets;
    h->tableOffset = kOrmelHeaderSize;
    h->firstRecordOffset = FirstRecordOffset(nBuckets);
    return 0;
}

int Ormel_VerifyDatabaseHeader(OrmelHandle *h, int rewind)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    return OrmelVerifyHeader(h, rewind);
}

namespace {

void CloseAndClear(OrmelHandle *h)
{
    int savedErrno = errno;
    close(h->fd);
    memset(h, 0, sizeof(*h));
    errno = savedErrno;
}

// A new database is written whole under a temporary name next to its own and
// only then given that name: whoever opens the name finds no database or a
// complete one.  A writer killed meanwhile leaves at most a "NAME.new-..."
// file behind.  The temporary file is made exclusively, so no link is followed.
int CreateTempFile(int dirFd, const char *path, char (&tmp)[PATH_MAX])
{
    for (int tries = 0; tries < 8; tries++) {
        unsigned char r[6];
        if (getentropy(r, sizeof(r)) != 0)
            return -1;
        int n = snprintf(tmp, sizeof(tmp), "%s.new-%02x%02x%02x%02x%02x%02x", path, r[0], r[1], r[2], r[3], r[4], r[5]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = openat(dirFd, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Gives the finished file its name: 0, 1 when another process named its own
// database first (without replace an existing name is kept), or -1.
int NameDatabase(int dirFd, const char *tmp, const char *path, bool replace)
{
    if (replace)
        return renameat(dirFd, tmp, dirFd, path) == 0 ? 0 : -1;
    if (renameat2(dirFd, tmp, dirFd, path, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EINVAL && linkat(dirFd, tmp, dirFd, path, 0) == 0) {   // a file system that cannot rename without replacing
        unlinkat(dirFd, tmp, 0);
        return 0;
    }
    return errno == EEXIST ? 1 : -1;
}

// Makes a new, empty database at path (replacing one that is there when
// asked) and leaves it open in h->fd.  1 when another process made it first.
int CreateDatabase(OrmelHandle *h, int dirFd, const char *path, bool replace, uint32_t nBuckets)
{
    char tmp[PATH_MAX];
    h->fd = CreateTempFile(dirFd, path, tmp);
    if (h->fd < 0) {
        h->fd = 0;
        return kOrmelErrOpen;
    }
    h->nBuckets = nBuckets;
    int rc = OrmelWriteEmpty(h, 0);
    if (rc == 0 && fsync(h->fd) != 0)
        rc = kOrmelErrWrite;
    if (rc == 0) {
        rc = NameDatabase(dirFd, tmp, path, replace);
        if (rc < 0)
            rc = kOrmelErrOpen;
    }
    if (rc != 0) {
        int savedErrno = errno;
        unlinkat(dirFd, tmp, 0);
        close(h->fd);
        h->fd = 0;
        errno = savedErrno;
        return rc;
    }
    if (lseek(h->fd, 0, SEEK_SET) != 0) {
        close(h->fd);
        h->fd = 0;
        return kOrmelErrNotOrmel;
    }
    return 0;
}

// Opens path for writing, making a new database when asked.
int OpenForWriting(OrmelHandle *h, int dirFd, const char *path, int flags, int nBuckets)
{
    const bool create = (flags & kOrmelCreate) != 0;
    const bool remove = (flags & kOrmelRemove) != 0;
    const int noFollow = (flags & kOrmelNoFollow) != 0 ? O_NOFOLLOW : 0;
    if (remove && !create && unlinkat(dirFd, path, 0) != 0 && errno != ENOENT)
        return kOrmelErrOpen;
    if (!(remove && create)) {
        h->fd = openat(dirFd, path, O_RDWR | O_CLOEXEC | noFollow);
        if (h->fd >= 0)
            return 0;
        h->fd = 0;
        if (errno != ENOENT || !create)
            return kOrmelErrOpen;
    }
    uint64_t n = nBuckets < 2 ? kOrmelDefaultBuckets : static_cast<uint64_t>(nBuckets);
    if (n > kMaxBuckets)
        return kOrmelErrParam;
    int rc = CreateDatabase(h, dirFd, path, remove, static_cast<uint32_t>(n));
    if (rc != 1)
        return rc;
    h->fd = openat(dirFd, path, O_RDWR | O_CLOEXEC | noFollow);   // another process made it meanwhile
    if (h->fd >= 0)
        return 0;
    h->fd = 0;
    return kOrmelErrOpen;
}

} // namespace

int Ormel_Open(OrmelHandle *h, const char *path, int flags, int mode, int nBuckets)
{
    return Ormel_OpenAt(h, AT_FDCWD, path, flags, mode, nBuckets);
}

int Ormel_OpenAt(OrmelHandle *h, int dirFd, const char *path, int flags, int /*mode*/, int nBuckets)
{
    if (h == nullptr)
        return kOrmelErrCorrupt;
    if (!IsAligned(h))
        return kOrmelErrMisaligned;
    memset(h, 0, sizeof(*h));
    if (path == nullptr)
        return kOrmelErrOpen;

    bool writing = (flags & (kOrmelWrite | kOrmelReadWrite)) != 0;
    if (!writing && (flags & kOrmelRemove))
        return kOrmelErrMisc;
    if (writing) {
        int rc = OpenForWriting(h, dirFd, path, flags, nBuckets);
        if (rc != 0) {
            memset(h, 0, sizeof(*h));
            return rc;
        }
    } else {
        // Read-only opens do not wait: a FIFO put in a database's place would
        // block the reader until somebody writes.
        h->fd = openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | ((flags & kOrmelNoFollow) != 0 ? O_NOFOLLOW : 0));
        if (h->fd < 0) {
            h->fd = 0;
            return kOrmelErrOpen;
        }
    }

    int rc = OrmelVerifyHeader(h, 1);
    if (rc != 0) {
        CloseAndClear(h);
        return rc;
    }
    memcpy(h->magic, kOrmelMagic, kOrmelMagicLen);
    Ormel_SetHashFunction(h, nullptr);
    h->lockingEnabled = 1;
    return 0;
}

int Ormel_Close(OrmelHandle *h)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    int rc = Ormel_Sync(h);
    if (close(h->fd) != 0)
        rc = kOrmelErrWrite;
    memset(h, 0, sizeof(*h));
    return rc;
}

int Ormel_Sync(OrmelHandle *h)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (h->dirty && fsync(h->fd) != 0)
        return kOrmelErrWrite;
    h->dirty = 0;
    return 0;
}

uint32_t OrmelMaxRecords(const OrmelHandle *h)
{
    struct stat st;
    if (fstat(h->fd, &st) != 0 || st.st_size <= h->firstRecordOffset)
        return 0;
    return static_cast<uint32_t>(std::min<int64_t>(st.st_size, kOrmelMaxFileSize) - h->firstRecordOffset) /
           (kOrmelRecordHeaderSize + 1);
}

int OrmelReadRecord(OrmelHandle *h, uint32_t off, OrmelRecordHeader *hdr)
{
    ssize_t got = pread(h->fd, h->buf, sizeof(h->buf), off);
    if (got < static_cast<ssize_t>(kOrmelRecordHeaderSize))
        return kOrmelErrRead;
    memcpy(hdr, h->buf, sizeof(*hdr));
    // The key must be complete in the buffer; a damaged length is a read error.
    if (hdr->keyLen == 0 || hdr->keyLen > kOrmelMaxKeyLen || got < 8 + hdr->keyLen)
        return kOrmelErrRead;
    return static_cast<int>(got);
}

int OrmelCopyData(OrmelHandle *h, uint32_t off, int got, const OrmelRecordHeader *hdr, OrmelDatum *out)
{
    int len = hdr->dataLen;
    int start = static_cast<int>(OrmelDataStart(hdr->keyLen));
    int inBuf = std::clamp(got - start, 0, len);
    char *data = static_cast<char *>(malloc(len + 1));
    if (data == nullptr)
        return kOrmelErrMalloc;
    memcpy(data, h->buf + start, inBuf);
    if (inBuf < len && OrmelReadFull(h, data + inBuf, len - inBuf, uint64_t{off} + start + inBuf) != 0) {
        free(data);
        return kOrmelErrRead;
    }
    data[len] = '\0';
    out->data = data;
    out->len = len;
    return 0;
}

int Ormel_Query0(OrmelHandle *h, uint32_t bucket, const void *key, int keyLen, OrmelDatum *result,
                 OrmelChainPos *pos)
{
    *pos = {};
    uint32_t slot = OrmelSlotOffset(h, bucket);
    OrmelLockGuard lock(h, kOrmelReadLock, slot, 4);
    if (!lock.held())
        return kOrmelErrLock;
    uint32_t off;
    if (OrmelReadFull(h, &off, 4, slot) != 0)
        return kOrmelErrRead;

    uint32_t steps = OrmelMaxRecords(h);
    while (off != 0) {
        if (!OrmelLinkIsSane(h, off) || steps-- == 0)
            return kOrmelErrRead;
        OrmelRecordHeader hdr;
        int got = OrmelReadRecord(h, off, &hdr);
        if (got < 0)
            return got;
        if (hdr.keyLen == keyLen && memcmp(h->buf + 8, key, keyLen) == 0) {
            pos->recOff = off;
            pos->rec = hdr;
            return result != nullptr ? OrmelCopyData(h, off, got, &hdr, result) : 0;
        }
        pos->predOff = off;
        pos->pred = hdr;
        off = hdr.next;
    }
    return kOrmelErrNotFound;
}

int OrmelFind(OrmelHandle *h, const void *key, int keyLen, OrmelDatum *result, uint32_t *bucket, OrmelChainPos *pos)
{
    *bucket = h->hash(key, keyLen) % h->nBuckets;
    int rc = Ormel_Query0(h, *bucket, key, keyLen, result, pos);
    if (rc != kOrmelErrNotFound || h->classicHash == nullptr)
        return rc;
    const uint32_t classic = h->classicHash(key, keyLen) % h->nBuckets;
    if (classic == *bucket)
        return rc;
    OrmelChainPos classicPos;
    rc = Ormel_Query0(h, classic, key, keyLen, result, &classicPos);
    if (rc == 0) {
        *bucket = classic;
        *pos = classicPos;
    }
    return rc;
}

int Ormel_Query(OrmelHandle *h, const void *key, int keyLen, OrmelDatum *result)
{
    int rc = OrmelCheckArgs(h, key, keyLen, result != nullptr);
    if (rc != 0)
        return rc;
    *result = {};
    uint32_t bucket;
    OrmelChainPos pos;
    return OrmelFind(h, key, keyLen, result, &bucket, &pos);
}

int Ormel_Exists(OrmelHandle *h, const void *key, int keyLen)
{
    int rc = OrmelCheckArgs(h, key, keyLen, true);
    if (rc != 0)
        return rc;
    uint32_t bucket;
    OrmelChainPos pos;
    return OrmelFind(h, key, keyLen, nullptr, &bucket, &pos);
}

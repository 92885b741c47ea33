// Ormel: a keyed database in one file.  A hash table of fixed bucket slots
// whose chains of records are appended at the end of the file; keys of up to
// 255 bytes, data of up to 32767 bytes.  Readers and writers in different
// processes share one file through POSIX record locks.
//
// File layout (all integers unsigned, native byte order):
//   0   "_Ormel_", 9 zero bytes, uint32 nBuckets           (20-byte header)
//   20  nBuckets slots of uint32: offset of the chain's first record or 0
//       uint32 end marker 0xFFFFFFFF
//       records, in the order of insertion:
//         uint32 next, uint16 dataLen, uint16 keyLen, 16 bytes of key
//         (zero-padded), the key's tail when keyLen > 16, then the data.
// Offsets are kept in 31 bits, so a database never grows beyond 2 GiB.
//
// Where a record lies: a new key is linked into the chain of its bucket by
// the spread hash (Ormel_SpreadHashFunction).  Files written before that hash
// was used placed their records by the classic one (Ormel_DefaultHashFunction,
// h = 2h + byte), which gives names that differ only in their last digits
// ("user000001", ...) a few hundred values in all, so 100,000 such users share
// 279 chains of up to 625 records.  A look-up therefore searches the spread
// bucket and then the classic one: every database keeps its layout and is
// read, replaced in and deleted from as before, with its old records staying
// in their chains.  (A program of an earlier version does not find the
// records placed by the spread hash.)
//
// Every change reaches the file as one write of one 4-byte link (a slot or
// a record's next) after any new record is complete: a writer killed at any
// point leaves a database in which each key has its old or its new data, and
// a new database gets its name only once it is complete.
//
// Every routine returns 0 on success or a negative code (Ormel_Strerror).
#pragma once

#include <cstdint>

using Ormel_hash32_t = uint32_t;
using OrmelHashFunction = Ormel_hash32_t (*)(const void *key, int keyLen);

// Open flags.  Read-only is 0; the values match the system's open(2) flags.
constexpr int kOrmelWrite = 0x01;
constexpr int kOrmelReadWrite = 0x02;
constexpr int kOrmelCreate = 0x40;
constexpr int kOrmelRemove = 0x200;
constexpr int kOrmelNoFollow = 0x20000;   // a link in the last place is not followed

constexpr int kOrmelDefaultBuckets = 8191;
constexpr int kOrmelMaxKeyLen = 255;
constexpr int kOrmelMaxDataLen = 32767;
constexpr int kOrmelBufSize = 512;

// Lock types of Ormel_LockInt / Ormel_LockFile / Ormel_ExclusiveLock.
constexpr int kOrmelReadLock = 1;
constexpr int kOrmelWriteLock = 2;
constexpr int kOrmelUnlock = 3;

// Error codes; gOrmelErrors[-code] is the text.
constexpr int kOrmelErrNone = 0;
constexpr int kOrmelErrMisc = -1;
constexpr int kOrmelErrCorrupt = -2;
constexpr int kOrmelErrOpen = -3;
constexpr int kOrmelErrNotOrmel = -4;
constexpr int kOrmelErrSeek = -5;
constexpr int kOrmelErrRead = -6;
constexpr int kOrmelErrWrite = -7;
constexpr int kOrmelErrNotFound = -8;
constexpr int kOrmelErrExists = -9;
constexpr int kOrmelErrParam = -10;
constexpr int kOrmelErrKeyTooLarge = -11;
constexpr int kOrmelErrNoMoreRecords = -12;
constexpr int kOrmelErrMalloc = -13;
constexpr int kOrmelErrRecordTooLarge = -14;
constexpr int kOrmelErrLock = -15;
constexpr int kOrmelErrNdbm = -16;
constexpr int kOrmelErrBerkeleyDb = -17;
constexpr int kOrmelErrGdbm = -18;
constexpr int kOrmelErrMisaligned = -19;
constexpr int kOrmelNumErrors = 20;

extern const char *const gOrmelErrors[kOrmelNumErrors];

// Record offsets are stored in 31 bits; the largest usable file size follows.
constexpr Ormel_hash32_t Ormel_off_t_to_Ormel_hash32_t(int64_t off) { return static_cast<Ormel_hash32_t>(off & 0x7FFFFFFF); }
constexpr int64_t kOrmelMaxFileSize = int64_t{1} << 31;

// The handle is owned by the caller, must be 8-byte aligned, and is all zero
// while closed.  Its fields are the library's own.
struct OrmelHandle {
    char magic[8];                  // "_Ormel_" while open
    int fd;                         // the database file
    int dirty;                      // set by every successful write
    OrmelHashFunction hash;         // places new keys
    OrmelHashFunction classicHash;  // searched after hash when set: where older files placed keys
    uint32_t nBuckets;
    uint32_t tableOffset;           // 20
    uint32_t firstRecordOffset;     // 20 + 4 * (nBuckets + 1)
    int lockingEnabled;             // per-record locks are taken
    int savedLockingEnabled;        // copy kept while a whole-file lock is held
    int wholeFileLock;              // 0, kOrmelReadLock or kOrmelWriteLock
    int lockWaitMs;                 // how long a lock request waits; 0 without limit
    alignas(8) unsigned char buf[kOrmelBufSize];   // receives each record read
};

// Query and enumeration results: malloc'ed, NUL-terminated; the caller frees data.
struct OrmelDatum {
    char *data;
    int len;
};

struct OrmelCursor {
    uint32_t bucket;        // current bucket index
    uint32_t nextRecord;    // offset of the next record to return, 0 for none
    uint32_t nReturned;     // records returned so far
};

[[nodiscard]] int Ormel_Open(OrmelHandle *h, const char *path, int flags, int mode, int nBuckets);
// As Ormel_Open, with a relative path taken from the directory dirFd (the
// temporary file of a new database is made there too).
[[nodiscard]] int Ormel_OpenAt(OrmelHandle *h, int dirFd, const char *path, int flags, int mode, int nBuckets);
int Ormel_Close(OrmelHandle *h);
[[nodiscard]] int Ormel_Query(OrmelHandle *h, const void *key, int keyLen, OrmelDatum *result);
[[nodiscard]] int Ormel_Exists(OrmelHandle *h, const void *key, int keyLen);
[[nodiscard]] int Ormel_Insert(OrmelHandle *h, const void *key, int keyLen, const void *data, int dataLen, int replace);
[[nodiscard]] int Ormel_Delete(OrmelHandle *h, const void *key, int keyLen);
[[nodiscard]] int Ormel_FirstKey(OrmelHandle *h, char **key, OrmelDatum *data, OrmelCursor *cursor);
[[nodiscard]] int Ormel_NextKey(OrmelHandle *h, char **key, OrmelDatum *data, OrmelCursor *cursor);
[[nodiscard]] int Ormel_EmptyDatabase(OrmelHandle *h, int rewind);
[[nodiscard]] int Ormel_VerifyDatabaseHeader(OrmelHandle *h, int rewind);
int Ormel_ExclusiveLock(OrmelHandle *h, int type);
// A caller's own hash places and finds every key (no classic bucket is
// searched); a null fn restores the spread hash and the classic search.
void Ormel_SetHashFunction(OrmelHandle *h, OrmelHashFunction fn);
// Bounds every later lock request of an open handle to about ms milliseconds
// (-15 when the lock stays taken); 0, the default after opening, waits
// without limit.  Ignored when the handle is not open.  Such a request
// tries again at least every kOrmelLockRetryMaxMs: a writer that leaves a
// lock free for longer between two holds lets it in.
void Ormel_SetLockWait(OrmelHandle *h, int ms);
constexpr int kOrmelLockRetryMaxMs = 50;
// The classic hash of the file format: h = 2h + byte, modulo 2^32.
Ormel_hash32_t Ormel_DefaultHashFunction(const void *key, int keyLen);
// The hash that places new keys: 32-bit FNV-1a, every byte moves every bucket.
Ormel_hash32_t Ormel_SpreadHashFunction(const void *key, int keyLen);
// Writes what the handle changed through to the disk (fsync) while it stays
// open: 0 or -7.
[[nodiscard]] int Ormel_Sync(OrmelHandle *h);
const char *Ormel_Strerror(int code);
[[nodiscard]] int Ormel_LockFile(OrmelHandle *h, int type);
[[nodiscard]] int Ormel_LockInt(OrmelHandle *h, int type, uint32_t offset);

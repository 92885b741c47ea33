// Ormel's own helpers, shared by its source files: the on-disk record header,
// positioned reads and writes, record locks and the chain look-up.
#pragma once

#include "ormel.h"

#include <cstddef>
#include <cstdint>

constexpr char kOrmelMagic[] = "_Ormel_";          // 7 bytes on disk, no NUL
constexpr size_t kOrmelMagicLen = 7;
constexpr uint32_t kOrmelHeaderSize = 20;
constexpr uint32_t kOrmelEndMarker = 0xFFFFFFFF;
constexpr int kOrmelInlineKey = 16;

struct OrmelRecordHeader {
    uint32_t next;          // next record of the chain, 0 at its end
    uint16_t dataLen;
    uint16_t keyLen;
    char key[kOrmelInlineKey];   // first 16 key bytes, zero-padded
};
static_assert(sizeof(OrmelRecordHeader) == 24);
constexpr uint32_t kOrmelRecordHeaderSize = sizeof(OrmelRecordHeader);

// Where a look-up ended: the matching record (or none) and its predecessor in
// the chain; on "not found" the predecessor is the chain's last record.
struct OrmelChainPos {
    uint32_t recOff;                // 0 when not found
    OrmelRecordHeader rec;
    uint32_t predOff;               // 0 when the record heads its chain
    OrmelRecordHeader pred;
};

bool OrmelIsOpen(const OrmelHandle *h);
int OrmelCheckArgs(const OrmelHandle *h, const void *key, int keyLen, bool otherArgsOk);

inline uint32_t OrmelSlotOffset(const OrmelHandle *h, uint32_t bucket) { return h->tableOffset + 4 * bucket; }
inline uint32_t OrmelEndMarkerOffset(const OrmelHandle *h) { return h->tableOffset + 4 * h->nBuckets; }
// The key lies contiguously from offset 8; the data follows the key, but
// never starts before the end of the fixed header.
inline uint32_t OrmelDataStart(int keyLen) { return keyLen > kOrmelInlineKey ? 8 + keyLen : kOrmelRecordHeaderSize; }

[[nodiscard]] int OrmelReadFull(const OrmelHandle *h, void *buf, size_t len, uint64_t off);
[[nodiscard]] int OrmelWriteFull(OrmelHandle *h, const void *buf, size_t len, uint64_t off);
// Reads a record (up to the buffer size) into h->buf; returns the byte count or -6.
[[nodiscard]] int OrmelReadRecord(OrmelHandle *h, uint32_t off, OrmelRecordHeader *hdr);
// Copies a record's data into a new NUL-terminated buffer, using what
// OrmelReadRecord left in h->buf (got bytes) and reading the rest.
[[nodiscard]] int OrmelCopyData(OrmelHandle *h, uint32_t off, int got, const OrmelRecordHeader *hdr, OrmelDatum *out);
// A chain link must point into the record area.  Replacements link back to
// older records, so a chain is not ordered by offset; a damaged file could
// hold a cycle, which OrmelMaxRecords bounds.
inline bool OrmelLinkIsSane(const OrmelHandle *h, uint32_t to)
{
    return to >= h->firstRecordOffset && to < kOrmelMaxFileSize;
}
// The most records the file can hold: no sound chain or enumeration is longer.
[[nodiscard]] uint32_t OrmelMaxRecords(const OrmelHandle *h);

// Record locks, taken only while locking is enabled on the handle; len 0 is
// the whole file.
[[nodiscard]] int OrmelLock(OrmelHandle *h, int type, uint32_t offset, uint32_t len);

// Holds a lock for a scope and always releases it.
class OrmelLockGuard {
  public:
    OrmelLockGuard(OrmelHandle *h, int type, uint32_t offset, uint32_t len)
        : h_(h), offset_(offset), len_(len), rc_(OrmelLock(h, type, offset, len)) {}
    ~OrmelLockGuard()
    {
        if (rc_ == 0)
            (void)OrmelLock(h_, kOrmelUnlock, offset_, len_);
    }
    OrmelLockGuard(const OrmelLockGuard &) = delete;
    OrmelLockGuard &operator=(const OrmelLockGuard &) = delete;
    bool held() const { return rc_ == 0; }

  private:
    OrmelHandle *h_;
    uint32_t offset_;
    uint32_t len_;
    int rc_;
};

// Writes and verifies the empty header, table and end marker.
[[nodiscard]] int OrmelWriteEmpty(OrmelHandle *h, int rewind);
[[nodiscard]] int OrmelVerifyHeader(OrmelHandle *h, int rewind);

// Looks a key up in one bucket; fills *pos, and *result when non-NULL.
[[nodiscard]] int Ormel_Query0(OrmelHandle *h, uint32_t bucket, const void *key, int keyLen, OrmelDatum *result,
                               OrmelChainPos *pos);
// Looks a key up where it may lie: in its bucket by the handle's hash, then,
// when the handle has a classic hash, in that bucket.  On success *bucket and
// *pos tell where it was found; on "not found" they tell where a new record
// is linked (the end of the first bucket's chain).
[[nodiscard]] int OrmelFind(OrmelHandle *h, const void *key, int keyLen, OrmelDatum *result, uint32_t *bucket,
                            OrmelChainPos *pos);
// Makes the predecessor's next (or the slot) point at value.  The caller holds
// the slot's write lock.
[[nodiscard]] int OrmelSetLink(OrmelHandle *h, uint32_t bucket, uint32_t predOff, uint32_t value);
// Unlinks the record found by Ormel_Query0.
[[nodiscard]] int Ormel_Delete0(OrmelHandle *h, uint32_t bucket, const OrmelChainPos *pos);

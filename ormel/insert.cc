// Insertion.  A new record is appended at the end of the file and linked at
// the end of its chain.  A replacement is rewritten in place when the new
// data is not longer than the old; otherwise the new record is appended and
// takes the old one's place in the chain.
//
// Writers hold the write lock on the end marker (the append lock) for the
// whole insertion, so two writers never link into one chain at the same
// time.  Every change of a chain is made under the write lock of its bucket
// slot, which readers hold shared for a whole look-up: a reader sees a chain
// either before or after a change, never half of it.
#include "ormel_int.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// The iovecs of a whole record: header, key tail (if any) and data.
int RecordIov(iovec (&iov)[3], OrmelRecordHeader *hdr, const void *key, int keyLen, const void *data, int dataLen)
{
    int n = 0;
    iov[n++] = {hdr, kOrmelRecordHeaderSize};
    if (keyLen > kOrmelInlineKey)
        iov[n++] = {const_cast<char *>(static_cast<const char *>(key)) + kOrmelInlineKey,
                    static_cast<size_t>(keyLen - kOrmelInlineKey)};
    iov[n++] = {const_cast<void *>(data), static_cast<size_t>(dataLen)};
    return n;
}

// Appends a record with no successor.  The caller holds the append lock.
int AppendRecord(OrmelHandle *h, const void *key, int keyLen, const void *data, int dataLen, uint32_t *newOff)
{
    off_t end = lseek(h->fd, 0, SEEK_END);
    if (end < 0)
        return kOrmelErrSeek;
    int64_t total = kOrmelRecordHeaderSize + std::max(keyLen - kOrmelInlineKey, 0) + dataLen;
    // Offsets are kept in 31 bits: a record that would not end within 2 GiB
    // is refused before anything is written, so no offset can wrap.
    if (end < h->firstRecordOffset || end + total > kOrmelMaxFileSize)
        return kOrmelErrWrite;

    OrmelRecordHeader hdr = {};
    hdr.dataLen = static_cast<uint16_t>(dataLen);
    hdr.keyLen = static_cast<uint16_t>(keyLen);
    memcpy(hdr.key, key, std::min(keyLen, kOrmelInlineKey));
    iovec iov[3];
    int n = RecordIov(iov, &hdr, key, keyLen, data, dataLen);
    if (pwritev(h->fd, iov, n, end) != total) {
        // Take back a partial record; should that fail, the bytes are dead
        // space that no chain reaches.
        if (ftruncate(h->fd, end) != 0) {
        }
        return kOrmelErrWrite;
    }
    h->dirty = 1;
    *newOff = Ormel_off_t_to_Ormel_hash32_t(end);
    return 0;
}

int ReplaceInPlace(OrmelHandle *h, uint32_t bucket, const OrmelChainPos *pos, const void *key, int keyLen,
                   const void *data, int dataLen)
{
    OrmelLockGuard slotLock(h, kOrmelWriteLock, OrmelSlotOffset(h, bucket), 4);
    if (!slotLock.held())
        return kOrmelErrLock;
    OrmelLockGuard recLock(h, kOrmelWriteLock, pos->recOff, 4);
    if (!recLock.held())
        return kOrmelErrLock;
    OrmelRecordHeader hdr = pos->rec;
    hdr.dataLen = static_cast<uint16_t>(dataLen);
    iovec iov[3];
    int n = RecordIov(iov, &hdr, key, keyLen, data, dataLen);
    int64_t total = kOrmelRecordHeaderSize + std::max(keyLen - kOrmelInlineKey, 0) + dataLen;
    if (pwritev(h->fd, iov, n, pos->recOff) != total)
        return kOrmelErrWrite;
    h->dirty = 1;
    return 0;
}

// Longer data: the new record is written first and only then swapped into
// the chain, so a failure leaves the old record in place.
int MoveRecord(OrmelHandle *h, uint32_t bucket, const OrmelChainPos *pos, const void *key, int keyLen,
               const void *data, int dataLen)
{
    uint32_t newOff;
    int rc = AppendRecord(h, key, keyLen, data, dataLen, &newOff);
    if (rc != 0)
        return rc;
    OrmelLockGuard slotLock(h, kOrmelWriteLock, OrmelSlotOffset(h, bucket), 4);
    if (!slotLock.held())
        return kOrmelErrLock;
    if (pos->rec.next == 0)   // the old record ends the chain: the new one takes its link
        return OrmelSetLink(h, bucket, pos->predOff, newOff);

    uint32_t from = pos->recOff;
    uint32_t tail = pos->rec.next;
    for (;;) {
        OrmelRecordHeader hdr;
        if (!OrmelLinkIsSane(h, from, tail) || OrmelReadFull(h, &hdr, sizeof(hdr), tail) != 0)
            return kOrmelErrRead;
        if (hdr.next == 0)
            break;
        from = tail;
        tail = hdr.next;
    }
    rc = OrmelSetLink(h, bucket, tail, newOff);
    if (rc != 0)
        return rc;
    return OrmelSetLink(h, bucket, pos->predOff, pos->rec.next);
}

} // namespace

int Ormel_Insert(OrmelHandle *h, const void *key, int keyLen, const void *data, int dataLen, int replace)
{
    int rc = OrmelCheckArgs(h, key, keyLen, data != nullptr && dataLen > 0);
    if (rc != 0)
        return rc;
    uint32_t bucket = OrmelBucket(h, key, keyLen);
    OrmelLockGuard appendLock(h, kOrmelWriteLock, OrmelEndMarkerOffset(h), 4);
    if (!appendLock.held())
        return kOrmelErrLock;

    OrmelChainPos pos;
    rc = Ormel_Query0(h, bucket, key, keyLen, nullptr, &pos);
    if (rc == 0) {
        if (replace != 1)
            return kOrmelErrExists;
        if (dataLen <= pos.rec.dataLen)
            return ReplaceInPlace(h, bucket, &pos, key, keyLen, data, dataLen);
        if (dataLen > kOrmelMaxDataLen)
            return kOrmelErrRecordTooLarge;
        return MoveRecord(h, bucket, &pos, key, keyLen, data, dataLen);
    }
    if (rc != kOrmelErrNotFound)
        return rc;
    if (dataLen > kOrmelMaxDataLen)
        return kOrmelErrRecordTooLarge;

    uint32_t newOff;
    rc = AppendRecord(h, key, keyLen, data, dataLen, &newOff);
    if (rc != 0)
        return rc;
    OrmelLockGuard slotLock(h, kOrmelWriteLock, OrmelSlotOffset(h, bucket), 4);
    if (!slotLock.held())
        return kOrmelErrLock;
    return OrmelSetLink(h, bucket, pos.predOff, newOff);
}

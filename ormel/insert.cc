// Insertion.  Every new record, a replacement's too, is appended whole at the
// end of the file and then made reachable by one write of one link:
//   - a new key: the chain's last record's next (or the empty slot) points
//     at it;
//   - a replacement: the new record takes the old one's next, and the old
//     one's predecessor (or the slot) then points at the new record.
// Until that write the chain is the old one, after it the new one; a writer
// killed anywhere leaves each key with its old or its new data, and the
// bytes of an unlinked record are dead space.  (Rewriting a record in place
// could be torn by a kill between two pages of one write.)
//
// A replacement stays in the chain where the old record was found (a file's
// older records lie in their classic bucket); a new key goes to the bucket of
// the handle's hash.
//
// Writers hold the write lock on the end marker (the append lock) for the
// whole insertion, so two writers never link into one chain at the same
// time.  Every change of a chain is made under the write lock of its bucket
// slot, which readers hold shared for a whole look-up.
#include "ormel_int.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// Appends a record whose next is 'next'.  The caller holds the append lock.
int AppendRecord(OrmelHandle *h, uint32_t next, const void *key, int keyLen, const void *data, int dataLen,
                 uint32_t *newOff)
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
    hdr.next = next;
    hdr.dataLen = static_cast<uint16_t>(dataLen);
    hdr.keyLen = static_cast<uint16_t>(keyLen);
    memcpy(hdr.key, key, std::min(keyLen, kOrmelInlineKey));
    iovec iov[3];
    int n = 0;
    iov[n++] = {&hdr, kOrmelRecordHeaderSize};
    if (keyLen > kOrmelInlineKey)
        iov[n++] = {const_cast<char *>(static_cast<const char *>(key)) + kOrmelInlineKey,
                    static_cast<size_t>(keyLen - kOrmelInlineKey)};
    iov[n++] = {const_cast<void *>(data), static_cast<size_t>(dataLen)};
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

} // namespace

int Ormel_Insert(OrmelHandle *h, const void *key, int keyLen, const void *data, int dataLen, int replace)
{
    int rc = OrmelCheckArgs(h, key, keyLen, data != nullptr && dataLen > 0);
    if (rc != 0)
        return rc;
    OrmelLockGuard appendLock(h, kOrmelWriteLock, OrmelEndMarkerOffset(h), 4);
    if (!appendLock.held())
        return kOrmelErrLock;

    uint32_t bucket;
    OrmelChainPos pos;
    rc = OrmelFind(h, key, keyLen, nullptr, &bucket, &pos);
    if (rc != 0 && rc != kOrmelErrNotFound)
        return rc;
    const bool found = rc == 0;
    if (found && replace != 1)
        return kOrmelErrExists;
    if (dataLen > kOrmelMaxDataLen)
        return kOrmelErrRecordTooLarge;

    uint32_t newOff;
    rc = AppendRecord(h, found ? pos.rec.next : 0, key, keyLen, data, dataLen, &newOff);
    if (rc != 0)
        return rc;
    OrmelLockGuard slotLock(h, kOrmelWriteLock, OrmelSlotOffset(h, bucket), 4);
    if (!slotLock.held())
        return kOrmelErrLock;
    // The old record's predecessor, or on "not found" the chain's last record.
    return OrmelSetLink(h, bucket, pos.predOff, newOff);
}

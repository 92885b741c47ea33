// Enumeration of all records: in bucket order, then in chain order.  It takes
// no locks; a caller that needs a stable picture holds a whole-file lock.
#include "ormel_int.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Finds the first non-empty slot from bucket 'from' on, reading the table a
// buffer at a time.
int FindChain(OrmelHandle *h, uint32_t from, uint32_t *bucket, uint32_t *first)
{
    constexpr uint32_t kSlotsPerRead = kOrmelBufSize / 4;
    for (uint32_t b = from; b < h->nBuckets;) {
        uint32_t n = std::min(kSlotsPerRead, h->nBuckets - b);
        if (OrmelReadFull(h, h->buf, 4 * n, OrmelSlotOffset(h, b)) != 0)
            return kOrmelErrRead;
        for (uint32_t i = 0; i < n; i++, b++) {
            uint32_t slot;
            memcpy(&slot, h->buf + 4 * i, 4);
            if (slot != 0) {
                *bucket = b;
                *first = slot;
                return 0;
            }
        }
    }
    return kOrmelErrNoMoreRecords;
}

} // namespace

int Ormel_NextKey(OrmelHandle *h, char **key, OrmelDatum *data, OrmelCursor *cursor)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (cursor == nullptr)
        return kOrmelErrParam;
    if (key != nullptr)
        *key = nullptr;
    if (data != nullptr)
        *data = {};

    if (cursor->nextRecord == 0) {
        uint64_t from = uint64_t{cursor->bucket} + (cursor->nReturned > 0 ? 1 : 0);
        uint32_t first = 0;
        int rc = from < h->nBuckets ? FindChain(h, static_cast<uint32_t>(from), &cursor->bucket, &first)
                                    : kOrmelErrNoMoreRecords;
        if (rc == kOrmelErrNoMoreRecords)
            cursor->bucket = h->nBuckets;
        if (rc != 0)
            return rc;
        if (!OrmelLinkIsSane(h, first))
            return kOrmelErrRead;
        cursor->nextRecord = first;
    }

    uint32_t off = cursor->nextRecord;
    // No file holds more records than fit into it: more is a cycle.
    if (cursor->nReturned >= OrmelMaxRecords(h))
        return kOrmelErrRead;
    cursor->nReturned++;
    OrmelRecordHeader hdr;
    int got = OrmelReadRecord(h, off, &hdr);
    if (got < 0)
        return got;
    if (hdr.next != 0 && !OrmelLinkIsSane(h, hdr.next))
        return kOrmelErrRead;
    cursor->nextRecord = hdr.next;

    if (key != nullptr) {
        char *k = static_cast<char *>(malloc(hdr.keyLen + 1));
        if (k == nullptr)
            return kOrmelErrMalloc;
        memcpy(k, h->buf + 8, hdr.keyLen);
        k[hdr.keyLen] = '\0';
        *key = k;
    }
    if (data != nullptr) {
        int rc = OrmelCopyData(h, off, got, &hdr, data);
        if (rc != 0) {
            if (key != nullptr) {
                free(*key);
                *key = nullptr;
            }
            return rc;
        }
    }
    return 0;
}

int Ormel_FirstKey(OrmelHandle *h, char **key, OrmelDatum *data, OrmelCursor *cursor)
{
    if (!OrmelIsOpen(h))
        return kOrmelErrCorrupt;
    if (cursor == nullptr)
        return kOrmelErrParam;
    *cursor = {};
    return Ormel_NextKey(h, key, data, cursor);
}

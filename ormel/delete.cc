// Deletion: a record is only unlinked from its chain, by one write of its
// predecessor's next (or its slot); its bytes stay in the file as dead space.
#include "ormel_int.h"

int OrmelSetLink(OrmelHandle *h, uint32_t bucket, uint32_t predOff, uint32_t value)
{
    if (predOff == 0)
        return OrmelWriteFull(h, &value, 4, OrmelSlotOffset(h, bucket));
    OrmelLockGuard predLock(h, kOrmelWriteLock, predOff, 4);
    if (!predLock.held())
        return kOrmelErrLock;
    return OrmelWriteFull(h, &value, 4, predOff);
}

int Ormel_Delete0(OrmelHandle *h, uint32_t bucket, const OrmelChainPos *pos)
{
    OrmelLockGuard slotLock(h, kOrmelWriteLock, OrmelSlotOffset(h, bucket), 4);
    if (!slotLock.held())
        return kOrmelErrLock;
    return OrmelSetLink(h, bucket, pos->predOff, pos->rec.next);
}

// Holds the append lock like an insertion, so that no writer links a new
// record behind the one being removed.
int Ormel_Delete(OrmelHandle *h, const void *key, int keyLen)
{
    int rc = OrmelCheckArgs(h, key, keyLen, true);
    if (rc != 0)
        return rc;
    OrmelLockGuard appendLock(h, kOrmelWriteLock, OrmelEndMarkerOffset(h), 4);
    if (!appendLock.held())
        return kOrmelErrLock;
    uint32_t bucket;
    OrmelChainPos pos;
    rc = OrmelFind(h, key, keyLen, nullptr, &bucket, &pos);
    if (rc != 0)
        return rc;
    return Ormel_Delete0(h, bucket, &pos);
}

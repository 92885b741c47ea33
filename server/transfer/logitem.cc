// Transfer-log records of the items that are not transfers (listings, deletions,
// directories made, modes changed, links, renames), their event records and
// their event messages.
#include "transfer/xferlog.h"

#include "config/config.h"
#include "events/events.h"
#include "log/log.h"
#include "status/shm.h"

namespace {

struct XferLetter {
    char letter;
    int bit;
};
constexpr XferLetter kXferLetters[] = {
    {'R', 1}, {'S', 2}, {'T', 4}, {'D', 8}, {'M', 16}, {'C', 32}, {'L', 64}, {'N', 128}, {'I', 256}, {'O', 512},
};

bool EventRecordsOn()
{
    return gDownloadEventProcessor[0] != '\0' || gUploadEventProcessor[0] != '\0' ||
           gLoginEventProcessor[0] != '\0' || gLogoutEventProcessor[0] != '\0';
}

}  // namespace

int LogXferTypeBit(char letter)
{
    for (const XferLetter &x : kXferLetters) {
        if (x.letter == letter)
            return x.bit;
    }
    return 0;
}

namespace {

void WriteItemRecords(const char *path, const char *result, const char *text2, const char *text3, char letter,
                      const char *eventName)
{
    static const ShmSlot kNoSession {};
    const ShmSlot *s = gShmSlot != nullptr ? gShmSlot : &kNoSession;

    if (gLogXfers && (gLogXferTypeMask & LogXferTypeBit(letter)) != 0) {
        Log(kLogXfer, "%c,%.400s,%s,%s,%s,%s,%s,%s,%s,\n", letter, path, result, text2, text3, s->user, s->loginId,
            s->host, s->sessionId);
    }
    if (EventRecordsOn()) {
        Log(kLogEvent, "%s\t%s\t%s\t%s\t%s\t%s\t%.400s\t%s\t%s\t%s\t%s\t\n", eventName, s->user, s->restriction,
            s->loginId, s->domain, s->host, path, result, text2, text3, s->sessionId);
    }
}

}  // namespace

void LogItem(const char *path, const char *result, const char *text2, const char *text3, char letter,
             const char *eventName)
{
    WriteItemRecords(path, result, text2, text3, letter, eventName);
    EventcLogItem(letter, eventName, path, result, text2, text3);
}

// The event message of a deletion carries no further texts.
void LogDelete(const char *path)
{
    WriteItemRecords(path, "OK", "", "", 'D', "DELETE");
    EventcLogItem('D', "DELETE", path, "", "", "");
}

// The four event records: login, logout, transfer and item.  Each begins with
// the record's name and the session's user fields and ends with the session
// identifier and the cookie; each is sent only when events are in use and the
// type mask ("eventd-transaction-types") has its bit.
#include <cstring>

#include "config/config.h"
#include "events/events.h"
#include "status/shm.h"

namespace {

// The item codes that are sent, with their mask bits (the transfer-log letters).
struct ItemBit {
    char code;
    int bit;
};
constexpr ItemBit kItemBits[] = {
    {'T', 0x004}, {'D', 0x008}, {'M', 0x010}, {'C', 0x020}, {'L', 0x040}, {'N', 0x080},
};

int ItemBitOf(char code)
{
    for (const ItemBit &i : kItemBits) {
        if (i.code == code)
            return i.bit;
    }
    return 0;
}

bool Wanted(int bit)
{
    return gUseEventServer && (gEventdTypeMask & bit) != 0;
}

// The session's user fields; a process without a slot has empty ones.
const ShmSlot &Slot()
{
    static const ShmSlot kNoSession {};
    return gRUserPtr != nullptr ? *gRUserPtr : kNoSession;
}

// The cookie as text, or "noCookie" when it equals the empty cookie.
const char *CookieText()
{
    static char text[kEventCookieSize + 1];
    const unsigned char *cookie = EventCookie();
    if (memcmp(cookie, gEmptyCookie, kEventCookieSize) == 0)
        return "noCookie";
    memcpy(text, cookie, kEventCookieSize);
    text[kEventCookieSize] = '\0';
    return text;
}

}  // namespace

void EventcLogLogin()
{
    if (!Wanted(kEventLogin))
        return;
    const ShmSlot &s = Slot();
    EventMessageSend('I', "LOGIN\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n\n", s.user, s.restriction, s.loginId, s.domain,
                     s.host, s.sessionId, CookieText());
}

void EventcLogLogout(int duration, int logins, const char *lastResult, int downloadsOk, int downloadsFailed,
                     int uploadsOk, int uploadsFailed, int listingsOk, int listingsFailed, int endCode)
{
    if (!Wanted(kEventLogout))
        return;
    const ShmSlot &s = Slot();
    EventMessageSend('O', "LOGOUT\n%s\n%s\n%s\n%s\n%s\n%d\n%d\n%s\n%d\n%d\n%d\n%d\n%d\n%d\n%d\n%s\n%s\n\n", s.user,
                     s.restriction, s.loginId, s.domain, s.host, duration, logins,
                     lastResult[0] != '\0' ? lastResult : "NONE", downloadsOk, downloadsFailed, uploadsOk,
                     uploadsFailed, listingsOk, listingsFailed, endCode, s.sessionId, CookieText());
}

void EventcLogTransfer(const char *eventName, const char *path, long long bytes, const char *sfx,
                       const char *status, char type, const char *notes, unsigned long long startTime,
                       long long startingSize, long long restartOffset, double duration, double rate)
{
    if (!Wanted(eventName[0] == 'U' ? kEventUpload : kEventDownload))
        return;
    const ShmSlot &s = Slot();
    EventMessageSend(eventName[0],
                     "%s\n%s\n%s\n%s\n%s\n%s\n%.400s\n%lld\n%.3f\n%.3f\n%s\n%s\n%c\n%s\n%llu\n%s\n%s\n%lld\n%lld\n\n",
                     eventName, s.user, s.restriction, s.loginId, s.domain, s.host, path, bytes, duration, rate, sfx,
                     status, type, notes, startTime, s.sessionId, CookieText(), startingSize, restartOffset);
}

void EventcLogItem(char code, const char *eventName, const char *path, const char *text1, const char *text2,
                   const char *text3)
{
    if (!Wanted(ItemBitOf(code)))
        return;
    const ShmSlot &s = Slot();
    EventMessageSend(code, "%s\n%s\n%s\n%s\n%s\n%s\n%.400s\n%s\n%s\n%s\n%s\n%s\n\n", eventName, s.user,
                     s.restriction, s.loginId, s.domain, s.host, path, text1, text2, text3, s.sessionId,
                     CookieText());
}

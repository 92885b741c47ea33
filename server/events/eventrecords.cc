// The four event records: login, logout, transfer and item.  Each begins with
// the record's name and the session's user fields and ends with the session
// identifier and the cookie; each is sent only when events are in use and the
// type mask ("eventd-transaction-types") has its bit.
#include <cstddef>
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

// Each record a session sends: its queue type, its name (the first field)
// and the field that holds the session identifier, which the cookie follows.
struct RecordKind {
    char type;
    const char *name;
    int sessionField;
};
constexpr RecordKind kRecordKinds[] = {
    {'I', "LOGIN", 6},     {'O', "LOGOUT", 16}, {'U', "UPLOAD", 15}, {'D', "DOWNLOAD", 15}, {'T', "DIRLIST", 10},
    {'D', "DELETE", 10},   {'M', "MKDIR", 10},  {'C', "CHMOD", 10},  {'L', "SYMLINK", 10},  {'N', "RENAME", 10},
};
constexpr int kMaxCheckedFields = 18;     // up to LOGOUT's cookie

struct Field {
    const char *text;
    size_t len;
};

bool FieldIs(const Field &f, const char *text)
{
    return f.len == strlen(text) && memcmp(f.text, text, f.len) == 0;
}

}  // namespace

bool EventRecordIsOwn(char type, const char *body, size_t len)
{
    Field f[kMaxCheckedFields];
    int n = 0;
    for (const char *p = body, *end = body + len; n < kMaxCheckedFields && p < end; n++) {
        const auto *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == nullptr)
            break;
        f[n] = {p, static_cast<size_t>(nl - p)};
        p = nl + 1;
    }
    const RecordKind *kind = nullptr;
    for (const RecordKind &k : kRecordKinds) {
        if (n > 0 && k.type == type && FieldIs(f[0], k.name))
            kind = &k;
    }
    // The fields a consumer reads by their place: a name with a line feed
    // in it (a path) moves them, and such a record is refused as well.
    if (kind == nullptr || n < kind->sessionField + 2)
        return false;
    const ShmSlot &s = Slot();
    return FieldIs(f[1], s.user) && FieldIs(f[2], s.restriction) && FieldIs(f[3], s.loginId) &&
           FieldIs(f[4], s.domain) && FieldIs(f[5], s.host) && FieldIs(f[kind->sessionField], s.sessionId) &&
           FieldIs(f[kind->sessionField + 1], CookieText());
}

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

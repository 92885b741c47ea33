// Event messages: one short text message to an outside event consumer for each
// login, logout, transfer (at its start and at its end) and file-management
// item, through a System V message queue on this host or as UDP datagrams.
// Delivery is best effort: a message that cannot be queued or sent is dropped
// and the failure is logged.  The frame is in eventframe.h.
//
// The consumer address ("zorvad_eventd") and the type mask
// ("eventd-transaction-types") are settings of config/config.h.
#pragma once

#include "sio.h"

#include <netinet/in.h>
#include <sys/types.h>

#include <ctime>

constexpr int kEventCookieSize = 80;
constexpr int kEventUdpLocalPort = 9720;       // the local port of the UDP channel

// Type mask bits (gEventdTypeMask): the transfer-log letters' bits.
constexpr int kEventDownload = 0x001;
constexpr int kEventUpload = 0x002;
constexpr int kEventLogin = 0x100;
constexpr int kEventLogout = 0x200;

extern int gUseEventServer;                    // events are sent (0 off)
extern SioAddr gEventServerAddr;               // UDP destination
extern int gEventSocket;                       // UDP socket, -1 when none
extern key_t gEventMessageQueueKey;            // 0: the UDP channel
extern mode_t gEventMessageQueueMode;
extern uid_t gEventMessageQueueUID;            // 0: left as it is
extern gid_t gEventMessageQueueGID;            // 0: left as it is
extern long gEventMessageQueueSize;            // byte limit; -1: left as it is
extern int gEventMessageQueueID;               // the attached queue, -1 when none
extern unsigned char gEventdCookie[kEventCookieSize];   // handed to the authentication service
extern const unsigned char gEmptyCookie[kEventCookieSize];
extern time_t gNextEventErr;                   // earliest time the next queue failure is logged

// The cookie the records carry: the authentication service's cookie, which
// its client (a higher layer) names here once per session; empty until then.
void SetEventRecordCookie(const unsigned char *cookie);
const unsigned char *EventCookie();

// Resets the settings above (and the address text and type mask) to their
// initial values.
void InitEventHandling();
// Parses "zorvad_eventd": "mqueue:KEY[,MODE[,UID[,GID[,SIZE]]]]" or
// "HOST:PORT[;ONOFF]".  0, or -1 after printing the error to standard error
// (events are then off).
[[nodiscard]] int InitEventAddr();
// Gets the queue or opens the UDP socket when events are in use; -1 when the
// channel cannot be set up (start-up stops).
[[nodiscard]] int InitEventSock();

// The records.  Each is sent only when events are in use and the type mask
// allows it; the user fields come from the own status slot.
void EventcLogLogin();
void EventcLogLogout(int duration, int logins, const char *lastResult, int downloadsOk, int downloadsFailed,
                     int uploadsOk, int uploadsFailed, int listingsOk, int listingsFailed, int endCode);
// eventName "DOWNLOAD" or "UPLOAD"; status "START" for the start event, else
// the transfer's result.
void EventcLogTransfer(const char *eventName, const char *path, long long bytes, const char *sfx,
                       const char *status, char type, const char *notes, unsigned long long startTime,
                       long long startingSize, long long restartOffset, double duration, double rate);
// code: the transfer-log letter (T, D, M, C, L, N); other codes are not sent.
void EventcLogItem(char code, const char *eventName, const char *path, const char *text1, const char *text2,
                   const char *text3);
// True when the body (len bytes) is one of the records above with this
// process's own user fields, session identifier and cookie, under the type
// that record is sent with: a session's process asks its pool child to queue
// only such records.
[[nodiscard]] bool EventRecordIsOwn(char type, const char *body, size_t len);

// Frames the body (each field followed by "\n", then one more "\n") and sends
// it with the message type on the channel that is set up; failures are logged
// (queue failures at most once every 300 seconds) and the message is dropped.
void EventMessageSend(char type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Transfer records: the transfer-log line of every download and upload, its
// event record and syslog line, the session's counters and the statistics.
#include "session/prelogin.h"
#include "transfer/xferlog.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "Strn.h"
#include "config/config.h"
#include "events/events.h"
#include "log/log.h"
#include "quota/quota.h"
#include "session/shell.h"
#include "status/shm.h"
#include "sio.h"

int gUploading;
int gXNoteBits;
char gSfx[kXferSfxSize];
double gDura;
struct timeval gXferStart;

namespace {

constexpr const char *kResultNames[] = {"OK", "ABOR", "ERROR", "INCOMPLETE", "NOENT", "PERM"};

// The session's user fields; a process without a slot uses empty ones.
const ShmSlot *Slot()
{
    static const ShmSlot kNoSession {};
    return gRUserPtr != nullptr ? gRUserPtr : &kNoSession;
}

bool TransferLogOn(char letter)
{
    return gLogXfers && (gLogXferTypeMask & LogXferTypeBit(letter)) != 0;
}

void WriteXferLogLine(const XferLogFields &f)
{
    char line[kLogTextMax + 1];
    FormatXferLogLine(line, sizeof(line), f);
    Log(kLogXfer, "%s", line);
}

void WriteEventRecord(const XferLogFields &f)
{
    const char *processor = gUploading ? gUploadEventProcessor : gDownloadEventProcessor;
    if (processor[0] == '\0')
        return;
    const ShmSlot *s = Slot();
    Log(kLogEvent, "%s\t%s\t%s\t%s\t%s\t%s\t%.400s\t%lld\t%.3f\t%.3f\t%s\t%s\t%c\t%s\t%lld\t%s\t%lld\t%lld\n",
        gUploading ? "UPLOAD" : "DOWNLOAD", s->user, s->restriction, s->loginId, s->domain, s->host, f.path,
        f.bytes, f.duration, f.rate, f.sfx, f.result, f.type, f.notes, f.startTime, f.sessionId, f.startingSize,
        f.restartedAt);
}

// The event message of the transfer (the same facts as its log line).
void SendTransferEvent(const XferLogFields &f)
{
    EventcLogTransfer(gUploading ? "UPLOAD" : "DOWNLOAD", f.path, f.bytes, f.sfx, f.result, f.type, f.notes,
                      static_cast<unsigned long long>(f.startTime), f.startingSize, f.restartedAt, f.duration,
                      f.rate);
}

// The fields every record shares, from the session and the transfer state.
XferLogFields CommonFields(char letter)
{
    const ShmSlot *s = Slot();
    XferLogFields f {};
    f.letter = letter;
    f.path = gCurXferFile;
    f.user = s->user;
    f.loginId = s->loginId;
    f.host = s->host;
    f.sfx = gSfx;
    f.type = gType;
    f.startTime = gXferStart.tv_sec;
    f.sessionId = s->sessionId;
    f.startingSize = gStartingSize;
    f.restartedAt = gRestartedAt;
    return f;
}

void CountTransfer(int result, int started, int64_t bytes, double duration)
{
    const bool ok = started && result == kXferOK;
    if (started) {
        (gUploading ? gTotalBytesStor : gTotalBytesRetr) += bytes;
        if (bytes > kXferBigBytes) {
            gTotalBytesXferBig += bytes;
            gTotalSecsXferBig += duration;
        }
    }
    if (gUploading)
        (ok ? gNumSuccessfulUploads : gNumFailedUploads)++;
    else
        (ok ? gNumSuccessfulDownloads : gNumFailedDownloads)++;
}

}  // namespace

void ResetXferState(int uploading)
{
    gUploading = uploading;
    gRUserPtr->state = gLoggedIn ? kShmStateLoggedIn : kShmStateConnected;
    gCurXferFile[0] = '\0';
    gBytesRetr = gBytesStor = 0;
    gTransferStarted = 0;
    gStartingSize = -1;
    gRestartedAt = 0;
    gXNoteBits = 0;
    gXNote[0] = '\0';
    gSfx[0] = '\0';
    gDura = 0.0;
    gettimeofday(&gXferStart, nullptr);
}

void NoteXferStart()
{
    gettimeofday(&gXferStart, nullptr);
}

void CalculateTransferDuration()
{
    gDura = Duration(&gXferStart);
}

const char *XferResultName(int result)
{
    if (result < 0 || result >= static_cast<int>(std::size(kResultNames)))
        return "ERROR";
    return kResultNames[result];
}

void FormatXferNotes(char *dst, size_t size, int bits, const char *portType)
{
    if (size == 0)
        return;
    dst[0] = '\0';
    if (bits & kXNoteAppend)
        Strncat(dst, "Ap", size);
    if (bits & kXNoteModeB)
        Strncat(dst, "Bl", size);
    if (bits & kXNoteMmap)
        Strncat(dst, "Mm", size);
    if (portType != nullptr)
        Strncat(dst, portType, size);
    if (bits & kXNoteRestarted)
        Strncat(dst, "Rz", size);
    if (bits & kXNoteSendfile)
        Strncat(dst, "Sf", size);
}

int FormatXferLogLine(char *dst, size_t size, const XferLogFields &f)
{
    return snprintf(dst, size, "%c,%.400s,%lld,%.3f,%.3f,%.63s,%.63s,%.63s,%s,%.10s,%c,%s,%lld,%s,%lld,%lld,\n",
                    f.letter, f.path, f.bytes, f.duration, f.rate, f.user, f.loginId, f.host, f.sfx, f.result,
                    f.type, f.notes, f.startTime, f.sessionId, f.startingSize, f.restartedAt);
}

void LogTransferStart()
{
    if (gCurXferFile[0] == '\0')
        return;
    const char letter = gUploading ? 's' : 'r';
    XferLogFields f = CommonFields(letter);
    f.result = "START";
    f.notes = "";
    if (gLogXferStarts && TransferLogOn(gUploading ? 'S' : 'R'))
        WriteXferLogLine(f);
    SendTransferEvent(f);    // the start message does not depend on "log-xfer-starts"
}

void LogTransfer(int result, int started)
{
    ShmNoteActivity();          // the idle time counts from the transfer's end
    gRUserPtr->state = gLoggedIn ? kShmStateLoggedIn : kShmStateConnected;
    if (gCurXferFile[0] == '\0')
        return;
    const int savedErrno = errno;

    const double duration = gDura < kXferMinDuration ? kXferMinDuration : gDura;
    int64_t bytes = gUploading ? gBytesStor : gBytesRetr;
    char notes[kXferNotesSize] = "";
    if (started) {
        FormatXferNotes(notes, sizeof(notes), gXNoteBits, gDataPortType);
    } else {
        bytes = 0;
        gSfx[0] = '\0';
    }
    Strncpy(gXNote, notes);
    CountTransfer(result, started, bytes, duration);
    StatTransfer(gUploading != 0, result, bytes, duration, gRUserPtr->domain);
    if (ShmSlotIsMailbox())
        CountTransferForDomain(gUploading != 0, bytes);
    Strncpy(gLastXferResult, XferResultName(result));

    XferLogFields f = CommonFields(gUploading ? 'S' : 'R');
    f.bytes = bytes;
    f.duration = duration;
    f.rate = started ? static_cast<double>(bytes) / 1024.0 / duration : 0.0;
    f.result = XferResultName(result);
    f.notes = notes;
    if (TransferLogOn(f.letter))
        WriteXferLogLine(f);
    WriteEventRecord(f);
    SendTransferEvent(f);
    if (gSyslog)
        syslog(LOG_INFO, "  %s %llu bytes in %.2f sec (%s)", gUploading ? "UL" : "DL",
               static_cast<unsigned long long>(bytes), duration, f.result);
    if (gLoggedIn && !gIsAnon)
        LogQuotaWarnings();

    gCurXferFile[0] = '\0';
    gBytesRetr = gBytesStor = 0;
    gTransferStarted = 0;
    gStartingSize = -1;
    gRestartedAt = 0;
    gXNoteBits = 0;
    gSfx[0] = '\0';
    gDura = 0.0;
    errno = savedErrno;
}

int TransferRecordPending()
{
    return gCurXferFile[0] != '\0' && (gBytesRetr > 0 || gBytesStor > 0 || gTransferStarted);
}

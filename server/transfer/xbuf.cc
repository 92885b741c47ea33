// The transfer output buffer (XBuf): REST skipping, MODE B framing, the
// download bandwidth limit and the client's interrupt while writing.
#include "transfer/xbuf.h"

#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstring>

#include "config/config.h"
#include "session/shell.h"
#include "tls/tls.h"
#include "transfer/tlsdata.h"
#include "sio.h"
#include "base/process.h"
#include "status/shm.h"

int64_t gXBufTotalHandled;
int64_t gXBufTotalWrote;
int gXBufLastDescriptor;
struct timeval gXBufStartTime;

namespace {

void SleepMicroseconds(long long usec)
{
    if (usec >= 1000000) {
        sleep(static_cast<unsigned>(usec / 1000000));
        usec %= 1000000;
    }
    if (usec > 0)
        usleep(static_cast<useconds_t>(usec));
}

// Three bytes in front of the data hold the MODE B header, so that a block
// goes out in one write.
char gXBufSpace[kXBufModeBHeaderSize + kXBufSize];
char *const gXBufData = gXBufSpace + kXBufModeBHeaderSize;
size_t gXBufFill;
int gXBufCanceled;
int gXBufError;

// Keeps the download bandwidth limit: waits until the bytes written so far
// are due.
void WaitForBandwidth()
{
    if (gRetrBandwidthLimit <= 0)
        return;
    const double due = static_cast<double>(gXBufTotalWrote) / (gRetrBandwidthLimit * 1024.0)
                       - Duration(&gXBufStartTime);
    if (due > 0.0)
        gXBufSleep(static_cast<long long>(due * 1e6));
}

// Writes to the data connection while the client's interrupt may cut the
// write: the SIGURG handler jumps back here.  The jump leaves the timed write
// of the socket library half done, so its alarm and handlers are put right.
int WriteCancelable(const char *p, size_t n)
{
    if (TlsActive(kTlsData)) {
        // Under TLS the ABOR comes on the control connection, not as a signal.
        const int result = DataTlsWrite(p, n);
        if (result == kTlsInterrupted) {
            gCancel = SIGURG;
            gXBufCanceled = 1;
            return 0;
        }
        return result;
    }
    struct sigaction savedAlarm {};
    struct sigaction savedPipe {};
    sigaction(SIGALRM, nullptr, &savedAlarm);
    sigaction(SIGPIPE, nullptr, &savedPipe);
    if (sigsetjmp(gCancelJmp, 1) != 0) {
        alarm(0);
        gSioCanJmp = 0;
        sigaction(SIGALRM, &savedAlarm, nullptr);
        sigaction(SIGPIPE, &savedPipe, nullptr);
        gXBufCanceled = 1;
        return 0;
    }
    gCancelJmpReady = 1;
    const int result = SWrite(gData, p, n, gXferTimeout);
    gCancelJmpReady = 0;
    return result;
}

// One block out: in MODE B with its header; nothing once cancelled or failed.
int Send(int descriptor)
{
    const size_t n = gXBufFill;
    gXBufFill = 0;
    if (gXBufCanceled)
        return 0;
    if (gXBufError != 0)
        return gXBufError;
    const char *p = gXBufData;
    size_t total = n;
    if (gMode == 'B') {
        char *h = gXBufData - kXBufModeBHeaderSize;
        h[0] = static_cast<char>(descriptor);
        h[1] = static_cast<char>((n >> 8) & 0xFF);
        h[2] = static_cast<char>(n & 0xFF);
        p = h;
        total += kXBufModeBHeaderSize;
        gXBufLastDescriptor = descriptor;
    }
    if (total == 0)
        return 0;
    WaitForBandwidth();
    const int result = WriteCancelable(p, total);
    if (gXBufCanceled)
        return 0;
    if (result != static_cast<int>(total)) {
        gXBufError = result < 0 ? result : kSioErrSystem;
        return gXBufError;
    }
    gXBufTotalWrote += static_cast<int64_t>(total);
    ShmNoteActivity();
    return result;
}

}  // namespace

void (*gXBufSleep)(long long usec) = SleepMicroseconds;

void ResetXBuf()
{
    gCancel = 0;
    gXBufCanceled = 0;
    gXBufError = 0;
    gXBufFill = 0;
    gXBufTotalHandled = 0;
    gXBufTotalWrote = 0;
    gXBufLastDescriptor = 0;
    gettimeofday(&gXBufStartTime, nullptr);
}

int XBufWrite(const void *data, size_t len)
{
    if (gXBufError != 0)
        return gXBufError;
    const char *p = static_cast<const char *>(data);
    len = std::min(len, static_cast<size_t>(kXBufSize));
    const int taken = static_cast<int>(len);

    // The part of the stream before the restart offset is not sent.
    if (gXBufTotalHandled < gRestartPt) {
        const int64_t skip = std::min<int64_t>(gRestartPt - gXBufTotalHandled, static_cast<int64_t>(len));
        gXBufTotalHandled += skip;
        p += skip;
        len -= static_cast<size_t>(skip);
        if (len == 0)
            return taken;
    }
    if (gXBufFill + len > static_cast<size_t>(kXBufSize)) {
        const int result = Send(0);
        if (result < 0)
            return result;
    }
    memcpy(gXBufData + gXBufFill, p, len);
    gXBufFill += len;
    gXBufTotalHandled += static_cast<int64_t>(len);
    return taken;
}

int XBufFlush(int descriptor)
{
    if (gMode == 'B' && gXBufFill == 0 && gXBufLastDescriptor == kModeBEndOfFile)
        return 0;
    return Send(descriptor);
}

int XBufCanceled()
{
    return gXBufCanceled;
}

int XBufFailed()
{
    return gXBufError;
}

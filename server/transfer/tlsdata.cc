// Data connections under TLS: the handshake with its resumption check, and
// the reads and writes of the transfer loops.
#include "transfer/tlsdata.h"

#include "config/config.h"
#include "log/log.h"
#include "session/shell.h"
#include "tls/tls.h"
#include "transfer/data.h"
#include "transfer/urgent.h"

namespace {

// The watch for ABOR on the control connection.
TlsWatch ControlWatch()
{
    return TlsWatch{gCtrl, TlsControlCheck};
}

void CloseRefused()
{
    TlsDrop(kTlsData);
    if (gData >= 0)
        SClose(gData, kDataCloseTimeout);
    gData = -1;
}

void LogHandshakeFailed(const char *why)
{
    Log(kLogMisc, "TLS handshake on the data connection from %.63s failed: %s.\n", gRemoteDataAddrStr, why);
}

}  // namespace

void NoteDataTlsFailed(const char *why)
{
    LogHandshakeFailed(why);
}

void NoteDataTlsNotResumed()
{
    Log(kLogMisc, "Data connection from %.63s refused: it did not resume the control connection's TLS session.\n",
        gRemoteDataAddrStr);
}

int StartDataTls(int seconds)
{
    const int rc = TlsAccept(kTlsData, gData, seconds);
    if (rc < 0) {
        if (rc == kTlsNotResumed)
            NoteDataTlsNotResumed();
        else
            LogHandshakeFailed(TlsLastError());
        CloseRefused();
        return rc == kTlsNotResumed ? kDataTlsNotResumed : kDataTlsFailed;
    }
    return CheckDataTlsResumed();
}

int CheckDataTlsResumed()
{
    // A data connection that only the control connection's client can have
    // made: one that resumes its TLS session.
    if (!TlsDataResumesControl()) {
        NoteDataTlsNotResumed();
        CloseRefused();
        return kDataTlsNotResumed;
    }
    _Trace(kLogMisc, "Data connection uses %s (resumed).\n", TlsDescription(kTlsData));
    return 0;
}

void ReplyDataTlsRefused(int why)
{
    gFailedDataConnections++;
    if (why == kDataTlsNotResumed)
        Reply("522 Data connections must resume the TLS session of the control connection.\r\n");
    else
        Reply("425 TLS handshake on the data connection failed.\r\n");
}

int DataTlsWrite(const char *p, size_t n)
{
    const TlsWatch w = ControlWatch();
    return TlsWrite(kTlsData, p, n, gXferTimeout, &w);
}

int DataTlsRead(char *p, size_t n)
{
    const TlsWatch w = ControlWatch();
    return TlsRead(kTlsData, p, n, gXferTimeout, &w);
}

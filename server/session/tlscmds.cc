// The commands of FTP over TLS (RFC 4217): AUTH, PBSZ, PROT and CCC, and
// the rules of the "tls" setting that USER and the data connections obey.
// With tls off AUTH stays unimplemented and the other three unrecognised,
// as they always were (the command table sends them there).
#include <cstring>
#include <strings.h>

#include "base/exit.h"
#include "config/config.h"
#include "log/log.h"
#include "session/shell.h"
#include "tls/tls.h"

int gPbszDone;
int gProtPrivate;

void Auth(char *arg)
{
    if (gTlsMode == kTlsOff) {
        NotImplemented();
        return;
    }
    if (TlsActive(kTlsControl)) {
        Reply("503 Security data exchange already done.\r\n");
        return;
    }
    if (strcasecmp(arg, "TLS") != 0 && strcasecmp(arg, "SSL") != 0) {
        Reply("504 Security mechanism not understood; use AUTH TLS.\r\n");
        return;
    }
    // A login made in the clear would carry over into the encrypted
    // session as if it had been protected: protection begins before login.
    if (gLoggedIn) {
        Reply("503 AUTH must come before login.\r\n");
        return;
    }
    if (!TlsAvailable()) {
        Reply("431 Unable to accept security mechanism.\r\n");
        return;
    }
    Reply("234 Proceed with negotiation.\r\n");
    // Nothing the client sent after AUTH may be read as a command of the
    // encrypted session.
    FlushSReadlineInfo(&gSrl);
    if (TlsAccept(kTlsControl, gCtrl, gIdleTimeout > 0 ? gIdleTimeout : kReplyTimeout) < 0) {
        Log(kLogMisc, "TLS handshake on the control connection from %.63s failed: %s.\n", gRUserPtr->addr,
            TlsLastError());
        DoneConnection(kEndTlsHandshake);
    }
    _Trace(kLogMisc, "Control connection now uses %s.\n", TlsDescription(kTlsControl));
    gPbszDone = 0;
    gProtPrivate = 0;
}

void Pbsz(char *arg)
{
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    if (!TlsActive(kTlsControl)) {
        Reply("503 PBSZ needs AUTH first.\r\n");
        return;
    }
    gPbszDone = 1;
    // A stream protocol has no buffer to size: whatever was asked, 0.
    if (strcmp(arg, "0") == 0)
        Reply("200 PBSZ 0 successful.\r\n");
    else
        Reply("200 PBSZ=0\r\n");
}

void Prot(char *arg)
{
    if (arg[0] == '\0') {
        BadArgs();
        return;
    }
    if (!gPbszDone) {
        Reply("503 PROT needs PBSZ first.\r\n");
        return;
    }
    if (strcasecmp(arg, "C") == 0) {
        gProtPrivate = 0;
        Reply("200 Protection level set to Clear.\r\n");
    } else if (strcasecmp(arg, "P") == 0) {
        gProtPrivate = 1;
        Reply("200 Protection level set to Private.\r\n");
    } else if (strcasecmp(arg, "S") == 0 || strcasecmp(arg, "E") == 0) {
        Reply("536 Protection level not supported.\r\n");
    } else {
        Reply("504 Protection level not understood.\r\n");
    }
}

void Ccc(char *)
{
    // Falling back to clear text would let a middleman read and change every
    // later command.
    Reply("534 Clearing the command channel is refused by policy.\r\n");
}

int TlsRequiredForLogin(int anonymous)
{
    if (TlsActive(kTlsControl))
        return 0;
    return gTlsMode == kTlsRequiredAll || (gTlsMode == kTlsRequiredNonAnon && !anonymous);
}

int TlsRequiredForData()
{
    if (gProtPrivate)
        return 0;
    return gTlsMode == kTlsRequiredAll || (gTlsMode == kTlsRequiredNonAnon && !gIsAnon);
}

// Shared by the files of server/tls/ only.
#pragma once

#include "tls/tlsapi.h"

// This process's context (TlsLoadContext); nullptr without TLS.
extern SSL_CTX *gTlsCtx;

// The context's ticket callback: remembers the secret of each ticket the
// control connection is given (a data connection must resume one of them).
int TlsNoteTicket(SSL *ssl, void *arg);

// The callback of a context without the key (TlsKeepOnlyResumption): a
// handshake that does not resume a session ends here, noted as such.
int TlsRefuseFullHandshake(SSL *ssl, void *arg);

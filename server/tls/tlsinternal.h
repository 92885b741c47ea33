// Shared by the files of server/tls/ only.
#pragma once

#include <openssl/ssl.h>

// This process's context (TlsLoadContext); nullptr without TLS.
extern SSL_CTX *gTlsCtx;

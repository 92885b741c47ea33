// The general configuration file (general.cf): the process-wide settings its
// keys set, the reader and the value parsers shared with domain.cf.
//
// Every global below holds its default before the file is read (initial value
// and SetConfigDefaults()); ReadConfigFile() overrides what the file names and
// the command line may override it again afterwards.
#pragma once

#include <cstdio>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/types.h>

#include "log/log.h"
#include "proxy/proxyheader.h"
#include "sio.h"

// ---- Sizes of the text settings --------------------------------------------
constexpr int kConfigPathSize = 256;       // paths the file names without a fixed size
constexpr int kLogPathSize = 128;          // log path patterns (also per domain set)
constexpr int kPIDFileSize = 128;
constexpr int kConnectHeaderSize = 80;
constexpr int kEtcListPathSize = 64;       // u-deny-users-file, u-valid-user-shell-file
constexpr int kRequiredAnonPasswdSize = 64;
constexpr int kCoreSubDirSize = 16;
constexpr int kLsDateFormatSize = 64;
constexpr int kServiceAddrSize = 128;      // zorvad_authd, zorvad_eventd
constexpr int kMaxPathListEntries = 32;    // allow-paths, deny-paths
constexpr int kPathListEntrySize = 512;

// ---- Process pool and ports ---------------------------------------------------
extern int gServerPort;                    // port: control port (21); active data from port - 1
extern int gNumChildren;                   // max-users (1)
extern int gMinChildren;                   // min-users (1)
// front-uid-base (2100000000): front n runs as uid and gid base + n; 0 once
// the master found the range taken, when every front runs as nobody.
extern int gFrontUidBase;
extern int gMaxUsersPerIP;                 // max-users-per-ip (0 = no limit)
extern int gMaxAnonymousUsers;             // max-anonymous-users (-1 = no limit)
extern int gChildLifetime;                 // server-lifetime, seconds (43200; <= 0 unlimited)
extern char gPIDFile[kPIDFileSize];        // pid-file (empty; required)
extern key_t gShmKeyBase;                  // ipc-key (0x77C0FFEE; -k overrides)
extern SioAddr gSingleServerAddress;       // single-server-address (IPv4 or IPv6; 0.0.0.0 = every address)
extern int gListenIPv6;                    // listen-ipv6: also listen on [::] (IPv6 only there)
extern int gListenBacklogSize;             // listen-backlog-size (0 = use 3)
extern int gReduceSocketBufferMemory;      // reduce-socket-buffer-memory (off)
extern int gCtrlRBufSize, gCtrlSBufSize;   // ctrl-rbuf-size, ctrl-sbuf-size (0)
extern int gNice;                          // nice (-3)
extern int gSocketKeepAlive;               // socket-keep-alive (on)
extern int gAggressiveLeakDetection;       // aggressive-leak-detection (on)
extern int gFdDebug;                       // fd-debug (off)
extern int gMemoryDebug;                   // memory-debug (always left off here)
extern int gSioSignalMode;                 // sio-signal-mode (1)
extern int gUseTimeCache;                  // t-cache (on)
extern char gCoreDir[kConfigPathSize];     // core-dir (empty)
extern char gCoreSubDir[kCoreSubDirSize];  // core-subdir: "main" when on (empty)

// ---- Verbose level and logging ---------------------------------------------------
// gTraceLogging, the verbose level (verbose, verbose-logging, verbose-mode,
// debug, debuglevel), is declared with the log client in log/log.h.
extern char gLogMiscPath[kLogPathSize];    // log-misc (empty; required)
extern char gLogStatPath[kLogPathSize];    // log-stat (empty)
extern int gLogXfers;                      // log-xfers (on)
extern int gLogXferTypeMask;               // log-xfer-transaction-types (255)
extern int gLogXferStarts;                 // log-xfer-starts (off)
extern int gLogSessions;                   // log-sessions: 0, 1, 2 = "yes-verbose" (0)
extern int gLogSessionStarts;              // log-session-starts (off)
extern int gLogTimestampFractionalSeconds; // log-timestamp-fractional-seconds (0)
extern mode_t gLogUmask;                   // log-umask (077)
extern uid_t gLogOwner;                    // log-owner ((uid_t) -1 = unchanged)
extern gid_t gLogGroup;                    // log-group ((gid_t) -1 = unchanged)
extern int gSyslog;                        // syslog (off)
extern int gWtmpLogMode;                   // wtmp-log-mode: 0 off, 1 all, 2 non-anonymous only (0)
extern char gDownloadEventProcessor[kConfigPathSize]; // download-event-processor (empty)
extern char gUploadEventProcessor[kConfigPathSize];   // upload-event-processor (empty)
extern char gLoginEventProcessor[kConfigPathSize];    // login-event-processor (empty)
extern char gLogoutEventProcessor[kConfigPathSize];   // logout-event-processor (empty)

// ---- Time-outs and throttling -----------------------------------------------------
extern int gIdleTimeout;                   // idle-timeout, seconds (300)
extern int gLoginTimeout;                  // login-timeout, seconds (15)
extern int gConnTimeout;                   // conn-timeout, seconds (15)
extern int gXferTimeout;                   // xfer-timeout, seconds (3600)
extern int gCmdThrottle;                   // throttle (300 = off; "no" gives 0)
extern double gNoopDelay;                  // noop-delay, seconds (1/3)
extern int gSleepSecondsAfterTransfer;     // sleep-seconds-after-transfer (0)
extern int gSleepSecondsAfterActiveTransfer; // sleep-seconds-after-active-transfer (0)

// ---- Client admission ----------------------------------------------------------------
extern int gDNSLookup;                     // dns-lookup (off); forced on by tcp-wrappers
extern int gUseTCPWrappers;                // tcp-wrappers: 0 off, 1 at connect, 2 "user" (0)
extern int gMaxLoginFailures;              // max-login-failures (2)
extern char gConnectHeader[kConnectHeaderSize]; // banner (built by InitConnectHeader when unset)
extern int gCustomConnectHeader;           // 1 when banner was given
extern char gRefuseMessageFile[kConfigPathSize]; // refuse-message (empty)
extern int gPrintUserNumber;               // print-user-number (off)
extern char gCdMessage[64];                // cd-message ("no" = empty; empty)
extern char gFTPBugs[128];                 // ftp-bugs: contact address shown by HELP (empty)

// ---- Data connections ---------------------------------------------------------------
extern int gAllowPORT;                     // allow-port (on)
extern int gAllowPASV;                     // allow-pasv (on; bool-or-int)
extern int gAllowEpsvEprt;                 // allow-epsv-eprt: EPSV and EPRT for IPv4 (off)

// ---- FTP over TLS (explicit, AUTH TLS) ------------------------------------------------
enum TlsMode { kTlsOff = 0, kTlsAllowed = 1, kTlsRequiredNonAnon = 2, kTlsRequiredAll = 3 };
extern int gTlsMode;                       // tls: off, allowed, required-nonanon, required-all (off)
extern char gTlsCertificateFile[kConfigPathSize]; // tls-certificate-file: PEM, chain after it (empty)
extern char gTlsKeyFile[kConfigPathSize];  // tls-key-file: PEM private key (empty)
extern int gTlsMinProtocol;                // tls-min-protocol: 12 for TLS 1.2, 13 for 1.3 (12)
extern in_addr_t gPassiveIP;               // passive-ip (INADDR_NONE = none, network order)
extern int gEphemeralPortLo, gEphemeralPortHi; // ephemeral-port-range (0, 0 = system chooses)
extern int gAllowPasvPreconnections;       // allow-pasv-preconnections (2)
extern int gBindLocalDataPort;             // bind-local-data-port (on)
extern int gBindLocalDataPortDelay;        //   optional second number: delay seconds (0)
extern int gBindLocalDataPortRetries;      //   optional third number: retries (0)
extern int gAllowIncomingPortsBelow1024;   // allow-incoming-ports-below-1024 (on)
extern int gAllowOutgoingPortsBelow1024;   // allow-outgoing-ports-below-1024 (on)
extern int gAllowIncomingProxyDataConnections;  // allow-incoming-proxy-data-connections (off)
// proxy-protocol-from: the load balancers whose connections begin with a
// PROXY header naming the real client (none: no connection is read so).
constexpr int kMaxProxyFrom = 32;
extern ProxyNet gProxyFrom[kMaxProxyFrom];
extern int gNumProxyFrom;
extern int gAllowOutgoingProxyDataConnections;  // allow-outgoing-proxy-data-connections (off)
extern int gAllowOutgoingProxyDataConnectionPortsBelow1024; // (off)
extern int gAllowProxyWhenControlOriginatesFromLoopback;    // (off)
extern int gDataRBufSize, gDataSBufSize;   // data-rbuf-size, data-sbuf-size (0; < 512 ignored)
extern int gMaxDataRBufSize, gMaxDataSBufSize; // max-data-rbuf-size, max-data-sbuf-size (262144; < 512 ignored)

// ---- Transfers ----------------------------------------------------------------------
extern char gDefaultTransferType;          // default-transfer-type: 'A' or 'I' ('A')
extern int gAllowAsciiDownloads;           // allow-ascii-downloads (on)
extern int gAllowAsciiUploads;             // allow-ascii-uploads (on)
extern int gAsciiMode;                     // ascii-mode 0..3 (3)
extern int gAsciiSizeMode;                 // ascii-size-mode (1)
extern int gAllowAppend;                   // allow-append (on)
extern int gAllowREST;                     // allow-resume (on)
extern int gSendfileIO;                    // sendfile-io (on)
extern int gMemoryMappedIO;                // memory-mapped-io (off)
extern int gLockDownloads;                 // lock-downloads (off)
extern int gLockUploads;                   // lock-uploads (off)
extern int gSyncWrites;                    // sync-writes: bit 1 fsync, bit 2 O_SYNC (0)
extern int gUploadTmpThenRename;           // upload-tmp-then-rename (off)
extern int gRequireImplicitAckForDownloads; // require-implicit-ack-for-downloads (off)
extern int gRequireImplicitAckForUploads;  // require-implicit-ack-for-uploads (off)
extern int gAllowTarRootDirs;              // allow-tar-root-dirs (off)
extern char gTarPath[kConfigPathSize];     // tar (empty)
extern char gZipPath[kConfigPathSize];     // zip (empty)
extern char gGzipPath[kConfigPathSize];    // gzip (empty)
extern char gCompressPath[kConfigPathSize]; // compress (empty)

// ---- Commands -------------------------------------------------------------------------
extern int gAllowFEAT;                     // allow-feat (on)
extern int gAllowMls;                      // allow-mls (on)
extern int gAllowCLNT;                     // allow-clnt (on)
extern int gAllowedSITECommands;           // allowed-site-commands (59)
extern int gRmdirR;                        // rmdir-recursive (off)

// ---- Anonymous users ----------------------------------------------------------------
extern int gAPasswordMode;                 // a-password-mode 0..4 (1 = "any")
extern char gRequiredAnonPasswd[kRequiredAnonPasswdSize]; // a-password-mode exactly <password>
extern int gAnonReadPermission;            // a-read-permission (on)
extern int gAnonWritePermission;           // a-write-permission (off)
extern mode_t gAnonUmask;                  // a-umask (022)
extern int gAPathnameFilter;               // a-pathname-filter (on)
extern int gAnonPwNames;                   // a-ls-names (off)
extern int gAllowIncoming;                 // a-allow-incoming (on)
extern int gAllowMkdirInsideIncoming;      // a-allow-mkdir-inside-incoming (off)
extern int gAllowDownloadFromIncoming;     // a-allow-download-from-incoming-dir (off)
extern char gAIncomingDir[kConfigPathSize]; // a-incoming-dir (empty)

// ---- Non-anonymous users ----------------------------------------------------------------
extern int gUserReadPermission;            // u-read-permission (on)
extern int gUserWritePermission;           // u-write-permission (on)
extern mode_t gUserUmask;                  // u-umask (022)
extern int gUPathnameFilter;               // u-pathname-filter (off)
extern int gNonAnonPwNames;                // u-ls-names (on)
extern int gURestrictEtc;                  // u-restrict-etc (on)
extern int gURestrictByPrimaryGroupOnly;   // u-restrict-by-primary-group-only (off)
extern int gUAlwaysRestrictVirtualUsers;   // u-always-restrict-virtual-users (on)
extern int gUAllowMultipleLoginsOnlyIfSameIP; // u-allow-multiple-logins-per-username-only-if-same-ip (off)
extern int gUTryTruncatedPasswords;        // u-try-truncated-passwords (off)
extern int gUsePam;                        // use-pam: system accounts checked through PAM (off)
extern int gUAutoChmodUploads;             // u-auto-chmod-uploads (off)
extern int gUVuserHomedirCanBeSymlink;     // u-vuser-homedir-can-be-symlink (off)
extern char gUStartPath[kConfigPathSize];  // u-start-path (empty; "@USERNAME@" expanded at login)
extern char gDenyUsersFile[kEtcListPathSize];   // u-deny-users-file ("/etc/ftpusers")
extern char gValidUserShellFile[kEtcListPathSize]; // u-valid-user-shell-file ("/etc/shells")
extern int gAllowU0;                       // allow-u0 (off)
extern char gCryptOptions[64];             // crypt-options (empty)

// ---- Paths ----------------------------------------------------------------------------
extern int gAllowBackslashAsPathSeparator; // allow-backslash-as-path-separator (off)
extern int gNFSRootSquash;                 // nfs-root-squash (off; any value but "no" turns it on)
extern int gStartupLResolve;               // startup-lresolve (on; "no" turns it off)
extern char gAllowPathsArray[kMaxPathListEntries][kPathListEntrySize]; // allow-paths
extern int gAllowPathLensArray[kMaxPathListEntries];
extern int gNumAllowPaths;
extern char gDenyPathsArray[kMaxPathListEntries][kPathListEntrySize];  // deny-paths
extern int gDenyPathLensArray[kMaxPathListEntries];
extern int gNumDenyPaths;

// ---- Listings ---------------------------------------------------------------------------
extern int gLsCacheSize;                   // ls-cache-size, bytes (150000)
extern int gLsMaxCacheDirs;                // ls-max-cache-dirs (64)
extern int gLsCacheDirAge;                 // ls-cache-dir-age, seconds (900)
extern int gLsRecycleProcessThreshold;     // ls-recycle-process-threshold (0)
extern int gLsHideInaccessibleItems;       // ls-hide-inaccessible-items (off)
extern int gLsHideDuplicateItems;          // ls-hide-duplicate-items (on)
extern int gLsShowSpecialFileTypes;        // ls-show-special-file-types (off)
extern int gLsAlwaysResolveLinks;          // ls-always-resolve-links (off)
extern int gLsLg;                          // ls-lg: omit the owner column (off)
extern int gLsTimeLocal;                   // ls-time-format: 1 "local", 0 GMT (1)
extern char gLsDateFormat[kLsDateFormatSize]; // ls-date-and-time-format as a strftime
                                           // format; empty = the classic listing format
extern int gSCache;                        // s-cache: status cache validity, seconds (300)

// ---- Quotas -------------------------------------------------------------------------------
extern int gVQuotas;                       // u-vquota (on)
extern int gCountOnlyFilesOwnedByUserTowardsQuota; // (on)
extern int gDeleteUploadedFileIfQuotaExceeded;     // (off)
extern int gAllowDownloadsIfQuotaExceeded;         // (on)

// ---- Outside services ---------------------------------------------------------------------
extern char gZorvadAuthdAddrStr[kServiceAddrSize];  // zorvad_authd (empty)
extern char gZorvadEventdAddrStr[kServiceAddrSize]; // zorvad_eventd (empty)
extern int gAuthDebug;                     // auth-debug, authd-debug (0)
extern int gAuthParanoia;                  // authd-paranoia (0)
extern int gAuthdAllowRootLogins;          // authd-allow-root-logins (0)
extern int gAuthTimeout;                   // authd-message-timeout, seconds (10)
extern int gEventdTypeMask;                // eventd-transaction-types (1023)
extern char gUnixDomainSocketDir[kConfigPathSize]; // unix-domain-socket-dir (empty)

// ---- Lists loaded after both files are read (PostReadConfigInit) -----------------------------
// Whole file with a line feed added before and after, so a name is found as "\nname\n";
// nullptr when not loaded.
extern char *gDenyFTPUsers;                // from u-deny-users-file
extern int gFTPUserIsBlacklisted;          // "ftp", "anonymous" or "_ftp" is a whole line there
extern char *gValidUserShells;             // from u-valid-user-shell-file
extern char gRefuseConnectionsMsg[8192];   // complete 421 reply for a full server

// ---- Reader and parsers -------------------------------------------------------------------
// Restores every key's default (and empties the loaded lists).
void SetConfigDefaults();

// Reads and applies general.cf; every error prints one message to standard
// error and leaves through Exit(1). Returns only on success.
void ReadConfigFile(const char *path);

// Splits one configuration line in place: '#' in the first column skips the
// line, elsewhere it ends it; the key ends at blank, '=', tab, CR or LF and the
// value is the rest up to CR/LF without trailing white space. Returns 0 for a
// line without a key, 1 otherwise (the value may be empty).
int SplitConfigLine(char *line, char **key, char **value);

// One line of a configuration file into buf, nullptr at the end. An overlong
// line is cut at the buffer and its rest skipped, not read as a line of its own.
// *hasNul tells whether the line held a NUL byte: its text ends there for the
// string functions, so the readers refuse such a line.
char *ReadConfigLine(FILE *fp, char *buf, size_t size, bool *hasNul);

// 1 when key (any case) is a key of the table shared by general.cf and domain.cf.
[[nodiscard]] int IsConfigKey(const char *key);

// yes/true = 1, no/false = 0, on = 1, off = 0, else a decimal number; empty = 0.
[[nodiscard]] int StrToBoolOrInt(const char *s);

// Octal mode; returns -1 for a value that is not octal or is above 0777.
[[nodiscard]] int StrToModeT(const char *s, mode_t *mode);

// The ids the server keeps for its processes without rights: front-uid-base
// itself (the helper that looks a client's name up), the fronts' ids above
// it, up to front-uid-base + max-users, and the next one (the logger's when
// log-owner is unset).  True when they stay below 2^31 - 1 and leave out
// nobody's 65534.
[[nodiscard]] bool FrontIdRangeValid();
// True when id is one of the fronts' ids (never while they run as nobody).
[[nodiscard]] bool IsFrontId(long id);
// The logger's own id (front-uid-base + max-users + 1); 0 when there is none.
[[nodiscard]] long LoggerReservedId();
// True when id is one of the ids above.
[[nodiscard]] bool IsReservedId(long id);

// Dotted address or host name to a network-order address; -1 when invalid.
[[nodiscard]] int ConfigAddress(const char *text, in_addr_t *addr);
// An IPv4 or IPv6 address (an IPv6 one may stand in brackets), or a name's
// first IPv4 address, else its first IPv6 one: 0, or -1.
[[nodiscard]] int ConfigSioAddress(const char *text, SioAddr *addr);

// Add the prefixes of a list separated by '|', tab, CR or LF. Return -1 after
// printing a message when the table is full.
[[nodiscard]] int SetAllowedPaths(const char *list);
[[nodiscard]] int SetRestrictedPaths(const char *list);
// Returns 0, or -1 after printing the message for an unknown SITE command.
[[nodiscard]] int SetAllowedSiteCommands(const char *list);
void SetLogXferTransactionTypes(const char *letters, int *mask);
void InitConnectHeader();

// Loaders called after both files are read. They log failures and return -1;
// start-up goes on without the list.
int LoadEtcShells();
int LoadEtcFtpusers();
int LoadRefuseConnectionsMsg(const char *path);

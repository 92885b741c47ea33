// general.cf: the settings, the key table with each key's kind and default,
// and the reader.
#include "config/config.h"

#include <grp.h>
#include <pwd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "Strn.h"
#include "base/exit.h"
#include "config/userclass.h"

// ---- The settings ------------------------------------------------------------
// Their defaults are the last column of the key table below (and the few in
// SetSpecialDefaults); SetConfigDefaults() applies them, once at program start
// and again whenever start-up (or a test) asks for a clean set.

int gServerPort;
int gNumChildren;
int gMinChildren;
int gFrontUidBase;
int gMaxUsersPerIP;
int gMaxAnonymousUsers;
int gChildLifetime;
char gPIDFile[kPIDFileSize];
key_t gShmKeyBase;
SioAddr gSingleServerAddress;
int gListenIPv6;
int gListenBacklogSize;
int gReduceSocketBufferMemory;
int gCtrlRBufSize, gCtrlSBufSize;
int gNice;
int gSocketKeepAlive;
int gAggressiveLeakDetection;
int gFdDebug;
int gMemoryDebug;
int gSioSignalMode;
int gUseTimeCache;
char gCoreDir[kConfigPathSize];
char gCoreSubDir[kCoreSubDirSize];

int gTraceLogging;
char gLogMiscPath[kLogPathSize];
char gLogStatPath[kLogPathSize];
int gLogXfers;
int gLogXferTypeMask;
int gLogXferStarts;
int gLogSessions;
int gLogSessionStarts;
int gLogTimestampFractionalSeconds;
mode_t gLogUmask;
uid_t gLogOwner;
gid_t gLogGroup;
int gSyslog;
int gWtmpLogMode;
char gDownloadEventProcessor[kConfigPathSize];
char gUploadEventProcessor[kConfigPathSize];
char gLoginEventProcessor[kConfigPathSize];
char gLogoutEventProcessor[kConfigPathSize];

int gIdleTimeout;
int gLoginTimeout;
int gConnTimeout;
int gXferTimeout;
int gCmdThrottle;
double gNoopDelay;
int gSleepSecondsAfterTransfer;
int gSleepSecondsAfterActiveTransfer;

int gDNSLookup;
int gUseTCPWrappers;
int gMaxLoginFailures;
char gConnectHeader[kConnectHeaderSize];
int gCustomConnectHeader;
char gRefuseMessageFile[kConfigPathSize];
int gPrintUserNumber;
char gCdMessage[64];
char gFTPBugs[128];

int gAllowPORT;
int gAllowPASV;
int gAllowEpsvEprt;
int gTlsMode;
char gTlsCertificateFile[kConfigPathSize];
char gTlsKeyFile[kConfigPathSize];
int gTlsMinProtocol;
in_addr_t gPassiveIP;
int gEphemeralPortLo, gEphemeralPortHi;
int gAllowPasvPreconnections;
int gBindLocalDataPort;
int gBindLocalDataPortDelay;
int gBindLocalDataPortRetries;
int gAllowIncomingPortsBelow1024;
int gAllowOutgoingPortsBelow1024;
int gAllowIncomingProxyDataConnections;
ProxyNet gProxyFrom[kMaxProxyFrom];
int gNumProxyFrom;
int gAllowOutgoingProxyDataConnections;
int gAllowOutgoingProxyDataConnectionPortsBelow1024;
int gAllowProxyWhenControlOriginatesFromLoopback;
int gDataRBufSize, gDataSBufSize;
int gMaxDataRBufSize, gMaxDataSBufSize;

char gDefaultTransferType;
int gAllowAsciiDownloads;
int gAllowAsciiUploads;
int gAsciiMode;
int gAsciiSizeMode;
int gAllowAppend;
int gAllowREST;
int gSendfileIO;
int gMemoryMappedIO;
int gLockDownloads;
int gLockUploads;
int gSyncWrites;
int gUploadTmpThenRename;
int gRequireImplicitAckForDownloads;
int gRequireImplicitAckForUploads;
int gAllowTarRootDirs;
char gTarPath[kConfigPathSize];
char gZipPath[kConfigPathSize];
char gGzipPath[kConfigPathSize];
char gCompressPath[kConfigPathSize];

int gAllowFEAT;
int gAllowMls;
int gAllowCLNT;
int gAllowedSITECommands;
int gRmdirR;

int gAPasswordMode;
char gRequiredAnonPasswd[kRequiredAnonPasswdSize];
int gAnonReadPermission;
int gAnonWritePermission;
mode_t gAnonUmask;
int gAPathnameFilter;
int gAnonPwNames;
int gAllowIncoming;
int gAllowMkdirInsideIncoming;
int gAllowDownloadFromIncoming;
char gAIncomingDir[kConfigPathSize];

int gUserReadPermission;
int gUserWritePermission;
mode_t gUserUmask;
int gUPathnameFilter;
int gNonAnonPwNames;
int gURestrictEtc;
int gURestrictByPrimaryGroupOnly;
int gUAlwaysRestrictVirtualUsers;
int gUAllowMultipleLoginsOnlyIfSameIP;
int gUTryTruncatedPasswords;
int gUsePam;
int gUAutoChmodUploads;
int gUVuserHomedirCanBeSymlink;
char gUStartPath[kConfigPathSize];
char gDenyUsersFile[kEtcListPathSize];
char gValidUserShellFile[kEtcListPathSize];
int gAllowU0;
char gCryptOptions[64];

int gAllowBackslashAsPathSeparator;
int gNFSRootSquash;
int gStartupLResolve;
char gAllowPathsArray[kMaxPathListEntries][kPathListEntrySize];
int gAllowPathLensArray[kMaxPathListEntries];
int gNumAllowPaths;
char gDenyPathsArray[kMaxPathListEntries][kPathListEntrySize];
int gDenyPathLensArray[kMaxPathListEntries];
int gNumDenyPaths;

int gLsCacheSize;
int gLsMaxCacheDirs;
int gLsCacheDirAge;
int gLsRecycleProcessThreshold;
int gLsHideInaccessibleItems;
int gLsHideDuplicateItems;
int gLsShowSpecialFileTypes;
int gLsAlwaysResolveLinks;
int gLsLg;
int gLsTimeLocal;
char gLsDateFormat[kLsDateFormatSize];
int gSCache;

int gVQuotas;
int gCountOnlyFilesOwnedByUserTowardsQuota;
int gDeleteUploadedFileIfQuotaExceeded;
int gAllowDownloadsIfQuotaExceeded;

char gZorvadAuthdAddrStr[kServiceAddrSize];
char gZorvadEventdAddrStr[kServiceAddrSize];
int gAuthDebug;
int gAuthParanoia;
int gAuthdAllowRootLogins;
int gAuthTimeout;
int gEventdTypeMask;
char gUnixDomainSocketDir[kConfigPathSize];

char *gDenyFTPUsers;
int gFTPUserIsBlacklisted;
char *gValidUserShells;
char gRefuseConnectionsMsg[8192];

// ---- The key table ---------------------------------------------------------------

namespace {

constexpr long kFrontIdLimit = 2147483647;    // every front's id lies below 2^31 - 1
constexpr long kNobodyId = 65534;

// Where the line being applied came from, for the messages that name it.
struct ConfigLine {
    int line;
    const char *path;
};

struct ConfigKey;
// Applies a value that needs more than a plain conversion. Returns 0, -1 for
// the generic "Unknown value" error, -2 when the handler printed its own message.
using SpecialFn = int (*)(const ConfigKey &k, char *value, const ConfigLine &where);

enum KeyKind : unsigned char {
    kBool,          // StrToBoolOrInt
    kInt,           // atoi
    kReal,          // atof
    kMode,          // StrToModeT; above 0777 leaves the setting unchanged
    kText,          // bounded copy
    kSpecial,       // a handler
    kDomainOnly,    // belongs in domain.cf
    kRefused,       // refused as an unknown variable
    kIgnored,       // accepted and ignored
};

struct ConfigKey {
    const char *name;
    KeyKind kind;
    int *intTarget = nullptr;
    double *realTarget = nullptr;
    mode_t *modeTarget = nullptr;
    char *textTarget = nullptr;
    int textSize = 0;
    long intDefault = 0;          // also the default of a mode
    double realDefault = 0.0;
    const char *textDefault = "";
    SpecialFn special = nullptr;
};

constexpr ConfigKey Bool(const char *name, int *target, int def)
{
    return {.name = name, .kind = kBool, .intTarget = target, .intDefault = def};
}
constexpr ConfigKey Int(const char *name, int *target, int def)
{
    return {.name = name, .kind = kInt, .intTarget = target, .intDefault = def};
}
constexpr ConfigKey Real(const char *name, double *target, double def)
{
    return {.name = name, .kind = kReal, .realTarget = target, .realDefault = def};
}
constexpr ConfigKey Mode(const char *name, mode_t *target, mode_t def)
{
    return {.name = name, .kind = kMode, .modeTarget = target, .intDefault = static_cast<long>(def)};
}
template <size_t N>
constexpr ConfigKey Text(const char *name, char (&target)[N], const char *def)
{
    return {.name = name, .kind = kText, .textTarget = target, .textSize = static_cast<int>(N),
            .textDefault = def};
}
// A handler with an optional int setting and its default.
constexpr ConfigKey Special(const char *name, SpecialFn fn, int *target = nullptr, int def = 0)
{
    return {.name = name, .kind = kSpecial, .intTarget = target, .intDefault = def, .special = fn};
}
template <size_t N>
constexpr ConfigKey SpecialText(const char *name, SpecialFn fn, char (&target)[N], const char *def)
{
    return {.name = name, .kind = kSpecial, .textTarget = target, .textSize = static_cast<int>(N),
            .textDefault = def, .special = fn};
}
constexpr ConfigKey DomainOnly(const char *name) { return {.name = name, .kind = kDomainOnly}; }
constexpr ConfigKey Refused(const char *name) { return {.name = name, .kind = kRefused}; }
constexpr ConfigKey Ignored(const char *name) { return {.name = name, .kind = kIgnored}; }

// ---- Handlers of the special values ----------------------------------------------------

int ErrorCausedBy(const ConfigLine &where)
{
    fprintf(stderr, "Error caused by line %d of %s.\n", where.line, where.path);
    return -2;
}

int ApplyIpcKey(const ConfigKey &, char *value, const ConfigLine &)
{
    // A key of 0 would be IPC_PRIVATE: a segment nobody else can find.
    char *end = nullptr;
    const unsigned long key = strtoul(value, &end, 16);
    if (end == value || *end != '\0' || key == 0 || key > 0xFFFFFFFFUL)
        return -1;
    gShmKeyBase = static_cast<key_t>(static_cast<unsigned int>(key));
    return 0;
}

// front-uid-base: a decimal number from 1; what max-users adds to it is
// checked once both are known (FrontIdRangeValid).
int ApplyFrontUidBase(const ConfigKey &, char *value, const ConfigLine &)
{
    char *end = nullptr;
    errno = 0;
    const long base = value[0] >= '0' && value[0] <= '9' ? strtol(value, &end, 10) : 0;
    if (end == nullptr || *end != '\0' || errno != 0 || base < 1 || base >= kFrontIdLimit)
        return -1;
    gFrontUidBase = static_cast<int>(base);
    return 0;
}

int ApplyEphemeralPortRange(const ConfigKey &, char *value, const ConfigLine &)
{
    for (char *cp = value; *cp != '\0'; cp++) {
        if (*cp < '0' || *cp > '9')
            *cp = ' ';
    }
    long range[2] = {0, 0};
    char *cp = value;
    for (long &n : range) {
        char *end = nullptr;
        n = strtol(cp, &end, 10);
        if (end == cp)
            break;
        if (n > 99999)
            n = 99999;    // far out of range already; keeps the message's %d sane
        cp = end;
    }
    const int lo = static_cast<int>(range[0]), hi = static_cast<int>(range[1]);
    if (!(lo > 100 && lo < hi && hi < 65536)) {
        fprintf(stderr, "Bad port range [%d,%d]\n", lo, hi);
        return -2;
    }
    gEphemeralPortLo = lo;
    gEphemeralPortHi = hi;
    return 0;
}

// max-data-rbuf-size, max-data-sbuf-size: smaller than 512 bytes is no buffer.
int ApplyMaxBufSize(const ConfigKey &k, char *value, const ConfigLine &)
{
    const int n = atoi(value);
    if (n >= 512)
        *k.intTarget = n;
    return 0;
}

// A yes/no or a count; a negative count leaves the value in force.
int ApplyNonNegativeBoolOrInt(const ConfigKey &k, char *value, const ConfigLine &)
{
    const int n = StrToBoolOrInt(value);
    if (n >= 0)
        *k.intTarget = n;
    return 0;
}

int ApplyTcpWrappers(const ConfigKey &, char *value, const ConfigLine &)
{
    gUseTCPWrappers = strcasecmp(value, "user") == 0 ? 2 : StrToBoolOrInt(value);
    if (gUseTCPWrappers != 0)
        gDNSLookup = 1;    // the host rules may name hosts
    return 0;
}

int ApplyThrottle(const ConfigKey &, char *value, const ConfigLine &)
{
    gCmdThrottle = strcasecmp(value, "no") == 0 ? 0 : atoi(value);
    return 0;
}

int ApplyLogSessions(const ConfigKey &, char *value, const ConfigLine &)
{
    gLogSessions = strcasecmp(value, "yes-verbose") == 0 ? 2 : StrToBoolOrInt(value);
    return 0;
}

int ApplyWtmpLogMode(const ConfigKey &, char *value, const ConfigLine &)
{
    if (strncasecmp(value, "non-anon", 8) == 0)
        gWtmpLogMode = 2;
    else
        gWtmpLogMode = StrToBoolOrInt(value) != 0 ? 1 : 0;
    return 0;
}

int ApplyAPasswordMode(const ConfigKey &, char *value, const ConfigLine &)
{
    if (strcasecmp(value, "none") == 0) {
        gAPasswordMode = 0;
    } else if (strcasecmp(value, "any") == 0) {
        gAPasswordMode = 1;
    } else if (strcasecmp(value, "at-sign") == 0) {
        gAPasswordMode = 2;
    } else if (strcasecmp(value, "look-valid") == 0) {
        gAPasswordMode = 3;
    } else if (strncasecmp(value, "exactly", 7) == 0 && (value[7] == ' ' || value[7] == '\t')
               && value[8] != '\0') {
        gAPasswordMode = 4;
        Strncpy(gRequiredAnonPasswd, value + 8);
    } else {
        return -1;
    }
    return 0;
}

// tls: who must encrypt.
int ApplyTls(const ConfigKey &, char *value, const ConfigLine &)
{
    constexpr struct { const char *word; int mode; } kWords[] = {
        {"off", kTlsOff}, {"no", kTlsOff}, {"allowed", kTlsAllowed},
        {"required-nonanon", kTlsRequiredNonAnon}, {"required-all", kTlsRequiredAll},
    };
    for (const auto &w : kWords) {
        if (strcasecmp(value, w.word) == 0) {
            gTlsMode = w.mode;
            return 0;
        }
    }
    return -1;
}

// tls-min-protocol: 1.2 or 1.3.
int ApplyTlsMinProtocol(const ConfigKey &, char *value, const ConfigLine &)
{
    if (strcmp(value, "1.2") == 0)
        gTlsMinProtocol = 12;
    else if (strcmp(value, "1.3") == 0)
        gTlsMinProtocol = 13;
    else
        return -1;
    return 0;
}

int ApplyCoreSubdir(const ConfigKey &, char *value, const ConfigLine &)
{
    Strncpy(gCoreSubDir, StrToBoolOrInt(value) != 0 ? "main" : "");
    return 0;
}

int ApplyCdMessage(const ConfigKey &, char *value, const ConfigLine &)
{
    Strncpy(gCdMessage, strcasecmp(value, "no") == 0 ? "" : value);
    return 0;
}

// nfs-root-squash, startup-lresolve: "no" is off, anything else on.
int ApplyNotNo(const ConfigKey &k, char *value, const ConfigLine &)
{
    *k.intTarget = strcasecmp(value, "no") == 0 ? 0 : 1;
    return 0;
}

int ApplyLsTimeFormat(const ConfigKey &, char *value, const ConfigLine &)
{
    gLsTimeLocal = strcasecmp(value, "local") == 0 ? 1 : 0;
    return 0;
}

int ApplyLsDateAndTimeFormat(const ConfigKey &, char *value, const ConfigLine &)
{
    if (strcasecmp(value, "ls") == 0 || strcasecmp(value, "default") == 0)
        Strncpy(gLsDateFormat, "");
    else if (strncasecmp(value, "iso2", 4) == 0)
        Strncpy(gLsDateFormat, "%Y-%m-%d %H:%M");
    else if (strncasecmp(value, "iso", 3) == 0)
        Strncpy(gLsDateFormat, "%Y-%m-%d %H:%M:%S");
    else
        Strncpy(gLsDateFormat, value);
    return 0;
}

int ApplyDefaultTransferType(const ConfigKey &, char *value, const ConfigLine &)
{
    switch (value[0]) {
    case 'A': case 'a':
        gDefaultTransferType = 'A';
        return 0;
    case 'I': case 'i': case 'L': case 'l':
        gDefaultTransferType = 'I';
        return 0;
    default:
        fprintf(stderr, "Invalid TYPE %c (syntax error in default-transfer-type=\"%s\").\n",
                value[0] != '\0' ? value[0] : ' ', value);
        return -2;
    }
}

int ApplyLogOwner(const ConfigKey &, char *value, const ConfigLine &)
{
    const struct passwd *pw = getpwnam(value);
    if (pw == nullptr) {
        fprintf(stderr, "Unknown user %s.\n", value);
        return -2;
    }
    gLogOwner = pw->pw_uid;
    return 0;
}

int ApplyLogGroup(const ConfigKey &, char *value, const ConfigLine &)
{
    const struct group *gr = getgrnam(value);
    if (gr == nullptr) {
        fprintf(stderr, "Unknown group %s.\n", value);
        return -2;
    }
    gLogGroup = gr->gr_gid;
    return 0;
}

// The four event programs: run by absolute path only.
int ApplyEventProcessor(const ConfigKey &k, char *value, const ConfigLine &)
{
    if (value[0] != '\0' && value[0] != '/') {
        fprintf(stderr, "Please use a full pathname when setting %s.\n", k.name);
        return -2;
    }
    Strncpy(k.textTarget, value, static_cast<size_t>(k.textSize));
    return 0;
}

int ApplyPassiveIP(const ConfigKey &k, char *value, const ConfigLine &where)
{
    if (ConfigAddress(value, &gPassiveIP) < 0) {
        fprintf(stderr, "Invalid IP address given for the %s option.\n", k.name);
        return ErrorCausedBy(where);
    }
    return 0;
}

// Ranges add up over the lines; each range is "a.b.c.d" or "a.b.c.d/n".
int ApplyProxyProtocolFrom(const ConfigKey &k, char *value, const ConfigLine &where)
{
    char *ctx = nullptr;
    for (char *word = strtokc(value, ", \t", &ctx); word != nullptr; word = strtokc(nullptr, ", \t", &ctx)) {
        if (gNumProxyFrom >= kMaxProxyFrom) {
            fprintf(stderr, "More than %d ranges given for the %s option.\n", kMaxProxyFrom, k.name);
            return ErrorCausedBy(where);
        }
        if (ParseProxyNet(word, &gProxyFrom[gNumProxyFrom]) < 0) {
            fprintf(stderr, "Invalid address range \"%s\" given for the %s option.\n", word, k.name);
            return ErrorCausedBy(where);
        }
        gNumProxyFrom++;
    }
    return 0;
}

int ApplySingleServerAddress(const ConfigKey &, char *value, const ConfigLine &where)
{
    if (ConfigSioAddress(value, &gSingleServerAddress) < 0) {
        fprintf(stderr, "Invalid single-server-address \"%s\"; try something\nin the form of 192.168.96.99\n",
                value);
        return ErrorCausedBy(where);
    }
    return 0;
}

int ApplyMemoryDebug(const ConfigKey &, char *value, const ConfigLine &)
{
    if (StrToBoolOrInt(value) != 0)
        fprintf(stderr, "Note: this system does not have a supported implementation of mallinfo().\n"
                        "The `memory-debug' option will be disabled.\n\n");
    gMemoryDebug = 0;
    return 0;
}

int ApplyAllowProxyConnections(const ConfigKey &, char *value, const ConfigLine &)
{
    gAllowIncomingProxyDataConnections = gAllowOutgoingProxyDataConnections = StrToBoolOrInt(value);
    return 0;
}

int ApplyAllowPaths(const ConfigKey &, char *value, const ConfigLine &where)
{
    return SetAllowedPaths(value) < 0 ? ErrorCausedBy(where) : 0;
}

int ApplyDenyPaths(const ConfigKey &, char *value, const ConfigLine &where)
{
    return SetRestrictedPaths(value) < 0 ? ErrorCausedBy(where) : 0;
}

int ApplyAllowedSiteCommands(const ConfigKey &, char *value, const ConfigLine &)
{
    return SetAllowedSiteCommands(value) < 0 ? -2 : 0;
}

int ApplyTransactionTypes(const ConfigKey &k, char *value, const ConfigLine &)
{
    SetLogXferTransactionTypes(value, k.intTarget);
    return 0;
}

int ApplyBanner(const ConfigKey &, char *value, const ConfigLine &)
{
    Strncpy(gConnectHeader, value);
    gCustomConnectHeader = 1;
    return 0;
}

// yes/no, optionally followed by the delay in seconds and the number of retries
// of a failed bind; a pair outside the limits means no retries.
int ApplyBindLocalDataPort(const ConfigKey &, char *value, const ConfigLine &)
{
    gBindLocalDataPort = StrToBoolOrInt(value);
    gBindLocalDataPortDelay = gBindLocalDataPortRetries = 0;
    const char *cp = value + strcspn(value, " \t,");
    char *end = nullptr;
    const long delay = strtol(cp, &end, 10);
    if (end == cp)
        return 0;
    cp = end + strspn(end, " \t,");
    const long retries = strtol(cp, &end, 10);
    if (end == cp)
        return 0;
    if (delay > 0 && retries > 0 && delay < 300 && delay * retries < 300) {
        gBindLocalDataPortDelay = static_cast<int>(delay);
        gBindLocalDataPortRetries = static_cast<int>(retries);
    }
    return 0;
}

// ---- Class keys (user classes) -----------------------------------------------------------

int ApplyBeginNewUserClass(const ConfigKey &, char *value, const ConfigLine &)
{
    return BeginNewUserClass(value) < 0 ? -2 : 0;
}

int ApplyURestrictMode(const ConfigKey &, char *value, const ConfigLine &)
{
    return SetClassRestrictMode(value) < 0 ? -2 : 0;
}

int ApplyURestrictedGroups(const ConfigKey &, char *value, const ConfigLine &)
{
    return SetClassRestrictedGroups(value) < 0 ? -2 : 0;
}

int ApplyUReadPermission(const ConfigKey &, char *value, const ConfigLine &)
{
    gUserReadPermission = StrToBoolOrInt(value);
    return SetClassReadPermission(gUserReadPermission) < 0 ? -2 : 0;
}

int ApplyUWritePermission(const ConfigKey &, char *value, const ConfigLine &)
{
    gUserWritePermission = StrToBoolOrInt(value);
    return SetClassWritePermission(gUserWritePermission) < 0 ? -2 : 0;
}

int ApplyUReadOnlyGroups(const ConfigKey &k, char *value, const ConfigLine &)
{
    return AddOneLineUserClass(kReadOnlyClass, k.name, value) < 0 ? -2 : 0;
}

int ApplyUWriteOnlyGroups(const ConfigKey &k, char *value, const ConfigLine &)
{
    return AddOneLineUserClass(kWriteOnlyClass, k.name, value) < 0 ? -2 : 0;
}

int ApplyUAddOnlyGroups(const ConfigKey &k, char *value, const ConfigLine &)
{
    return AddOneLineUserClass(kAddOnlyClass, k.name, value) < 0 ? -2 : 0;
}

// All 202 keys in the table's order; the reader scans it linearly. Columns:
// key, setting, default.
constexpr ConfigKey gOptionNames[] = {
    Bool("a-allow-download-from-incoming-dir", &gAllowDownloadFromIncoming, 0),
    Bool("a-allow-incoming", &gAllowIncoming, 1),
    Bool("a-allow-mkdir-inside-incoming", &gAllowMkdirInsideIncoming, 0),
    DomainOnly("a-download-bandwidth-per-user"),
    Refused("a-file-group"),
    Refused("a-file-owner"),
    Text("a-incoming-dir", gAIncomingDir, ""),
    Refused("a-goodbye-message"),
    DomainOnly("a-login-message"),
    DomainOnly("a-lowercase-pathnames"),
    Bool("a-ls-names", &gAnonPwNames, 0),
    Special("a-password-mode", ApplyAPasswordMode, &gAPasswordMode, 1),
    Bool("a-pathname-filter", &gAPathnameFilter, 1),
    Bool("a-read-permission", &gAnonReadPermission, 1),
    Mode("a-umask", &gAnonUmask, 022),
    DomainOnly("a-upload-bandwidth-per-user"),
    Bool("a-write-permission", &gAnonWritePermission, 0),
    Bool("aggressive-leak-detection", &gAggressiveLeakDetection, 1),
    Bool("allow-append", &gAllowAppend, 1),
    Bool("allow-ascii-downloads", &gAllowAsciiDownloads, 1),
    Bool("allow-ascii-uploads", &gAllowAsciiUploads, 1),
    Bool("allow-backslash-as-path-separator", &gAllowBackslashAsPathSeparator, 0),
    Bool("allow-clnt", &gAllowCLNT, 1),
    Bool("allow-downloads-if-quota-exceeded", &gAllowDownloadsIfQuotaExceeded, 1),
    Bool("allow-epsv-eprt", &gAllowEpsvEprt, 0),
    Bool("allow-feat", &gAllowFEAT, 1),
    Bool("allow-incoming-ports-below-1024", &gAllowIncomingPortsBelow1024, 1),
    Bool("allow-incoming-proxy-data-connections", &gAllowIncomingProxyDataConnections, 0),
    Bool("allow-mls", &gAllowMls, 1),
    Bool("allow-outgoing-ports-below-1024", &gAllowOutgoingPortsBelow1024, 1),
    Bool("allow-outgoing-proxy-data-connections", &gAllowOutgoingProxyDataConnections, 0),
    Bool("allow-outgoing-proxy-data-connection-ports-below-1024",
         &gAllowOutgoingProxyDataConnectionPortsBelow1024, 0),
    Bool("allow-pasv", &gAllowPASV, 1),
    Special("allow-pasv-preconnections", ApplyNonNegativeBoolOrInt, &gAllowPasvPreconnections, 2),
    Special("allow-paths", ApplyAllowPaths),
    Bool("allow-port", &gAllowPORT, 1),
    Special("allow-proxy-connections", ApplyAllowProxyConnections),
    Bool("allow-proxy-when-control-originates-from-loopback",
         &gAllowProxyWhenControlOriginatesFromLoopback, 0),
    Bool("allow-resume", &gAllowREST, 1),
    Bool("allow-tar-root-dirs", &gAllowTarRootDirs, 0),
    Bool("allow-u0", &gAllowU0, 0),
    Special("allowed-site-commands", ApplyAllowedSiteCommands, &gAllowedSITECommands, 59),
    Int("ascii-mode", &gAsciiMode, 3),
    Int("ascii-size-mode", &gAsciiSizeMode, 1),
    Bool("auth-debug", &gAuthDebug, 0),
    Bool("authd-allow-root-logins", &gAuthdAllowRootLogins, 0),
    Bool("authd-debug", &gAuthDebug, 0),
    Bool("authd-paranoia", &gAuthParanoia, 0),
    Int("authd-message-timeout", &gAuthTimeout, 10),
    SpecialText("banner", ApplyBanner, gConnectHeader, ""),
    Special("begin-new-user-class", ApplyBeginNewUserClass),
    Special("bind-local-data-port", ApplyBindLocalDataPort, &gBindLocalDataPort, 1),
    SpecialText("cd-message", ApplyCdMessage, gCdMessage, ""),
    Text("compress", gCompressPath, ""),
    Int("conn-timeout", &gConnTimeout, 15),
    Text("core-dir", gCoreDir, ""),
    SpecialText("core-subdir", ApplyCoreSubdir, gCoreSubDir, ""),
    Bool("count-only-files-owned-by-user-towards-quota", &gCountOnlyFilesOwnedByUserTowardsQuota, 1),
    Int("ctrl-rbuf-size", &gCtrlRBufSize, 0),
    Int("ctrl-sbuf-size", &gCtrlSBufSize, 0),
    Text("crypt-options", gCryptOptions, ""),
    Ignored("data-buf-size"),    // the greeting is set by "banner" only
    Special("data-rbuf-size", ApplyMaxBufSize, &gDataRBufSize, 0),
    Special("data-sbuf-size", ApplyMaxBufSize, &gDataSBufSize, 0),
    Int("debug", &gTraceLogging, 0),
    Int("debuglevel", &gTraceLogging, 0),
    Special("default-transfer-type", ApplyDefaultTransferType),
    Bool("delete-uploaded-file-if-quota-exceeded", &gDeleteUploadedFileIfQuotaExceeded, 0),
    Special("deny-paths", ApplyDenyPaths),
    Bool("dns-lookup", &gDNSLookup, 0),
    SpecialText("download-event-processor", ApplyEventProcessor, gDownloadEventProcessor, ""),
    Ignored("end-user-class"),
    Special("ephemeral-port-range", ApplyEphemeralPortRange),
    Special("eventd-transaction-types", ApplyTransactionTypes, &gEventdTypeMask, 1023),
    Bool("fd-debug", &gFdDebug, 0),
    Special("front-uid-base", ApplyFrontUidBase, &gFrontUidBase, 2100000000),
    Text("ftp-bugs", gFTPBugs, ""),
    DomainOnly("ftp-home"),
    Text("gzip", gGzipPath, ""),
    Int("idle-timeout", &gIdleTimeout, 300),
    Special("ipc-key", ApplyIpcKey, &gShmKeyBase, 0x77C0FFEE),
    Int("listen-backlog-size", &gListenBacklogSize, 0),
    Bool("listen-ipv6", &gListenIPv6, 0),
    Bool("lock-downloads", &gLockDownloads, 0),
    Bool("lock-uploads", &gLockUploads, 0),
    Special("log-group", ApplyLogGroup),
    SpecialText("login-event-processor", ApplyEventProcessor, gLoginEventProcessor, ""),
    Int("login-timeout", &gLoginTimeout, 15),
    Text("log-misc", gLogMiscPath, ""),
    SpecialText("logout-event-processor", ApplyEventProcessor, gLogoutEventProcessor, ""),
    Special("log-owner", ApplyLogOwner),
    DomainOnly("log-session"),
    Special("log-sessions", ApplyLogSessions, &gLogSessions, 0),
    Bool("log-session-starts", &gLogSessionStarts, 0),
    Text("log-stat", gLogStatPath, ""),
    Int("log-timestamp-fractional-seconds", &gLogTimestampFractionalSeconds, 0),
    Mode("log-umask", &gLogUmask, 077),
    DomainOnly("log-xfer"),
    Special("log-xfer-transaction-types", ApplyTransactionTypes, &gLogXferTypeMask, 255),
    Bool("log-xfers", &gLogXfers, 1),
    Bool("log-xfer-starts", &gLogXferStarts, 0),
    Bool("ls-always-resolve-links", &gLsAlwaysResolveLinks, 0),
    Int("ls-cache-dir-age", &gLsCacheDirAge, 900),
    Int("ls-cache-size", &gLsCacheSize, 150000),
    SpecialText("ls-date-and-time-format", ApplyLsDateAndTimeFormat, gLsDateFormat, ""),
    Bool("ls-hide-duplicate-items", &gLsHideDuplicateItems, 1),
    Bool("ls-hide-inaccessible-items", &gLsHideInaccessibleItems, 0),
    Bool("ls-lg", &gLsLg, 0),
    Int("ls-max-cache-dirs", &gLsMaxCacheDirs, 64),
    Int("ls-recycle-process-threshold", &gLsRecycleProcessThreshold, 0),
    Bool("ls-show-special-file-types", &gLsShowSpecialFileTypes, 0),
    Special("ls-time-format", ApplyLsTimeFormat, &gLsTimeLocal, 1),
    Int("max-anonymous-users", &gMaxAnonymousUsers, -1),
    Special("max-data-rbuf-size", ApplyMaxBufSize, &gMaxDataRBufSize, 262144),
    Special("max-data-sbuf-size", ApplyMaxBufSize, &gMaxDataSBufSize, 262144),
    DomainOnly("max-domain-users"),
    Refused("max-domain-users-per-ip"),
    Refused("max-domain-users-per-username"),
    Int("max-login-failures", &gMaxLoginFailures, 2),
    Int("max-users", &gNumChildren, 1),
    Int("max-users-per-ip", &gMaxUsersPerIP, 0),
    Special("memory-debug", ApplyMemoryDebug, &gMemoryDebug, 0),
    Bool("memory-mapped-io", &gMemoryMappedIO, 0),
    Int("min-users", &gMinChildren, 1),
    Text("zorvad_authd", gZorvadAuthdAddrStr, ""),
    Text("zorvad_eventd", gZorvadEventdAddrStr, ""),
    Special("nfs-root-squash", ApplyNotNo, &gNFSRootSquash, 0),
    Int("nice", &gNice, -3),
    Real("noop-delay", &gNoopDelay, 1.0 / 3.0),
    Special("passive-ip", ApplyPassiveIP),
    DomainOnly("passwd"),
    Text("pid-file", gPIDFile, ""),
    Int("port", &gServerPort, 21),
    Bool("print-user-number", &gPrintUserNumber, 0),
    Special("proxy-protocol-from", ApplyProxyProtocolFrom),
    Bool("reduce-socket-buffer-memory", &gReduceSocketBufferMemory, 0),
    Text("refuse-message", gRefuseMessageFile, ""),
    Bool("require-implicit-ack-for-downloads", &gRequireImplicitAckForDownloads, 0),
    Bool("require-implicit-ack-for-uploads", &gRequireImplicitAckForUploads, 0),
    Bool("rmdir-recursive", &gRmdirR, 0),
    Bool("s-cache", &gSCache, 300),
    Bool("sendfile-io", &gSendfileIO, 1),
    DomainOnly("server-address"),
    Int("server-lifetime", &gChildLifetime, 43200),
    DomainOnly("server-name"),
    DomainOnly("server-type"),
    DomainOnly("set-name"),
    Ignored("shm-file"),
    Special("single-server-address", ApplySingleServerAddress),
    Bool("sio-signal-mode", &gSioSignalMode, 1),
    Int("sleep-seconds-after-active-transfer", &gSleepSecondsAfterActiveTransfer, 0),
    Int("sleep-seconds-after-transfer", &gSleepSecondsAfterTransfer, 0),
    Bool("socket-keep-alive", &gSocketKeepAlive, 1),
    Special("startup-lresolve", ApplyNotNo, &gStartupLResolve, 1),
    Bool("sync-writes", &gSyncWrites, 0),
    Bool("syslog", &gSyslog, 0),
    Text("tar", gTarPath, ""),
    Bool("t-cache", &gUseTimeCache, 1),
    Special("tcp-wrappers", ApplyTcpWrappers, &gUseTCPWrappers, 0),
    Special("throttle", ApplyThrottle, &gCmdThrottle, 300),
    Special("tls", ApplyTls, &gTlsMode, 0),
    Text("tls-certificate-file", gTlsCertificateFile, ""),
    Text("tls-key-file", gTlsKeyFile, ""),
    Special("tls-min-protocol", ApplyTlsMinProtocol, &gTlsMinProtocol, 12),
    Special("u-add-only-groups", ApplyUAddOnlyGroups),
    Bool("u-allow-multiple-logins-per-username-only-if-same-ip", &gUAllowMultipleLoginsOnlyIfSameIP, 0),
    Bool("u-always-restrict-virtual-users", &gUAlwaysRestrictVirtualUsers, 1),
    Bool("u-auto-chmod-uploads", &gUAutoChmodUploads, 0),
    Text("u-deny-users-file", gDenyUsersFile, "/etc/ftpusers"),
    Refused("u-download-bandwidth-per-user"),
    Refused("u-goodbye-message"),
    DomainOnly("u-login-message"),
    Refused("u-lowercase-pathnames"),
    Bool("u-ls-names", &gNonAnonPwNames, 1),
    Text("unix-domain-socket-dir", gUnixDomainSocketDir, ""),
    Bool("u-pathname-filter", &gUPathnameFilter, 0),
    SpecialText("upload-event-processor", ApplyEventProcessor, gUploadEventProcessor, ""),
    Bool("upload-tmp-then-rename", &gUploadTmpThenRename, 0),
    Special("u-read-only-groups", ApplyUReadOnlyGroups),
    Special("u-read-permission", ApplyUReadPermission, &gUserReadPermission, 1),
    Special("u-restrict-mode", ApplyURestrictMode),
    Special("u-restricted-groups", ApplyURestrictedGroups),
    Bool("u-restrict-by-primary-group-only", &gURestrictByPrimaryGroupOnly, 0),
    Bool("u-restrict-etc", &gURestrictEtc, 1),
    Bool("use-pam", &gUsePam, 0),
    Text("u-start-path", gUStartPath, ""),
    Bool("u-try-truncated-passwords", &gUTryTruncatedPasswords, 0),
    Mode("u-umask", &gUserUmask, 022),
    Refused("u-upload-bandwidth-per-user"),
    Text("u-valid-user-shell-file", gValidUserShellFile, "/etc/shells"),
    DomainOnly("u-vchroot-restricted-users"),
    Bool("u-vquota", &gVQuotas, 1),
    Bool("u-vuser-homedir-can-be-symlink", &gUVuserHomedirCanBeSymlink, 0),
    Special("u-write-only-groups", ApplyUWriteOnlyGroups),
    Special("u-write-permission", ApplyUWritePermission, &gUserWritePermission, 1),
    Int("verbose", &gTraceLogging, 0),
    Int("verbose-logging", &gTraceLogging, 0),
    Int("verbose-mode", &gTraceLogging, 0),
    DomainOnly("welcome-message"),
    Special("wtmp-log-mode", ApplyWtmpLogMode, &gWtmpLogMode, 0),
    Int("xfer-timeout", &gXferTimeout, 3600),
    Text("zip", gZipPath, ""),
};
static_assert(std::size(gOptionNames) == 202);
static_assert(std::string_view(gOptionNames[std::size(gOptionNames) - 1].name) == "zip");

// Settings a handler sets besides (or instead of) its row's own.
void SetSpecialDefaults()
{
    memset(&gSingleServerAddress, 0, sizeof(gSingleServerAddress));
    gSingleServerAddress.in.sin_family = AF_INET;
    gListenIPv6 = 0;
    gPassiveIP = INADDR_NONE;
    gEphemeralPortLo = gEphemeralPortHi = 0;
    gBindLocalDataPortDelay = gBindLocalDataPortRetries = 0;
    gLogOwner = static_cast<uid_t>(-1);
    gLogGroup = static_cast<gid_t>(-1);
    gDefaultTransferType = 'A';
    gRequiredAnonPasswd[0] = '\0';
    gCustomConnectHeader = 0;
    gAllowIncomingProxyDataConnections = gAllowOutgoingProxyDataConnections = 0;
    gNumProxyFrom = 0;
    gNumAllowPaths = gNumDenyPaths = 0;
    memset(gAllowPathsArray, 0, sizeof(gAllowPathsArray));
    memset(gAllowPathLensArray, 0, sizeof(gAllowPathLensArray));
    memset(gDenyPathsArray, 0, sizeof(gDenyPathsArray));
    memset(gDenyPathLensArray, 0, sizeof(gDenyPathLensArray));

    free(gDenyFTPUsers);
    gDenyFTPUsers = nullptr;
    gFTPUserIsBlacklisted = 0;
    free(gValidUserShells);
    gValidUserShells = nullptr;
    gRefuseConnectionsMsg[0] = '\0';
}

const ConfigKey *FindKey(const char *key)
{
    for (const ConfigKey &k : gOptionNames) {
        if (strcasecmp(k.name, key) == 0)
            return &k;
    }
    return nullptr;
}

// Returns 0, -1 for an unacceptable value, -2 when a message was printed.
int ApplyKey(const ConfigKey &k, char *value, const ConfigLine &where)
{
    switch (k.kind) {
    case kBool:
        *k.intTarget = StrToBoolOrInt(value);
        return 0;
    case kInt:
        *k.intTarget = atoi(value);
        return 0;
    case kReal:
        *k.realTarget = atof(value);
        return 0;
    case kMode:
        (void) StrToModeT(value, k.modeTarget);
        return 0;
    case kText:
        Strncpy(k.textTarget, value, static_cast<size_t>(k.textSize));
        return 0;
    case kSpecial:
        return k.special(k, value, where);
    case kIgnored:
        return 0;
    case kDomainOnly:
    case kRefused:
        break;    // refused by the caller
    }
    return -1;
}

// Runs SetConfigDefaults() before main() so the settings hold their defaults
// from the start, as plain initialised globals would.
[[maybe_unused]] const bool gDefaultsApplied = (SetConfigDefaults(), true);

}  // namespace

void SetConfigDefaults()
{
    for (const ConfigKey &k : gOptionNames) {
        if (k.intTarget != nullptr)
            *k.intTarget = static_cast<int>(k.intDefault);
        if (k.realTarget != nullptr)
            *k.realTarget = k.realDefault;
        if (k.modeTarget != nullptr)
            *k.modeTarget = static_cast<mode_t>(k.intDefault);
        if (k.textTarget != nullptr)
            Strncpy(k.textTarget, k.textDefault, static_cast<size_t>(k.textSize));
    }
    SetSpecialDefaults();
    ResetUserClasses();
}

bool FrontIdRangeValid()
{
    const long first = gFrontUidBase, last = gFrontUidBase + static_cast<long>(gNumChildren) + 1;
    return gFrontUidBase >= 1 && last < kFrontIdLimit && !(first <= kNobodyId && kNobodyId <= last);
}

bool IsFrontId(long id)
{
    return gFrontUidBase != 0 && id > gFrontUidBase && id <= gFrontUidBase + static_cast<long>(gNumChildren);
}

long LoggerReservedId()
{
    return gFrontUidBase != 0 ? gFrontUidBase + static_cast<long>(gNumChildren) + 1 : 0;
}

bool IsReservedId(long id)
{
    return gFrontUidBase != 0 && (id == gFrontUidBase || IsFrontId(id) || id == LoggerReservedId());
}

int IsConfigKey(const char *key)
{
    return FindKey(key) != nullptr ? 1 : 0;
}

// One line of a configuration file into buf.  An overlong line is cut at the
// buffer; its rest is skipped rather than read as a line of its own.  The line
// ends at its line feed, whatever bytes come before it: looking for the line
// feed in the text would stop at a NUL and take the next line for the rest of
// this one.
char *ReadConfigLine(FILE *fp, char *buf, size_t size, bool *hasNul)
{
    *hasNul = false;
    size_t n = 0;
    bool any = false;
    int c;
    while ((c = getc(fp)) != EOF) {
        any = true;
        if (c == '\0')
            *hasNul = true;
        if (n + 1 < size)
            buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (!any)
        return nullptr;
    buf[n] = '\0';
    return buf;
}

int SplitConfigLine(char *line, char **key, char **value)
{
    *key = *value = nullptr;
    if (line[0] == '#')
        return 0;
    line[strcspn(line, "#")] = '\0';

    char *cp = line + strspn(line, " =\t\r\n");
    if (*cp == '\0')
        return 0;
    *key = cp;
    cp += strcspn(cp, " =\t\r\n");
    if (*cp != '\0')
        *cp++ = '\0';

    // The value starts after the blanks and '=' that follow the key and ends at CR/LF.
    cp += strspn(cp, " =\t");
    cp[strcspn(cp, "\r\n")] = '\0';
    size_t len = strlen(cp);
    while (len > 0 && (cp[len - 1] == ' ' || cp[len - 1] == '\t'))
        cp[--len] = '\0';
    *value = cp;
    return 1;
}

void ReadConfigFile(const char *path)
{
    if (strcmp(gOptionNames[std::size(gOptionNames) - 1].name, "zip") != 0) {
        fprintf(stderr, "Internal configuration error!\n");
        Exit(1);
    }

    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        perror(path);
        Exit(1);
    }

    static char line[65534];
    int lineNum = 0;
    bool hasNul = false;
    while (ReadConfigLine(fp, line, sizeof(line), &hasNul) != nullptr) {
        lineNum++;

        char *key, *value;
        if (SplitConfigLine(line, &key, &value) == 0) {
            if (!hasNul)
                continue;
            fprintf(stderr, "Syntax error on line %d of %s.\n", lineNum, path);
            fclose(fp);
            Exit(1);
        }

        const ConfigKey *k = FindKey(key);
        if (k == nullptr || k->kind == kRefused) {
            fprintf(stderr, "Unknown variable \"%s\" on line %d of configuration file.\n", key, lineNum);
            fclose(fp);
            Exit(1);
        }
        if (k->kind == kDomainOnly) {
            fprintf(stderr, "Variable \"%s\" on line %d of %s needs to be set in\n"
                            "individual domain configuration files.\n", key, lineNum, path);
            fclose(fp);
            Exit(1);
        }

        const ConfigLine where{lineNum, path};
        // What follows a NUL cannot be read: the value is not what the file says.
        const int result = hasNul ? -1 : ApplyKey(*k, value, where);
        if (result == -1) {
            fprintf(stderr, "Unknown value \"%s\" for variable \"%s\" on line %d of configuration file.\n",
                    value, key, lineNum);
        }
        if (result < 0) {
            fclose(fp);
            Exit(1);
        }
    }
    fclose(fp);
}

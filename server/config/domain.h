// Domain configuration sets (domain.cf): one record per virtual server, chosen
// for a connection by the local address it arrived on. The first set serves
// every address that no set names.
//
// The table is built at start-up and changed in place by each reload: a set
// keeps its record (and its index) for the life of the process, so pointers to
// records and the numbers carried in log records stay valid across reloads.
#pragma once

#include "sio.h"

#include <netinet/in.h>
#include <sys/types.h>

#include "base/process.h"    // gChild; gDefaultFTPHome, which a set without ftp-home gets
#include "log/log.h"

constexpr int kDomainNameSize = 64;        // set-name, server-name
constexpr int kDomainAddrStrSize = 48;     // the server address as text (IPv4 or IPv6)
constexpr int kDomainTextSize = 512;       // values after "@SETNAME@" expansion (cut at 511)
constexpr int kDomainLogPathSize = 128;    // log path patterns
constexpr int kDomainLogFds = 5;           // one per log type (log.h)
constexpr int kMaxPasswdSources = 16;

// One entry of the "passwd" list, in look-up order.
enum PasswdSourceKind : int {
    kPasswdSystem = 1,                     // "/etc/passwd": the system account database
    kPasswdDatabase = 2,                   // a password database file (passed the start-up checks)
};
struct PasswdSource {
    int kind;                              // PasswdSourceKind
    char path[kDomainTextSize];
};

struct DomainInfo {
    char setName[kDomainNameSize];         // set-name
    char serverName[kDomainNameSize];      // server-name; else from the reverse look-up; may stay empty
    SioAddr serverAddr;                    // server-address, IPv4 or IPv6; a wildcard one = none
    char serverAddrStr[kDomainAddrStrSize]; // text of serverAddr ("0.0.0.0" for none)
    char ftpHome[kDomainTextSize];         // ftp-home: the anonymous root; after PostReadDomainConfigInit
    int ftpHomeLen;                        //   the real path (or the default root) and its length
    int anonOnly;                          // server-type: 1 anonymous only, -1 disabled, 0 otherwise
    int nonAnonOnly;                       // server-type: 1 non-anonymous only, -1 disabled, 0 otherwise
    int maxDomainUsers;                    // max-domain-users (0 = no limit)
    int maxDomainUsersPerIP;               // max-domain-users-per-ip (0 = no limit)
    int maxDomainUsersPerUsername;         // max-domain-users-per-username (0 = no limit)

    // Log path patterns (strftime syntax) and the logger's open files.
    char logXferPath[kDomainLogPathSize];    // log-xfer
    char logSessionPath[kDomainLogPathSize]; // log-session
    char logMiscPath[kDomainLogPathSize];    // log-misc of general.cf, copied when finishing the set
    char logStatPath[kDomainLogPathSize];    // log-stat of general.cf, copied when finishing the set
    int logFds[kDomainLogFds];             // indexed by log type; -1 = closed

    // Message files; empty = none.
    char welcomeMessage[kDomainTextSize];  // welcome-message
    char aLoginMessage[kDomainTextSize];   // a-login-message
    char uLoginMessage[kDomainTextSize];   // u-login-message
    char aGoodbyeMessage[kDomainTextSize]; // a-goodbye-message
    char uGoodbyeMessage[kDomainTextSize]; // u-goodbye-message

    int aLowercasePathnames;               // a-lowercase-pathnames (0)
    int uLowercasePathnames;               // u-lowercase-pathnames (0)
    int uVChrootRestrictedUsers;           // u-vchroot-restricted-users (1)
    uid_t aFileOwner;                      // a-file-owner ((uid_t) -1 = unchanged)
    gid_t aFileGroup;                      // a-file-group ((gid_t) -1 = unchanged)

    // passwd: the value as given ("/etc/passwd" by default; empty when the
    // set's password sources were dropped) and the sources it names, in
    // look-up order ("none", "/dev/null" and failing databases left out).
    char passwd[kDomainTextSize];
    int numPasswdSources;
    PasswdSource passwdSources[kMaxPasswdSources];

    int aDownloadBandwidth;                // a-download-bandwidth-per-user (0 = no limit)
    int aUploadBandwidth;                  // a-upload-bandwidth-per-user
    int uDownloadBandwidth;                // u-download-bandwidth-per-user
    int uUploadBandwidth;                  // u-upload-bandwidth-per-user
    int aUmask;                            // a-umask (-1: the general.cf value)
    int uUmask;                            // u-umask (-1: the general.cf value)
    in_addr_t passiveIP;                   // passive-ip, network order (INADDR_NONE = none)
};

// ---- The table ---------------------------------------------------------------------------
extern DomainInfo **gDomainInfo;           // gNumDomains records, in order of first appearance
extern int gNumDomains;
extern int gDomain;                        // index of the current connection's set
extern DomainInfo *gCurDomain;             // its record
extern char gDomainCf[1024];               // domain.cf path remembered for reloads

// 1 when the server confines anonymous users by a real chroot into the
// anonymous root (an anonymous-only server started as root with one set).
// Owned by the master's start-up code, which sets it before the sets are
// finished; default 0.
extern int gChrootedAtStart;

// Empty table; forget the path.
void InitDomains();
// Appends a set with the defaults and the name; nullptr when memory runs out.
DomainInfo *AddDomain(const char *name);
// Closes the record's open logs, restores the defaults and sets the name.
void ResetDomain(DomainInfo *d, const char *name);
// Exact, case-sensitive match; nullptr when there is none.
DomainInfo *GetDomainBySetName(const char *name);
// The first set whose server address is addr (network order), else the first
// set; nullptr only when the table is empty. index (may be nullptr) gets the
// set's index (0 when none matched); remember makes it gDomain/gCurDomain.
DomainInfo *GetDomainByLocalAddr(const SioAddr *addr, int *index, int remember);
// The set names this address (a set without server-address names none).
bool DomainHasAddress(const DomainInfo *d, const SioAddr *addr);
DomainInfo *GetFirstDomain();

// Start-up (path given): reads the file; every error prints one message and
// leaves through Exit(1). Reload (path nullptr): re-reads the remembered path.
// Either way the file is read into copies of the sets, which replace them only
// when the whole file was read: a reload that cannot open or read the file
// logs why and returns -1 with the sets in force unchanged. The first block of
// a set name in the file starts that set from the defaults; a later block of
// the same name overrides only the keys it gives. Returns 0 otherwise.
int ReadDomainConfigFile(const char *path);
// Finishes every set after reading (anonymous root, log patterns, address text
// and server name, chroot warnings). Start-up form; ReloadDomainCf() finishes
// a reload itself.
void PostReadDomainConfigInit();
// Re-reads and finishes domain.cf; logs the outcome (always in the master and
// the logger, in a child only when verbose). Returns 0, or -1 when the file
// could not be opened or read, in which case the sets in force are kept.
int ReloadDomainCf();

// The pattern of a log type in a set (kLogMisc .. kLogStat); nullptr for others.
const char *DomainLogPathPattern(const DomainInfo *d, int type);

// Makes log records carry gDomain and lets the logger take its file patterns
// from this table (logdomains.cc). Master, before OpenLogger.
void ConnectLogsToDomains();

// ---- Password sources (domainpasswd.cc) -------------------------------------------------
// Checks a password database path (full pathname, exists, not accessible to
// group or others when running as root, its directory still there and not
// public-writable). Returns 0 when it may be used, else -1 after logging why.
[[nodiscard]] int StartupCheckPermissionsOnPasswdFile(const char *path);
// Sets the set's password sources from a "passwd" value (not "anonymous-only"):
// keeps the text and the usable entries in order.
void SetDomainPasswdSources(DomainInfo *d, const char *list);
// Drops the set's password sources (anonymous-only sets).
void DropDomainPasswdSources(DomainInfo *d);

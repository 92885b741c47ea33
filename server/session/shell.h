// The control session: the per-connection state, the command cycle, Reply
// and the standard error replies that every command handler shares.
//
// There is exactly one control session per process, so its state is a set
// of process-wide variables that the handlers read and change directly.
// The part of it that lower layers read is declared with them: the user's
// tree and confinement in paths/paths.h, the quota figures in quota/quota.h,
// the counters of the statistics in status/shm.h.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "paths/paths.h"
#include "quota/quota.h"
#include "sio.h"
#include "status/shm.h"

// ---- Sizes ------------------------------------------------------------------
constexpr int kLineBufSize = 735;          // command line buffer of Shell
constexpr int kOverflowMark = 733;         // non-zero after a line of 734+ bytes
constexpr int kTraceCut = 734;             // traced lines are cut here
constexpr int kReplyBufSize = 739;         // one reply, at most 738 characters
constexpr int kReplyTimeout = 30;          // seconds allowed to write a reply
constexpr int kNumCmdCounters = 47;
constexpr int kNumAllowSwitches = 14;
constexpr int kMaxVisitedDirectories = 64;
constexpr int kSessionIdSize = 40;         // 24 characters and a NUL fit

// ---- Session end codes used by the control session ---------------------------
constexpr int kEndQuit = 0;
constexpr int kEndClosed = 1;
constexpr int kEndIdleTimeout = 3;
constexpr int kEndLoginTimeout = 4;
constexpr int kEndWriteTimeout = 5;
constexpr int kEndBrokenPipe = 6;
constexpr int kEndReset = 7;
constexpr int kEndIOError = 8;
constexpr int kEndLowPort = 25;
constexpr int kEndAuthDenied = 28;
constexpr int kEndOverflow = 34;
constexpr int kEndDisabledDomain = 36;
constexpr int kEndWrongProtocol = 38;
constexpr int kEndTlsHandshake = 44;       // the TLS handshake after AUTH failed

// ---- Command counters (index into gCmdCounts) -------------------------------
enum CmdCounter {
    kCntAbor = 0, kCntAcct = 1, kCntAllo = 2, kCntAppe = 3, kCntCdup = 4, kCntCwd = 5,
    kCntDele = 6, kCntUnknown = 7, kCntHelp = 8, kCntList = 9, kCntMdtm = 10, kCntMkd = 11,
    kCntMode = 12, kCntNlst = 13, kCntNoop = 14, kCntPass = 15, kCntPasv = 16, kCntPort = 17,
    kCntPwd = 18, kCntQuit = 19, kCntRein = 20, kCntRest = 21, kCntRetr = 22, kCntRmd = 23,
    kCntRnfr = 24, kCntRnto = 25, kCntSite = 26, kCntSize = 27, kCntSmnt = 28, kCntStat = 29,
    kCntStor = 30, kCntStou = 31, kCntStru = 32, kCntSyst = 33, kCntType = 34, kCntUser = 35,
    kCntFeat = 36, kCntOpts = 37, kCntMlst = 38, kCntMlsd = 39, kCntHost = 40, kCntLang = 41,
    kCntEprt = 42, kCntEpsv = 43, kCntClnt = 44, kCntMfmt = 45, kCntMff = 46,
};

// ---- Session state (reset by ResetSessionInfo) -------------------------------
extern int gLoggedIn;
extern int gVirtualUser;
extern int gDumbClient;
extern int gAllow[kNumAllowSwitches];
extern uint32_t gVisitedDirectories[kMaxVisitedDirectories];
extern char gCwd[kSessionPathSize];
extern char gRnfr[256];
extern int64_t gRestartPt;
extern char gType, gMode, gStru;
extern int gPassive, gData, gPassiveData, gLocalData;
extern int gUsingDefaultDataPort;
extern int gEpsvAll;                 // after EPSV ALL only EPSV sets up data connections
extern int gPbszDone;                // PBSZ was given (after AUTH)
extern int gProtPrivate;             // PROT P: data connections carry TLS
extern char gRemoteDataAddrStr[64];
extern int gRemoteDataAddrIsLoopback;
extern char gDataPortType[32];
extern int64_t gTotalBytesRetr, gTotalBytesStor;
extern int gNumFailedDownloads, gNumFailedUploads, gNumFailedDirListings;
extern int gFailedDataConnections, gPORTDidntWorkForThisUser;
extern char gLastXferResult[16];
extern int64_t gBytesRetr, gBytesStor;
extern int gTransferStarted;
extern char gCurXferFile[kSessionPathSize];
extern char gLastSuccessfulUploadedFile[kSessionPathSize];
extern char gXNote[64];
extern int64_t gRestartedAt, gStartingSize;
extern int gSendfileInProgress;
extern int gRetrBandwidthLimit, gStorBandwidthLimit;
extern int gVerboseReplies;
extern int gMlsOpts;
extern int gPreferredDataRBufSize, gPreferredDataSBufSize;
extern char gPreferredLocalTextEOLN[4];
extern const char gDefaultLocalTextEOLN[4];

// ---- Per-connection counters (zeroed at session start, not by REIN) ---------
extern int gFailedLogins;
extern char gFailedUserNames[32];
extern long gTotalCmdIdleTime;
extern int gCmdCounts[kNumCmdCounters];

// ---- Session timing ---------------------------------------------------------
extern time_t gSessionTimeLimit;           // 0: each read limited by the idle timeout
extern time_t gTimeOfLastUsefulAction;
extern int gEtcNoLogin;                    // logins shut off by a nologin file
extern long gCmdsQuantum, gCmdsPerQuantum;

// ---- Connection -------------------------------------------------------------
extern int gCtrl;                          // control connection descriptor
extern SioAddr gRemoteCtrlAddr;  // the client's end of it
extern SioAddr gLocalCtrlAddr;   // our end of it
extern int gClientIsLocal;                 // the client is on this machine
extern int gClientNameParanoid;            // its reverse name does not lead back to its address
extern SReadlineInfo gSrl;                 // its line reader (made at start-up)
extern char gTraceSpecIn[16], gTraceSpecOut[16];
extern volatile int gCancel;               // set by the SIGURG handler
extern int gCanceled;                      // a transfer was cut by the client's interrupt
extern int gLastFdProbe;                   // ResourceCheckPoint's last descriptor

// ---- Operations -------------------------------------------------------------
// Serves the connection on gCtrl; every way out ends in DoneConnection().
[[noreturn]] void Shell();

// The command cycle of Shell, after the greeting: reads, checks and
// dispatches one command line after another.
[[noreturn]] void CommandCycle();

// Resets the session state (session start and REIN).
void ResetSessionInfo();

// Zeroes everything the end of a connection reports (logins, transfer and
// listing counts, the last transfer result, the client type, the per-connection
// counters). Called before a connection is admitted: a child that served a
// session before must not report that session for a connection it refuses.
void ResetConnectionCounters();

// Every byte of the control connection after the greeting goes through
// these two: in clear text, or through TLS once AUTH succeeded.  Results as
// the socket library's SWrite and SRead (a read returns what has come).
[[nodiscard]] int ControlWrite(const char *buf, size_t len, int seconds);
[[nodiscard]] int ControlRead(char *buf, size_t size, int seconds);

// What the "tls" setting demands: 1 when a USER of this kind must wait for
// AUTH, 1 when this session's data connections need PROT P.
[[nodiscard]] int TlsRequiredForLogin(int anonymous);
[[nodiscard]] int TlsRequiredForData();

// Writes one complete reply (code, separator, text and "\r\n"). A failed
// write ends the session, so callers never see one.
void Reply(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A path as a 257 reply quotes it: each double quote doubled, so that a
// quote inside it does not end it; as much as fits in size - 1 characters.
void QuotedPath(char *dst, size_t size, const char *path);

void DidSomethingUseful();
void ResourceCheckPoint(const char *label = nullptr);

// The command word of one line (3 or 4 upper-case letters) and where its
// argument starts. Returns 0, or -1 when place 2 or 3 is not a letter.
[[nodiscard]] int ParseCommandWord(char *line, char word[5], char **arg);

// Recognises the command word and calls its handler; counts the command.
void DispatchCommand(const char *word, char *arg);

// The path a client sees for a real path: the virtual root removed.
void VirtualPath(char *dst, size_t size, const char *real);

// The list of the allowed SITE commands, as a reply with the given code.
void HelpSiteCommandList(unsigned code);

// Standard replies shared by every handler.
void PermissionDenied(const char *reason);
void PermissionDeniedBadPathname();
void NoSuchFile();
void NotUnderstood();
void BadArgs();
void NotImplemented();
void BadSeqOfCommands();
void NotLoggedIn();
[[noreturn]] void NotSMTP();
[[noreturn]] void NotHTTP();

// ---- Command handlers (the argument is the rest of the line) ----------------
void Abor(char *arg);
void Acct(char *arg);
void Allo(char *arg);
void Clnt(char *arg);
void Help(char *arg);
void Lang(char *arg);
void Mff(char *arg);
void Mode(char *arg);
void Noop(char *arg);
void Pwd(char *arg);
[[noreturn]] void Quit(char *arg);
void Rein(char *arg);
void Smnt(char *arg);
void Stru(char *arg);
void Syst(char *arg);
void Type(char *arg);

// Handlers of the other command groups (paths, login, data, listings, SITE).
void Cdup(char *arg);
void Cwd(char *arg);
void Dele(char *arg);
void Feat(char *arg);
void Mdtm(char *arg);
void Mfmt(char *arg);
void Mkd(char *arg);
void Mlsd(char *arg);
void Mlst(char *arg);
void Nlst(char *arg, int style);
void Opts(char *arg);
void Pass(char *arg);
void Pasv(char *arg);
void Epsv(char *arg);
void Auth(char *arg);
void Pbsz(char *arg);
void Prot(char *arg);
void Ccc(char *arg);
void Eprt(char *arg);
void Port(char *arg);
void Rest(char *arg);
void Retr(char *arg);
void Rmd(char *arg, int recursive);
void Rnfr(char *arg);
void Rnto(char *arg);
void Site(char *arg);
void Size(char *arg);
void Stor(char *arg, int uniqueName, int append);
void User(char *arg);

// Greeting and goodbye with their message files (messages.cc, messages.h).
void WelcomeMessage();
void GoodbyeMessage();

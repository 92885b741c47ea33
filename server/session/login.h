// Login and user admission: USER and PASS for anonymous users, virtual users
// of the domain's password databases and system accounts; the checks before
// a login, the identity switch, the start directory and the login records.
// (The command handlers User and Pass are declared with the others in shell.h.)
#pragma once

#include <cstddef>

#include "Spwd.h"

// ---- End codes of login refusals ------------------------------------------------------------
constexpr int kEndTCPWrappers = 9;
constexpr int kEndTooManyAnonymous = 10;
constexpr int kEndTooManyForName = 12;
constexpr int kEndStartDir = 14;
constexpr int kEndAuthFailed = 27;           // the authentication service did not answer at PASS
constexpr int kEndAuthHome = 29;             // the service's home does not end in the user name
constexpr int kEndTooManyFailures = 30;
constexpr int kEndNoLogin = 31;
constexpr int kEndAnonymousRefused = 32;
constexpr int kEndIdentity = 35;
constexpr int kEndBadPermissions = 40;       // unusable permission or option field of the account
constexpr int kEndBadUmask = 41;
constexpr int kEndTooManyUserCommands = 42;

// ---- Session state --------------------------------------------------------------------------
// The account of the user being admitted (a copy of the anonymous account
// for anonymous logins).  An empty name: no USER yet; a name beginning with
// "?": a name was given and the account has not been looked up yet.
extern Spwd gPass;
// The user name given with USER (the status slot keeps only 63 characters).
extern char gUserName[128];
// The class the login matched (index into gUserClasses), -1 before.
extern int gSessionUserClass;

// Empties the login state (session start and REIN).
void ResetLoginInfo();

// ---- Anonymous passwords (anonpass.cc) --------------------------------------------------------
// Cleans an e-mail address given as anonymous password into dst.  Returns 0,
// or a negative code: -1 ">" without "<", -2 "<" without a later ">",
// -3 ">" before "<", -4 a blank, control or non-ASCII character (dropped),
// -5 a comma (copied as "_"), -6 no "@", -7 an empty part of the local name,
// -8 "@" first, -9 a separator last, -10 a host of one label, -11 a second
// "@", -12 an empty part of the host name.  A text ending in "@" gets
// defaultHost appended.
[[nodiscard]] int GetEmailAddress(char *dst, size_t dstSize, const char *text, const char *defaultHost);
// Recognises a few clients by their default anonymous password (gClientType).
void RecogniseClientByPassword(const char *password);
// 1 when the anonymous password passes the configured password mode; the
// address to show for the session is left in email (may be empty).
[[nodiscard]] int AnonPasswordAccepted(const char *password, char *email, size_t emailSize);
void InvalidAnonPasswordReply();
// 1 when anonymous users must type one configured password (a secret, not
// an address).
[[nodiscard]] int AnonPasswordIsSecret();

// ---- Admission checks (loginchecks.cc) ----------------------------------------------------------
// 0 with gPass filled (gVirtualUser set for database users), or -1.
[[nodiscard]] int GetSpwdOrHpwd(const char *name);
[[nodiscard]] int TooManyAnonUsers();
// Replies and returns 1 when the name has as many sessions as allowed.
[[nodiscard]] int TooManyDomainUsersByThisUsername(const char *name);
[[nodiscard]] int UserIsBlacklisted(const char *name);
[[nodiscard]] int UserHasIllegalShell(const char *shell);
// The options field of a virtual user's record, applied to the session;
// a field it cannot use ends the session.
void ApplyPassMiscDataField(const char *field);

// ---- The authentication service's steps (authlogin.cc) -----------------------------------------
// At connection, with the service at level 2 or more: the client is refused
// ("530 Access denied.", end code 28) unless the service answers and allows it.
void AuthServiceAtConnection();
// USER of a name other than the anonymous ones, with the service at level 2
// or more.  1: the name may go on to PASS (the reply has been sent); 0: no
// answer, "451" sent, the name is not kept.  A denial ends the session.
[[nodiscard]] int AuthServiceUser(const char *name);
enum class AuthVerdict {
    kInternal,    // the server checks the user itself
    kAccepted,    // gAState holds the account
    kDenied,      // a denial or a protocol error
    kFailed,      // no usable answer
};
// The PASS exchange; the password is wiped from the message afterwards.
[[nodiscard]] AuthVerdict AuthServicePass(const char *name, const char *password);
// Replies to a denied or failed PASS and ends the session.
[[noreturn]] void RefuseByAuthService(AuthVerdict verdict);
// Makes gPass and the session's switches, restriction and umask from an
// accepting answer; ends the session on values it cannot use.
void TakeAuthServiceAccount(const char *name);

// ---- Completing a login ---------------------------------------------------------------------
// Switches the groups and the real, effective and saved ids to gPass's for
// good (the session's own process, privsep.h).  Replies and ends the
// session when it cannot.
void SwitchToUserIdentity();
// Changes into the start directory of the user; replies and ends the session
// with end code 14 when it cannot.
void StartDir();

// ---- Login accounting (wtmp.cc) ---------------------------------------------------------------
// Under wtmp-log-mode (1 every login, 2 all but anonymous ones).
void WtmpAddLoginEntry();
// At session end, for a session that logged in: the matching logout record.
void WtmpAddLogoutEntry();

// System accounts checked through PAM (use-pam): the service "zorvad", its
// conversation, and the one handle of a session, kept from a successful
// login until the session ends.  Every call here runs as root: a login's
// before the identity switch, the end's after the identity is put back.
#pragma once

#include <cstddef>

inline constexpr const char *kPamService = "zorvad";
inline constexpr const char *kPamTty = "ftp";
// Opened at start-up only under use-pam: no other configuration maps it.
inline constexpr const char *kPamLibrary = "libpam.so.0";

// Opens the library and binds its calls, once: at start-up (before a chroot
// and before any child is made, which then share it), else at the first
// login that needs it.  0, or -1 with the reason in why.
[[nodiscard]] int PamLoad(char *why, size_t whyLen);

// The auth and account stacks for user with the typed password; rhost is the
// client's address.  0 when both admit the user (the handle is kept for
// PamOpenSession), -1 when either refuses or PAM cannot be used (handle
// ended).  Refusals are logged only with auth-debug: the caller logs them as
// it logs a wrong password.
[[nodiscard]] int PamAuthenticate(const char *user, const char *password, const char *rhost);

// Opens the session stack of the user PamAuthenticate admitted.  0, or -1
// after logging why (handle ended).
[[nodiscard]] int PamOpenSession();

// Closes the session stack when it is open and ends the handle; nothing when
// there is none.  At every end of a session, as root.
void PamEndSession();
// Forgets the PAM handle without closing anything: the session's own
// process after a login, whose PAM session the pool child closes.
void PamForget();

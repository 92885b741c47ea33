// Host access control through TCP Wrappers (the system's hosts.allow and
// hosts.deny tables), daemon name "Zorvad". "tcp-wrappers" 1 checks each
// connection when it arrives, 2 once the user name is known.
#pragma once

#include <cstddef>

// Opened only under tcp-wrappers: no other configuration maps it (nor the
// name-service libraries it pulls in).
inline constexpr const char *kTcpWrappersLibrary = "libwrap.so.0";

// Opens the library and binds its calls, once: at start-up (before a chroot
// and before any child is made, which then share it), else at the first
// check.  0, or -1 with the reason in why.
[[nodiscard]] int TCPWrappers_Load(char *why, size_t whyLen);

// Mode 1, called by the admission of a connection. Non-zero: allowed (also
// when that mode is not configured).
int TCPWrappers_ValidateIncomingFTPConnection();

// Mode 2, called by the login with the user name. Non-zero: allowed (also when
// that mode is not configured).
int TCPWrappers_ValidateIncomingFTPConnectionWithUsername(const char *user);

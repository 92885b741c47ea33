// Host access control through TCP Wrappers (the system's hosts.allow and
// hosts.deny tables), daemon name "Zorvad". "tcp-wrappers" 1 checks each
// connection when it arrives, 2 once the user name is known.
#pragma once

// Mode 1, called by the admission of a connection. Non-zero: allowed (also
// when that mode is not configured).
int TCPWrappers_ValidateIncomingFTPConnection();

// Mode 2, called by the login with the user name. Non-zero: allowed (also when
// that mode is not configured).
int TCPWrappers_ValidateIncomingFTPConnectionWithUsername(const char *user);

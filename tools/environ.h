// Wiping the environment of a program that may run set-user-ID or under a
// web server: nothing the caller put there may reach the program or a child.
#pragma once

// True when both REMOTE_ADDR and REQUEST_METHOD are set (a CGI run); call
// before PurgeEnvironment.
bool RunByWebServer();

// Overwrites every environment string with zeros and installs an empty
// environment.  0, or -1 when PATH is still visible afterwards (the caller
// prints "Failed to purge the enviornment variables.\n" and exits 13).
[[nodiscard]] int PurgeEnvironment();

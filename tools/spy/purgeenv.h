// The environment wipe of a program that runs as root, possibly as a CGI
// program whose environment holds what a web client sent.
#pragma once

// Overwrites every environment string with zeros and installs an empty
// environment.  Returns 0, or -1 when PATH is still visible afterwards.
[[nodiscard]] int SpyPurgeEnvironment();

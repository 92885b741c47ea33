// Version texts of the server and the tools.
#pragma once

// "Zorvad 1.0.0/001 Dec 08 2026 12:34:56": product name, version, build number
// after a slash, build date and time. The first 12 characters are the name and
// version ("%.12s"), the first 28 also the build number and date ("%.28s").
extern const char *const gVersion;

// The operating system and processor, e.g. "linux-x86_64".
const char *PlatformText();

// The notice line printed by -J.
extern const char *const gNotice;

// Message files: administrator-written text files shown to clients as
// multi-line replies (the greeting, the login and goodbye messages and the
// message file of a directory), their %-escapes, and the three fixed
// message sequences.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

constexpr int kReplyFilePieceSize = 255;   // fgets pieces of at most 254 characters
constexpr int kReplyLineSize = 256;        // one expanded line: at most 255 characters

// The one open message file of the session, or nullptr.
extern FILE *gReplyFile;

// Opens a message file and makes it gReplyFile (closing the previous one).
// Returns nullptr without doing anything for a null or empty path or when
// the client asked for plain replies.  Refused: a relative path naming a
// symbolic link, a file under 3 bytes, and with onceOnly a file whose inode
// was shown before in this session.  logErrors writes the reasons to the log.
FILE *OpenReplyFile(const char *path, int onceOnly, int logErrors);
void CloseReplyFile();

// Sends every line of gReplyFile, expanded, as a continuation line of the
// reply code ("%d-%s\r\n").  Neither closes the file nor sends the last line.
void ReplyFile(int code);

// Expands the %-escapes of one line of text (up to its line feed) into dst
// (cut at dstSize - 1 characters); now is the time the escapes show.
void ExpandReplyLine(char *dst, size_t dstSize, const char *src, time_t now);

// The greeting (220), also sent by REIN before login.
void WelcomeMessage();
// The 230 reply that ends a successful login; text is its last line.
void LoginMessage(const char *text);
// The 221 reply of QUIT and BYE.
void GoodbyeMessage();

// Opens the directory message (cd-message) of the current directory when it
// has not been shown in this session; 1 when it is open, else 0.
int OpenDirectoryMessage();

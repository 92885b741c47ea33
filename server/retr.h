// Downloads: RETR of a file or of a directory archive (the handler Retr is
// declared in shell.h with the other command handlers).  The sending methods
// are in sendmethods.h, the archives in archive.h and the records in
// xferlog.h.
#pragma once

#include <cstdint>

// The shared tail of downloads and uploads that did not succeed: by gCancel
// and the sending or receiving result, the record, the data connection and
// the reply (a time-out ends the session).  Returns 1 when the transfer was
// cancelled or failed, 0 when it succeeded and nothing was done.
int EndFailedTransfer(int result, int upload);

// The last component of a path ("dirname" for "/").
const char *LastPathComponent(const char *path);

// Records the transfer as the user's activity in the status slot ("Retr" or
// "Stor" and the path) and logs it (syslog, start record).
void NoteTransferActivity(const char *verb, const char *path);

// Takes (type F_RDLCK) or drops (F_UNLCK) a record lock on the whole file
// without waiting; 0 or -1.
int LockWholeFile(int fd, short type);

// Out of descriptors: the leak report, then the process ends (status 4).
[[noreturn]] void XferOutOfDescriptors();

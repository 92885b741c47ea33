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

// The record of a transfer whose data connection never came (OpenData has
// replied): result "ERROR", no byte moved.
void NoDataConnection();

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

// What a running transfer holds, kept where the end of a session can find
// it (a session may end in the middle of a transfer, and the child serves
// the next one): the file being sent or received (-1 none; closing it drops
// its record lock) and the read end of a directory archive's pipe (-1
// none).  The temporary file of an upload is gTmpUploadPath (stor.h), the
// archiver processes gArchiverPids (archive.h).
extern int gXferFileFd;
extern int gArchivePipe;

// Closes gXferFileFd, when open.
void CloseXferFile();
// Closes gArchivePipe, when open, then stops the archivers (after a failure
// or a cancel) or reaps them (after the archive was read to its end).
// -1 when a reaped archiver failed, else 0.
int CloseArchive(int stop);

// Releases whatever a transfer still holds when the session ends in its
// middle: writes the transfer's record (result "ERROR") when it has none
// yet, closes the file (and so drops its lock), closes the archive pipe
// and stops the archivers, and removes the temporary file of an upload.
// Runs first at the end of a session, while the process still has the
// user's identity.
void AbandonTransfer();

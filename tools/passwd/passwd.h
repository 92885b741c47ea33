// zorvad_passwd: the operations, one file per group.  The start-up, the
// access check, the database handle and the record permissions are the
// shared ones of toolstart.h.
#pragma once

#include <cstddef>

#include "Hpwd.h"

// Settings of the command line.
extern bool gEncrypt;          // -c: the password field is plain text
extern bool gMD5Preferred;     // -5: new passwords are MD5-crypted
extern int gMkdirMode;         // -m / -M: create home directories; -1 when not asked
extern int gSpecialExportCount;  // how often -E was given

// The longest line of an import file, and of a record as stored.
inline constexpr int kMaxImportLine = 254;

// ---- add.cc ---------------------------------------------------------------------------
// Adds one record line (the forms of -a); 0, or -1 after printing why.  The
// line is not changed; a plain-text password in it is not kept anywhere.
[[nodiscard]] int AddRecordLine(const char *line, bool replace, bool encrypt);
// The steps of adding before the database: parse the line, make the
// directories, check the home, encrypt the password.  0 with *rec made, or
// -1 after printing why.
[[nodiscard]] int PrepareRecordLine(const char *line, bool encrypt, Hpwd *rec);
int AddOperation(const char *line, bool replace);          // -a / -u
int ImportOperation(const char *file, bool replace);       // -i / -r
int SpecialImportOperation();                              // -I, -i /etc/passwd
// Stores a finished record (used by the interactive editor too).
[[nodiscard]] int StoreRecord(const Hpwd *p, bool replace);

// ---- export.cc ------------------------------------------------------------------------
void PrintUser(const Hpwd *p, const char *prefix);
int QueryOperation(const char *name, bool longFormat);     // -q / -Q
int DeleteOperation(const char *name);                     // -d
int ExportOperation(bool longFormat);                      // -x / -X
int SpecialExportOperation();                              // -E

// ---- password.cc ----------------------------------------------------------------------
// Encrypts plain (at most 63 characters used) into out; 0 or -1.  plain is
// wiped.
[[nodiscard]] int EncryptPassword(char *plain, char *out, size_t outSize);
int ChangePasswordOperation(const char *name, const char *newEncrypted);   // -p [-P]
int ChangePasswordFromStdinOperation();                                     // -0
int CheckPasswordOperation(const char *name, const char *plain);           // -k [-K]

// ---- edit.cc --------------------------------------------------------------------------
int EditOperation(const char *name);                       // -A (name null) / -U name

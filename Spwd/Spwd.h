// System accounts and password verification: one fixed-size account record
// built from the passwd and shadow databases, the supplementary group list,
// recognition of the encrypted-password formats, salts, encryption and
// verification.  The library never writes a message of its own; its tracing
// build (target Spwd_trace, SPWD_TRACE defined) writes each step to
// gSpwdDebugStream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "md5.h"

struct passwd;
struct spwd;

inline constexpr int kSpwdMaxGids = 33;           // gid[0] primary + 32 supplementary
inline constexpr size_t kSpwdRecordSize = 1152;   // sizeof(Spwd)
inline constexpr size_t kSpwdReservedOffset = 912;

// The account record.  Every field has a fixed size so that the record can be
// copied and kept by value.  The space after `alg` is reserved: zero for system
// accounts, while the virtual-user records of Hpwd.h (Hpwd is this same type)
// keep their quota, bandwidth and misc-data fields there.
//
//   offset  size  field
//      0     128  username          (NUL-terminated, at most 127 characters)
//    128     256  passwd            (encrypted password, at most 255 characters)
//    384       4  uid               (-1 when unset)
//    388     132  gid[33]           (gid[0] primary; unset slots -1)
//    520       4  nGids
//    524     128  gecos
//    652     128  homedir
//    780     128  shell
//    908       4  alg
//    912     240  reserved:
//                   912  hardQuotaKB      916  softQuotaKB
//                   920  hardQuotaFiles   924  softQuotaFiles
//                   928  downloadBandwidth 932 uploadBandwidth
//                   936  miscData[128]    1064..1151 spare (zero)
//   1152          total
struct Spwd {
    char username[128];
    char passwd[256];
    int32_t uid;
    int32_t gid[kSpwdMaxGids];
    int32_t nGids;
    char gecos[128];
    char homedir[128];
    char shell[128];
    int32_t alg;
    union {
        char reserved[kSpwdRecordSize - kSpwdReservedOffset];
        struct {                      // the password-record fields (Hpwd.h)
            int32_t hardQuotaKB;      // kB; 0 or less: no limit
            int32_t softQuotaKB;
            int32_t hardQuotaFiles;
            int32_t softQuotaFiles;
            int32_t downloadBandwidth;  // kB/s; 0 or less: none
            int32_t uploadBandwidth;
            char miscData[128];
        };
    };
};
static_assert(sizeof(Spwd) == kSpwdRecordSize);
static_assert(offsetof(Spwd, alg) == 908);
static_assert(offsetof(Spwd, reserved) == kSpwdReservedOffset);
static_assert(offsetof(Spwd, hardQuotaKB) == kSpwdReservedOffset);
static_assert(offsetof(Spwd, miscData) == 936);

// Library-wide settings (process-global).
extern int gGetUserGroupsMethod;             // 1 = getgroups(), 2 = scan of the group file
extern int gSpwdUseSystemCryptForMD5;        // "$1$" to the system crypt instead of our own
extern int gSpwdUseSystemCryptForBlowfish;   // set when the policy file exists
extern int gSpwdUseSunMD5;                   // the policy file's default is "md5"
extern FILE *gSpwdDebugStream;               // set by initialisation; marks it done
extern char *gSpwdGroupBuf;                  // optional scratch buffer for the group scan
extern size_t gSpwdGroupBufSize;
extern const char gSpwdB64[65];              // the salt and DES alphabet
extern char gSpwdUnknownCrypt[32];           // name reported for an unknown "$...$" format
extern const char *gSpwdGroupFile;           // "/etc/group"; tests point it at a copy
extern const char *gSpwdPolicyFile;          // "/etc/security/policy.conf"

// Initialisation: runs lazily on the first call of any routine below; this
// entry runs it again unconditionally.  The arguments have no effect.
void SpwdLibraryInit(int argc, char **argv);
void InitSpwdStruct(Spwd *p);

// Look-ups: 0 when the account exists, -1 when it does not (record reset).
// wantC asks for the encrypted password, wantSupp for the supplementary
// groups, wantClose closes the passwd and shadow databases afterwards.
int GetSpwdByName(const char *name, Spwd *p, int wantC, int wantSupp, int wantClose);
int GetSpwdByUID(uid_t uid, Spwd *p, int wantC, int wantSupp, int wantClose);
int GetSpwdEnt(int first, Spwd *p, int wantC, int wantSupp, int wantClose);
void PwdToSpwd(const struct passwd *pw, Spwd *p, int wantC, int wantSupp);
struct spwd *Getspnam(const char *name, int32_t *alg);
// Wipes the entry Getspnam returned (its password above all).
void SpwdWipeShadowEntry();
void Endspent();
void EndSpwd();

// Supplementary groups: fills list with at most maxg IDs and returns their
// number, or -1 (errno EINVAL for a bad maxg or method).
int GetUserGroups(int32_t *list, int maxg, const char *user);
int SetGroups(int n, const int32_t *list);
void SpwdSetScratchBuffer(char *buf, size_t size);

// Writes the record as one passwd-style line, cut to size; returns dst.
char *UnparseSpwdEntry(char *dst, size_t size, const Spwd *p);

// 1 when at least one valid encrypted password can be read, else 0.
int CanGetEncryptedPasswords2(int limitSeconds, unsigned *nChecked, int *timedOut);
int CanGetEncryptedPasswords();
int HaveSpwd();

// Format recognition: 1 when the text looks like an encrypted password.  The
// name is library-owned static text.
int ValidEncryptedPassword2(const char *enc, const char **algName);
int ValidEncryptedPassword(const char *enc);

char *Salt(char *buf);   // buf: at least 4 bytes, or nullptr for a static one
char *Crypt(const char *key, const char *salt, int opt1, int opt2);
int CheckPassword(const char *plain, const char *enc, int opt1, int opt2);

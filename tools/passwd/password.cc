// Passwords: encryption, changing (-p, -0) and checking (-k).  Plain text
// lives only in local buffers that are wiped once used.
#include <crypt.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Spwd.h"
#include "Strn.h"
#include "passwd.h"
#include "toolstart.h"

namespace {

constexpr size_t kMaxPlainUsed = 63;

// Wipes a buffer when it goes out of scope, whichever way the function ends.
template <size_t N>
struct SecretBuffer {
    char text[N] = {};
    ~SecretBuffer() { explicit_bzero(text, N); }
};

// "$1$" and eight random salt characters.
int MD5Setting(char *out, size_t size)
{
    unsigned char random[8];
    if (size < 13 || getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
        return -1;
    memcpy(out, "$1$", 3);
    for (size_t i = 0; i < sizeof random; i++)
        out[3 + i] = gSpwdB64[random[i] % 64];
    out[11] = '$';
    out[12] = '\0';
    return 0;
}

// The system's preferred method with a fresh random salt, or MD5 when asked
// or when the system has no preferred method.
int Encrypt(const char *plain, char *out, size_t outSize)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    const char *result = nullptr;
    if (!gMD5Preferred) {
        if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting) != nullptr)
            result = Crypt(plain, setting, 0, 0);
        if (result == nullptr)
            gMD5Preferred = true;
    }
    if (result == nullptr && MD5Setting(setting, sizeof setting) == 0)
        result = Crypt(plain, setting, 0, 0);
    if (result == nullptr || strlen(result) >= outSize)
        return -1;
    Strncpy(out, result, outSize);
    return 0;
}

// Looks name up in the open database: 0, or -1 after saying why.
int FindRecord(const char *name, Hpwd *p)
{
    const int rc = GetHpwdByName(p, name, &gDb);
    if (rc == 0)
        return 0;
    fprintf(stderr, "Could not query record for \"%s\" : %s.\n", name,
            rc == -1 ? Ormel_Strerror(kOrmelErrNotFound) : Ormel_Strerror(rc));
    return -1;
}

// What a password change writes: the new hash, and for -0 the hash the
// current password was checked against.
struct PasswordChange {
    const char *hash;
    const char *checked;   // null: the stored hash is replaced whatever it is
};

bool ApplyPassword(Hpwd *p, const void *arg)
{
    const auto *change = static_cast<const PasswordChange *>(arg);
    if (change->checked != nullptr && strcmp(p->passwd, change->checked) != 0) {
        fprintf(stderr, "The password of %s was changed meanwhile; nothing written.\n", p->username);
        return false;
    }
    Strncpy(p->passwd, change->hash);
    return true;
}

// Writes the new hash into the record as it is stored now: the prompts may
// have taken any time, and what root changed meanwhile (groups, quotas, a
// deletion) stays so.
int WriteBack(const Hpwd *p, const char *checked)
{
    const PasswordChange change{p->passwd, checked};
    if (UpdateStoredRecord(p->username, ApplyPassword, &change) != 0)
        return 1;
    printf("Password changed for user %s.\n", p->username);
    return 0;
}

// Asks twice without echo; 0 with the new password in plain, else -1.
int PromptNewPassword(const char *name, char *plain, size_t size)
{
    char prompt[300];
    SecretBuffer<256> verify;
    snprintf(prompt, sizeof prompt, "New password for %s: ", name);
    if (ReadWithoutEcho(prompt, plain, size) != 0)
        return -1;
    snprintf(prompt, sizeof prompt, "Verify password for %s: ", name);
    if (ReadWithoutEcho(prompt, verify.text, sizeof verify.text) != 0 || strcmp(plain, verify.text) != 0) {
        fprintf(stderr, "Passwords did not match, no changes saved.\n");
        return -1;
    }
    return 0;
}

// The common end of -p and -0: the record is found and may be changed;
// checked is the hash -0 verified the current password against.
int SetPassword(Hpwd *p, const char *newEncrypted, char *newPlain, const char *checked)
{
    if (newEncrypted != nullptr) {
        if (strlen(newEncrypted) >= sizeof p->passwd)
            return 1;
        if (HasTerminalControl(newEncrypted, strlen(newEncrypted))) {
            fprintf(stderr, "The encrypted password holds a control character.\n");
            return 1;
        }
        Strncpy(p->passwd, newEncrypted);
    } else if (EncryptPassword(newPlain, p->passwd, sizeof p->passwd) != 0) {
        fprintf(stderr, "Could not update record for \"%s\" : %s.\n", p->username, "encryption failed");
        return 1;
    }
    const int rc = WriteBack(p, checked);
    explicit_bzero(p->passwd, sizeof p->passwd);
    return rc;
}

// One answer of -0: the prompt, one line, and the complaint when it is empty.
int Answer(const char *prompt, const char *complaint, char *buf, size_t size)
{
    fputs(prompt, stdout);
    fflush(stdout);
    if (ReadLine(stdin, buf, size) != 1 || buf[0] == '\0') {
        fprintf(stderr, "%s", complaint);
        return -1;
    }
    return 0;
}

}  // namespace

int EncryptPassword(char *plain, char *out, size_t outSize)
{
    if (strlen(plain) > kMaxPlainUsed)
        plain[kMaxPlainUsed] = '\0';
    const int rc = Encrypt(plain, out, outSize);
    explicit_bzero(plain, strlen(plain));
    return rc;
}

int ChangePasswordOperation(const char *name, const char *newEncrypted)
{
    if (OpenToolDatabase(kToolOpenReadWrite) != 0)
        return 1;
    ActAsCaller();
    Hpwd rec;
    if (FindRecord(name, &rec) != 0 || !CheckModifyPermission(&rec, "modify"))
        return 1;
    SecretBuffer<256> plain;
    if (newEncrypted == nullptr && PromptNewPassword(rec.username, plain.text, sizeof plain.text) != 0)
        return 1;
    const int rc = SetPassword(&rec, newEncrypted, plain.text, nullptr);
    return CloseToolDatabase() == 0 ? rc : 1;
}

int ChangePasswordFromStdinOperation()
{
    if (isatty(0))
        fprintf(stderr, "This option is intended to be used by redirecting stdin -- your input WILL echo!\n");
    char name[sizeof(Hpwd::username)];
    SecretBuffer<256> current, fresh, verify;
    if (Answer("Username: ", "You must enter a username.\n", name, sizeof name) != 0 ||
        Answer("Current password: ", "You must enter your current password.\n", current.text,
               sizeof current.text) != 0 ||
        Answer("New password: ", "You must enter your new password.\n", fresh.text, sizeof fresh.text) != 0 ||
        Answer("Verify new password: ", "You must enter your new password again to verify it.\n", verify.text,
               sizeof verify.text) != 0)
        return 1;
    if (strcmp(fresh.text, verify.text) != 0) {
        fprintf(stderr, "Passwords did not match, no changes saved.\n");
        return 1;
    }
    if (OpenToolDatabase(kToolOpenReadWrite) != 0)
        return 1;
    ActAsCaller();
    Hpwd rec;
    if (FindRecord(name, &rec) != 0 || !CheckModifyPermission(&rec, "modify"))
        return 1;
    if (CheckPassword(current.text, rec.passwd, 0, 0) != 0) {
        explicit_bzero(rec.passwd, sizeof rec.passwd);
        fprintf(stderr, "Your old password was incorrect, no changes saved.\n");
        return 1;
    }
    SecretBuffer<sizeof rec.passwd> checked;
    Strncpy(checked.text, rec.passwd);
    const int rc = SetPassword(&rec, nullptr, fresh.text, checked.text);
    return CloseToolDatabase() == 0 ? rc : 1;
}

int CheckPasswordOperation(const char *name, const char *plainGiven)
{
    if (OpenToolDatabase(kToolOpenRead) != 0)
        return 1;
    DropPrivileges();
    Hpwd rec;
    if (FindRecord(name, &rec) != 0 || !CheckModifyPermission(&rec, "check password"))
        return 1;
    SecretBuffer<256> plain;
    if (plainGiven != nullptr) {
        Strncpy(plain.text, plainGiven);
    } else if (isatty(0)) {
        char prompt[300];
        snprintf(prompt, sizeof prompt, "Password for %s: ", rec.username);
        if (ReadWithoutEcho(prompt, plain.text, sizeof plain.text) != 0)
            return 1;
    } else if (ReadLine(stdin, plain.text, sizeof plain.text) != 1) {
        return 1;
    }
    const bool correct = CheckPassword(plain.text, rec.passwd, 0, 0) == 0;
    explicit_bzero(rec.passwd, sizeof rec.passwd);
    CloseToolDatabase();
    printf(correct ? "Password correct.\n" : "Password incorrect.\n");
    return correct ? 0 : 1;
}

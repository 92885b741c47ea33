// Encrypted-password formats, salts, encryption and verification.
#include "Spwd.h"
#include "SpwdTrace.h"
#include "Strn.h"

#include <dlfcn.h>

#include <cerrno>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char gSpwdB64[65] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./";
char gSpwdUnknownCrypt[32];

static bool InB64(char c)
{
    return c != '\0' && strchr(gSpwdB64, c) != nullptr;
}

// Index of the first character of s[from, to) outside the alphabet, or -1.
static int FirstNonB64(const char *s, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++)
        if (!InB64(s[i]))
            return int(i);
    return -1;
}

static bool IsBlowfishPrefix(const char *s)
{
    if (s[0] != '$' || s[1] != '2' || s[2] == '\0')
        return false;
    return s[2] == '$' || (s[3] == '$' && s[2] >= 'a' && s[2] <= 'z');
}

// "unknown:" and the text up to (not including) its second "$".
static const char *UnknownDollarName(const char *enc)
{
    snprintf(gSpwdUnknownCrypt, sizeof gSpwdUnknownCrypt, "%s:%s", "unknown", enc);
    char *second = strchr(gSpwdUnknownCrypt + sizeof "unknown:", '$');
    if (second != nullptr)
        *second = '\0';
    return gSpwdUnknownCrypt;
}

// The extended DES form: "_" and 19 alphabet characters at least.
static int ValidLongDES(const char *enc)
{
    size_t len = strlen(enc);
    if (len < 20) {
        SPWD_TRACEF("BSD/OS or OpenBSD long password not long enough.\n");
        return 0;
    }
    int bad = FirstNonB64(enc, 1, 20);
    if (bad >= 0) {
        SPWD_TRACEF("Non base-64 character ('%c', hex $%02X) detected in in BSD/OS long password.\n",
                    enc[bad], unsigned((unsigned char)enc[bad]));
        return 0;
    }
    SPWD_TRACEF("BSD/OS or OpenBSD long DES password detected.\n");
    return 1;
}

// The traditional form: 13 alphabet characters at least.
static int ValidDES(const char *enc)
{
    size_t len = strlen(enc);
    if (len == 0) {
        SPWD_TRACEF("DES crypt password not long enough.\n");
        return 0;
    }
    if (len < 13) {
        SPWD_TRACEF("Not long enough (\"%s\", only %lu char%s) to be a DES crypt password.\n", enc,
                    (unsigned long)len, len == 1 ? "" : "s");
        return 0;
    }
    int bad = FirstNonB64(enc, 0, 13);
    if (bad >= 0) {
        SPWD_TRACEF("Non base-64 character ('%c', hex $%02X) detected in in DES crypt password.\n",
                    enc[bad], unsigned((unsigned char)enc[bad]));
        return 0;
    }
    SPWD_TRACEF("DES crypt password detected.\n");
    return 1;
}

// The formats in the order they are tried; the first match decides.
static int Classify(const char *enc, const char **name)
{
    if (strncmp(enc, "$1$", 3) == 0) {
        SPWD_TRACEF("BSD MD5 password detected.\n");
        *name = "BSD MD5";
        return 1;
    }
    if (strncmp(enc, "$md5$", 5) == 0) {
        SPWD_TRACEF("Sun MD5 password detected.\n");
        *name = "Sun MD5";
        return 1;
    }
    if (IsBlowfishPrefix(enc)) {
        SPWD_TRACEF("Blowfish password detected -- relying upon system crypt().\n");
        *name = "Blowfish";
        return 1;
    }
    if (strncmp(enc, "$5$", 3) == 0) {
        SPWD_TRACEF("SHA-256 password detected.\n");
        *name = "SHA-256";
        return 1;
    }
    if (strncmp(enc, "$6$", 3) == 0) {
        SPWD_TRACEF("SHA-512 password detected.\n");
        *name = "SHA-512";
        return 1;
    }
    if (enc[0] == '$' && strchr(enc + 1, '$') != nullptr) {
        *name = UnknownDollarName(enc);
        SPWD_TRACEF("Unknown password encryption detected (%s) -- relying upon system crypt().\n",
                    *name);
        return 1;
    }
    if (enc[0] == '_') {
        *name = "DES Long";
        return ValidLongDES(enc);
    }
    if (strlen(enc) >= 13)
        *name = "DES";
    return ValidDES(enc);
}

int ValidEncryptedPassword2(const char *enc, const char **algName)
{
    SpwdEnsureInit();
    const char *name = "unknown";
    int valid = enc != nullptr ? Classify(enc, &name) : 0;
    if (valid)
        SPWD_TRACEF("Encrypted password was valid.\n");
    if (algName != nullptr)
        *algName = name;
    return valid;
}

int ValidEncryptedPassword(const char *enc)
{
    return ValidEncryptedPassword2(enc, nullptr);
}

char *Salt(char *buf)
{
    static char own[4];
    static bool seeded = false;
    SpwdEnsureInit();
    if (!seeded) {
        srand(unsigned(time(nullptr) & 0x7FFF));
        seeded = true;
    }
    char *s = buf != nullptr ? buf : own;
    s[0] = gSpwdB64[rand() % 64];
    s[1] = gSpwdB64[rand() % 64];
    s[2] = '\0';
    s[3] = '\0';
    return s;
}

// The system crypt.  libcrypt reports an unsupported or malformed salt with a
// failure token beginning with "*" instead of NULL; that is a failure here, so
// that it can never be taken for a stored password.
static struct crypt_data gCryptData;    // the system crypt's state, wiped after each check

using CryptRn = char *(*)(const char *, const char *, void *, int);

// The system crypt is opened at the first password that needs it: a server
// whose clients give none (anonymous logins) maps nothing of the library,
// whose mappings every process it forks would copy and tear down.  Null
// when the library cannot be opened: no password then matches.
static CryptRn SystemCryptCall()
{
#ifdef SPWD_CRYPT_LINKED
    return crypt_rn;
#else
    static CryptRn call = nullptr;
    if (call == nullptr) {
        void *lib = dlopen("libcrypt.so.1", RTLD_NOW | RTLD_LOCAL);
        call = lib != nullptr ? reinterpret_cast<CryptRn>(dlsym(lib, "crypt_rn")) : nullptr;
        if (call == nullptr)
            SPWD_TRACEF("The system crypt cannot be opened: %s\n", dlerror());
    }
    return call;
#endif
}

static char *SystemCrypt(const char *key, const char *salt)
{
    const CryptRn call = SystemCryptCall();
    if (call == nullptr)
        return nullptr;
    struct crypt_data &data = gCryptData;
    memset(&data, 0, sizeof data);
    char *r = call(key, salt, &data, sizeof data);
    if (r == nullptr || r[0] == '*')
        return nullptr;
    return r;
}

static char gSaltBuf[256];

char *Crypt(const char *key, const char *salt, int, int)
{
    static char keyBuf[256];
    char (&saltBuf)[256] = gSaltBuf;
    SpwdEnsureInit();
    if (key == nullptr || salt == nullptr)
        return nullptr;
    Strncpy(keyBuf, key);
    Strncpy(saltBuf, salt);
    errno = 0;
    char *r;
    if (strncmp(saltBuf, "$1$", 3) == 0 && gSpwdUseSystemCryptForMD5 == 0) {
        r = Spwd_md5_crypt(keyBuf, saltBuf);
        SPWD_TRACEF("Spwd_md5_crypt = [%s]\n", r);
    } else {
        r = SystemCrypt(keyBuf, saltBuf);
        SPWD_TRACEF("crypt = [%s]\n", r != nullptr ? r : "NULL");
    }
    explicit_bzero(keyBuf, sizeof keyBuf);
    return r;
}

static int CheckPasswordOnce(const char *plain, const char *enc, int opt1, int opt2)
{
    SpwdEnsureInit();
    if (enc == nullptr)
        return -1;
    char *guess = Crypt(plain, enc, opt1, opt2);
    if (guess == nullptr) {
        SPWD_TRACEF("encrypted guess == NULL\n");
        return -1;
    }
    const bool equal = strcmp(guess, enc) == 0;
    // The guess of the right password is the stored one.
    explicit_bzero(guess, strlen(guess));
    if (!equal) {
        SPWD_TRACEF("encrypted guess did not equal encrypted answer\n");
        return -1;
    }
    size_t len = strlen(enc);
    if (len < 13)
        SPWD_TRACEF("guess == answer, but answer was too short (%d chars)\n", int(len));
    else
        SPWD_TRACEF("encrypted guess == encrypted answer\n");
    return 0;
}

// A process forked after a check must not find the stored password, nor
// what the typed one became, in this library's buffers.
int CheckPassword(const char *plain, const char *enc, int opt1, int opt2)
{
    const int rc = CheckPasswordOnce(plain, enc, opt1, opt2);
    explicit_bzero(gSaltBuf, sizeof gSaltBuf);
    explicit_bzero(&gCryptData, sizeof gCryptData);
    return rc;
}

// pwcheck: shows whether the server can read this host's encrypted passwords,
// which formats they use, and whether verification works (including crypt
// implementations that honour only the first 8 characters).  Linked with the
// tracing build of the account library, whose every step goes to standard
// output.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Spwd.h"
#include "Strn.h"
#include "lineedit.h"

namespace {

// Any word and its traditional DES hash serve for the self-test.
constexpr const char *kTestWord = "zorvad";
constexpr const char *kTestHash = "zvbKFS4dnLD6E";

constexpr int kTruncatedLength = 8;

// A password as typed or given; wiped however the program leaves.
class Secret {
  public:
    Secret() = default;
    ~Secret() { Wipe(); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    char *data() { return text_; }
    size_t size() const { return sizeof(text_); }
    void Wipe() { memset(text_, 0, sizeof(text_)); }

  private:
    char text_[256] = {};
};

[[noreturn]] void Usage(const char *prog)
{
    fprintf(stderr, "Usages:\n");
    fprintf(stderr, "    %s -l <user>\n", prog);
    fprintf(stderr, "    %s -c \"<encrypted password>\"\n", prog);
    fprintf(stderr, "\n");
    fprintf(stderr, "Use \"-l\" mode to verify that a system user's password can be queried.\n");
    fprintf(stderr, "Use \"-c\" mode with a given encrypted password to verify that password\nvalidation works.\n");
    exit(2);
}

void Rule()
{
    for (int i = 0; i < 79; i++)
        putchar('-');
    putchar('\n');
}

void SelfTestDes()
{
    if (CheckPassword(kTestWord, kTestHash, 0, 0) == 0)
        printf("DES crypt works.\n");
    else
        printf("Password crypt function is not traditional DES crypt (or does not work!).\n");
}

void ShowPolicy()
{
    FILE *fp = fopen(gSpwdPolicyFile, "r");
    if (fp == nullptr)
        return;
    printf("Found %s:\n", gSpwdPolicyFile);
    char line[256];
    while (fgets(line, sizeof(line), fp) != nullptr) {
        if (strncmp(line, "CRYPT", 5) == 0)
            printf("    %s", line);
    }
    fclose(fp);
}

// Copies an argument into dst and blanks it, so that it no longer shows in
// the process list.
void TakeArgument(char *arg, char *dst, size_t size)
{
    Strncpy(dst, arg, size);
    memset(arg, 0, strlen(arg));
}

// Verifies plain against enc: 0 when authenticated.  With formatRemarks (the
// -l mode) the stored password's format is commented on.
int Verify(const char *user, const char *plain, const char *enc, bool validFormat, bool formatRemarks)
{
    if (CheckPassword(plain, enc, 0, 0) == 0) {
        if (formatRemarks && !validFormat) {
            printf("\nEncrypted password for user \"%s\" returned by the system was:\n\n\t%s\n\n", user, enc);
            printf("Password was authenticated successfully, however, the encrypted password for\n"
                   "user %s appears to not follow the standardized format.  Often, programs\n"
                   "require that the encrypted passwords to be in standard format as a security\n"
                   "precaution.\n", user);
            return 1;
        }
        printf("Password was authenticated successfully.\n");
        return 0;
    }
    if (formatRemarks && strlen(enc) < 12) {
        printf("Password was NOT authenticated.\n");
        printf("This is not surprising since it appears that the encrypted password was not\nlooked up correctly.\n");
        return 1;
    }
    if (formatRemarks && !validFormat) {
        printf("Password was NOT authenticated.\n");
        printf("This is not surprising since the encrypted password appears to be invalid.\n");
        return 1;
    }
    if (strlen(plain) > kTruncatedLength) {
        printf("Checking to see if a truncated version of the password works...\n");
        char truncated[kTruncatedLength + 1];
        Strncpy(truncated, plain, sizeof(truncated));
        const int rc = CheckPassword(truncated, enc, 0, 0);
        memset(truncated, 0, sizeof(truncated));
        if (rc == 0) {
            printf("The full-length password (%u chars) was NOT authenticated, BUT using the\n"
                   "first 8 characters of the password succeeds.\n", static_cast<unsigned>(strlen(plain)));
            return 1;
        }
    }
    printf("Password was NOT authenticated.\n");
    return 1;
}

int LookUpUser(int argc, char **argv)
{
    Rule();
    printf("This test is used to verify that:\n");
    printf("(a) The encrypted passwords can be accessed; and\n");
    printf("(b) Passwords can be authenticated.\n\n");
    SelfTestDes();
    ShowPolicy();
    if (geteuid() != 0) {
        printf("\n*** You do not have superuser privileges ***\n");
        printf("*** On many systems this is required for ***\n");
        printf("*** querying encrypted passwords.        ***\n\n");
    }

    char user[kLineMax + 1] = "";
    if (argc >= 3)
        Strncpy(user, argv[2]);
    else if (GetLine("\nUsername to query [root]: ", user, sizeof(user), 1) < 0)
        return 1;
    if (user[0] == '\0')
        Strncpy(user, "root");
    if (argc >= 6 && strcmp(argv[4], "-g") == 0)
        gGetUserGroupsMethod = atoi(argv[5]);

    Spwd sp;
    const int rc = GetSpwdByName(user, &sp, 1, 1, 1);
    printf("GetSpwdByName rc=%d\n", rc);
    if (rc < 0)
        return 1;

    const char *alg = nullptr;
    const bool valid = ValidEncryptedPassword2(sp.passwd, &alg) != 0;
    if (valid)
        printf("%s encrypted password is valid.\n", alg);
    else if (alg != nullptr && strcmp(alg, "unknown") != 0)
        printf("%s encrypted password is INVALID.\n", alg);
    else
        printf("Encrypted password is INVALID.\n");

    Secret password;
    if (argc >= 4) {
        TakeArgument(argv[3], password.data(), password.size());
    } else {
        char prompt[kLineMax + 32];
        snprintf(prompt, sizeof(prompt), "Password for %s: ", user);
        if (GetLine(prompt, password.data(), kLineMax + 1, 0) < 0)
            return 1;
    }
    printf("Number of characters received for password for %s: %u.\n", user,
           static_cast<unsigned>(strlen(password.data())));
    const int result = Verify(user, password.data(), sp.passwd, valid, true);
    memset(&sp, 0, sizeof(sp));
    return result;
}

int CheckGiven(int argc, char **argv)
{
    Rule();
    printf("This test is used to verify that:\n");
    printf("(a) Passwords can be authenticated.\n\n");
    SelfTestDes();
    if (geteuid() != 0) {
        printf("\n*** You do not have superuser privileges ***\n");
        printf("*** This may be required for validating encrypted password ***\n\n");
    }

    char enc[kLineMax + 1] = "";
    if (argc >= 3) {
        Strncpy(enc, argv[2]);
    } else {
        const int n = GetLine("\nEncrypted password: ", enc, sizeof(enc), 1);
        if (n < 0)
            return 1;
        printf("Number of characters input: %d.\n", n);
    }
    printf("Number of characters received for encrypted password: %u.\n", static_cast<unsigned>(strlen(enc)));
    if (!ValidEncryptedPassword(enc))
        printf("It appears that the encrypted password you entered is invalid!\n");

    Secret guess;
    if (argc >= 4) {
        TakeArgument(argv[3], guess.data(), guess.size());
    } else if (GetLine("Password guess: ", guess.data(), kLineMax + 1, 0) < 0) {
        return 1;
    }
    printf("Number of characters received for password guess: %u.\n", static_cast<unsigned>(strlen(guess.data())));
    return Verify(nullptr, guess.data(), enc, true, false);
}

int Probe(int argc, char **argv)
{
    int limit = argc >= 3 ? atoi(argv[2]) : 0;
    if (limit < 0)
        limit = 0;
    unsigned checked = 0;
    int timedOut = 0;
    CanGetEncryptedPasswords2(limit, &checked, &timedOut);
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    SpwdLibraryInit(argc, argv);
    gSpwdDebugStream = stdout;
    if (argc < 2)
        Usage(argv[0]);
    int rc;
    if (strcmp(argv[1], "-l") == 0)
        rc = LookUpUser(argc, argv);
    else if (strcmp(argv[1], "-c") == 0)
        rc = CheckGiven(argc, argv);
    else if (strcmp(argv[1], "-g") == 0)
        rc = Probe(argc, argv);
    else
        Usage(argv[0]);
    fflush(stdout);
    return rc;
}

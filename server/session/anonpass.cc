// Anonymous passwords: the e-mail address cleaner, the password modes,
// client recognition and the refusal reply.
#include <cctype>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "session/login.h"
#include "session/shell.h"
#include "status/shm.h"

namespace {

// Anonymous password modes (a-password-mode).
constexpr int kAnonPassNone = 0;
constexpr int kAnonPassAny = 1;
constexpr int kAnonPassAtSign = 2;
constexpr int kAnonPassLookValid = 3;
constexpr int kAnonPassExactly = 4;

bool IsSeparator(char c)
{
    return c == '!' || c == '%' || c == '.';
}

// The text between angle brackets, or the whole text.  Returns 0 or -1..-3.
int TakeBracketed(const char *text, const char **begin, const char **end)
{
    const char *lt = strchr(text, '<');
    const char *gt = strchr(text, '>');
    *begin = text;
    *end = text + strlen(text);
    if (lt == nullptr)
        return gt != nullptr ? -1 : 0;
    if (gt == nullptr)
        return -2;
    if (gt < lt)
        return -3;
    *begin = lt + 1;
    *end = gt;
    return 0;
}

// Cuts a "(comment)" and the white space before it, when something remains.
void CutComment(const char *begin, const char **end)
{
    const char *paren = static_cast<const char *>(memchr(begin, '(', static_cast<size_t>(*end - begin)));
    if (paren == nullptr)
        return;
    const char *cut = paren;
    while (cut > begin && isspace(static_cast<unsigned char>(cut[-1])))
        cut--;
    if (cut > begin)
        *end = cut;
}

// Copies letters, digits and punctuation; returns the first error.
int CopyAddressCharacters(char *dst, size_t dstSize, const char *begin, const char *end)
{
    int rc = 0;
    size_t n = 0;
    for (const char *p = begin; p < end && n + 1 < dstSize; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == ',') {
            dst[n++] = '_';
            if (rc == 0)
                rc = -5;
        } else if (c < 128 && (isalnum(c) || ispunct(c))) {
            dst[n++] = static_cast<char>(c);
        } else if (rc == 0) {
            rc = -4;
        }
    }
    if (dstSize > 0)
        dst[n] = '\0';
    return rc;
}

// The host part after the "@": labels joined by single separators.
int CheckHostPart(const char *host)
{
    int labels = 0;
    bool inLabel = false;
    for (const char *p = host; *p != '\0'; p++) {
        if (*p == '@')
            return -11;
        if (IsSeparator(*p)) {
            if (!inLabel)
                return -12;
            inLabel = false;
        } else if (!inLabel) {
            inLabel = true;
            labels++;
        }
    }
    if (!inLabel)
        return -9;
    return labels < 2 ? -10 : 0;
}

}  // namespace

int GetEmailAddress(char *dst, size_t dstSize, const char *text, const char *defaultHost)
{
    if (dstSize == 0)
        return -4;
    dst[0] = '\0';
    const char *begin = nullptr;
    const char *end = nullptr;
    int rc = TakeBracketed(text, &begin, &end);
    if (rc < 0)
        return rc;
    CutComment(begin, &end);
    rc = CopyAddressCharacters(dst, dstSize, begin, end);
    if (rc < 0)
        return rc;

    // The local part.
    const char *p = dst;
    if (*p == '@')
        return -8;
    bool afterSeparator = true;
    for (; *p != '@'; p++) {
        if (*p == '\0')
            return -6;
        if (IsSeparator(*p)) {
            if (afterSeparator)
                return -7;
            afterSeparator = true;
        } else {
            afterSeparator = false;
        }
    }
    if (p[1] == '\0') {   // "name@": the client's host completes it
        Strncat(dst, defaultHost, dstSize);
        return 0;
    }
    return CheckHostPart(p + 1);
}

void RecogniseClientByPassword(const char *password)
{
    if (gClientType != 0 || password[0] == '\0')
        return;
    if (strncmp(password + 1, "ozilla@", 7) == 0)
        gClientType = 2;
    else if (strncmp(password, "IEUser@", 7) == 0
             || (password[0] == 'I' && password[1] == 'E' && isdigit(static_cast<unsigned char>(password[2])))
             || strncmp(password, "macexplorer@", 12) == 0)
        gClientType = 3;
    else if (strstr(password, "AppleNetworkingTechnology@") != nullptr)
        gClientType = 4;
}

int AnonPasswordAccepted(const char *password, char *email, size_t emailSize)
{
    const int rc = GetEmailAddress(email, emailSize, password, gRUserPtr->host);
    switch (gAPasswordMode) {
    case kAnonPassNone:
    case kAnonPassAny:
        return 1;
    case kAnonPassAtSign:
        return rc == 0 || strchr(password, '@') != nullptr;
    case kAnonPassLookValid:
        return rc == 0;
    case kAnonPassExactly:
        // The password is no address; it must not be shown as one.
        email[0] = '\0';
        return strcmp(password, gRequiredAnonPasswd) == 0;
    default:
        return 0;
    }
}

int AnonPasswordIsSecret()
{
    return gAPasswordMode == kAnonPassExactly ? 1 : 0;
}

void InvalidAnonPasswordReply()
{
    if (gAPasswordMode == kAnonPassExactly) {
        Reply("530 Guest password incorrect.\r\n");
        return;
    }
    Reply("530-You must supply a valid email address as your password.\r\n");
    Reply("530-For example, joe@example.com is okay.\r\n");
    if (gRUserPtr->hostResolved)
        Reply("530-You might try something like \"tobin@%s\".\r\n", gRUserPtr->host);
    Reply("530 Login failed.\r\n");
}

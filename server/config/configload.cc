// Files named by general.cf that are read after both configuration files:
// the denied users, the valid shells and the full-server refusal message.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"

namespace {

enum class EtcList { kShells, kFtpusers };

// What the administrator should do when the list could not be loaded.
void LogRecommendation(EtcList which)
{
    Log(kLogMisc, "It is recommended your general.cf file has the line:\n");
    if (which == EtcList::kShells) {
        Log(kLogMisc, "  u-valid-user-shell-file=/etc/shells\n");
        Log(kLogMisc, "And that the file have a list of all interactive shells.\n");
        Log(kLogMisc, "This prevents logins to usernames with non-interactive shells.\n");
        Log(kLogMisc, "\n");
        Log(kLogMisc, "See the u-valid-user-shell-file entry in the sample general.cf for details.\n");
    } else {
        Log(kLogMisc, "  u-deny-users-file=/etc/ftpusers\n");
        Log(kLogMisc, "And that the file have a list of all users that.\n");
        Log(kLogMisc, "should not be allowed to login via ftp.\n");
        Log(kLogMisc, "At a minimum, you should have \"root\" in this file.\n");
        Log(kLogMisc, "\n");
        Log(kLogMisc, "See the u-deny-users-file entry in the sample general.cf for details.\n");
    }
}

// Reads the whole file with a line feed added before the first and after the
// last byte, so a name is looked up as "\nname\n". NUL bytes and carriage
// returns become line feeds: a stray NUL must not hide the names after it from
// the lookup, and a file saved with CR LF must still deny "root". Returns
// nullptr after logging why.
char *ReadWholeFileAsLines(const char *path)
{
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        LogPerror("%.300s", path);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fileno(fp), &st) < 0) {
        LogPerror("could not read from %.300s", path);
        fclose(fp);
        return nullptr;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(size + 3));
    if (buf == nullptr) {
        LogPerror("malloc failed");
        fclose(fp);
        return nullptr;
    }
    buf[0] = '\n';
    const size_t got = fread(buf + 1, 1, size, fp);
    if (got != size || ferror(fp)) {
        LogPerror("could not read from %.300s", path);
        free(buf);
        fclose(fp);
        return nullptr;
    }
    fclose(fp);
    for (size_t i = 1; i <= size; i++)
        if (buf[i] == '\0' || buf[i] == '\r')
            buf[i] = '\n';
    buf[size + 1] = '\n';
    buf[size + 2] = '\0';
    return buf;
}

int LoadEtcList(EtcList which, const char *keyName, const char *path, char **list)
{
    free(*list);
    *list = nullptr;
    if (path[0] == '\0') {
        Log(kLogMisc, "Config file warning: %s not defined.\n", keyName);
        LogRecommendation(which);
        return -1;
    }
    *list = ReadWholeFileAsLines(path);
    if (*list == nullptr) {
        LogRecommendation(which);
        return -1;
    }
    return 0;
}

}  // namespace

int LoadEtcShells()
{
    return LoadEtcList(EtcList::kShells, "u-valid-user-shell-file", gValidUserShellFile, &gValidUserShells);
}

int LoadEtcFtpusers()
{
    gFTPUserIsBlacklisted = 0;
    if (LoadEtcList(EtcList::kFtpusers, "u-deny-users-file", gDenyUsersFile, &gDenyFTPUsers) < 0)
        return -1;
    // Denying the anonymous account's names denies anonymous logins.
    if (strstr(gDenyFTPUsers, "\nftp\n") != nullptr || strstr(gDenyFTPUsers, "\nanonymous\n") != nullptr
        || strstr(gDenyFTPUsers, "\n_ftp\n") != nullptr)
        gFTPUserIsBlacklisted = 1;
    return 0;
}

int LoadRefuseConnectionsMsg(const char *path)
{
    const char *const text = "Too many users are already logged on.";
    FILE *fp = nullptr;
    const bool named = path != nullptr && path[0] != '\0';    // path may be gRefuseMessageFile
    if (named) {
        fp = fopen(path, "r");
        if (fp == nullptr)
            LogPerror("%.300s", path);
    }
    if (fp == nullptr) {
        snprintf(gRefuseConnectionsMsg, sizeof(gRefuseConnectionsMsg),
                 "421 %s  Please try again in 10 minutes.\r\n", text);
        gRefuseMessageFile[0] = '\0';
        return named ? -1 : 0;
    }

    snprintf(gRefuseConnectionsMsg, sizeof(gRefuseConnectionsMsg), "421-%s\r\n", text);
    const size_t lastLineRoom = sizeof("421 \r\n");
    char *whole = nullptr;    // one whole line: a NUL inside must not end it early
    size_t wholeSize = 0;
    ssize_t got;
    while ((got = getline(&whole, &wholeSize, fp)) >= 0) {
        size_t len = static_cast<size_t>(got);
        if (len > 0 && whole[len - 1] == '\n')
            whole[--len] = '\0';
        if (len > 0 && whole[len - 1] == '\r')
            whole[--len] = '\0';    // a file written with CRLF line ends
        char line[128];    // at most 127 characters of a line; the rest is dropped
        Strncpy(line, whole);
        const size_t used = strlen(gRefuseConnectionsMsg);
        if (used + 4 + strlen(line) + 2 + lastLineRoom > sizeof(gRefuseConnectionsMsg))
            break;    // the reply is full; the final line must still fit
        snprintf(gRefuseConnectionsMsg + used, sizeof(gRefuseConnectionsMsg) - used, "421-%s\r\n", line);
    }
    free(whole);
    fclose(fp);
    Strncat(gRefuseConnectionsMsg, "421 \r\n");
    return 0;
}

// The password sources of a domain set ("passwd" in domain.cf) and the checks
// a password database file must pass before a set may use it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <strings.h>

#include "Strn.h"
#include "config/domain.h"
#include "log/log.h"

int StartupCheckPermissionsOnPasswdFile(const char *path)
{
    // Only an absolute path names one file: the processes that read the
    // database change directory with every session.
    if (path[0] != '/') {
        Log(kLogMisc, "Password database %s is not a full pathname, not using it.\n", path);
        return -1;
    }
    struct stat st {};
    if (stat(path, &st) < 0) {
        Log(kLogMisc, "Password database %s does not exist.\n", path);
        return -1;
    }
    // Encrypted passwords must not be readable, nor the file writable, by anyone else.
    const bool root = getuid() == 0 || geteuid() == 0;
    if (root && strcmp(path, "/etc/passwd") != 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        Log(kLogMisc, "Password database %s must not be accessible in any way by group or public.\n"
                      "\"/bin/chmod go-rwx\" this file if it is a legitimate database file.\n", path);
        return -1;
    }

    // Whoever may write the directory may replace the file.
    char dir[kDomainTextSize];
    Strncpy(dir, path);
    char *slash = strrchr(dir, '/');
    slash[slash == dir ? 1 : 0] = '\0';
    if (stat(dir, &st) < 0) {
        Log(kLogMisc, "%s unexpectedly removed.\n", dir);
        return -1;
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        Log(kLogMisc, "%s is public-writeable, will not use passwd databases in this directory.\n", dir);
        return -1;
    }
    return 0;
}

void DropDomainPasswdSources(DomainInfo *d)
{
    d->passwd[0] = '\0';
    d->numPasswdSources = 0;
}

void SetDomainPasswdSources(DomainInfo *d, const char *list)
{
    Strncpy(d->passwd, list);
    d->numPasswdSources = 0;

    char entries[kDomainTextSize];
    Strncpy(entries, list);
    char *context = nullptr;
    for (char *entry = strtokc(entries, ",\n\t\r", &context); entry != nullptr;
         entry = strtokc(nullptr, ",\n\t\r", &context)) {
        // "a, b" is a list of two: blanks around an entry are not part of it.
        entry += strspn(entry, " ");
        size_t len = strlen(entry);
        while (len > 0 && entry[len - 1] == ' ')
            entry[--len] = '\0';
        if (len == 0 || strcasecmp(entry, "none") == 0 || strcmp(entry, "/dev/null") == 0)
            continue;

        const int kind = strcmp(entry, "/etc/passwd") == 0 ? kPasswdSystem : kPasswdDatabase;
        if (kind == kPasswdDatabase && StartupCheckPermissionsOnPasswdFile(entry) < 0)
            continue;
        if (d->numPasswdSources >= kMaxPasswdSources) {
            Log(kLogMisc, "Too many password sources for domain %s; %s is not used.\n", d->setName, entry);
            continue;
        }
        PasswdSource &src = d->passwdSources[d->numPasswdSources++];
        src.kind = kind;
        Strncpy(src.path, entry);
    }
}

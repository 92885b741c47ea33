// User classes: the table that the class keys of general.cf fill.
#include "config/userclass.h"

#include <grp.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Strn.h"
#include "config/config.h"
#include "log/log.h"

UserClass gUserClasses[kMaxUserClasses];
UserClass *gCurRestrClass = &gUserClasses[0];
char gHomeDirSubDir[128];
int gRestrictedModeSwitch;

namespace {

// The ten switches that "W" names.
constexpr int kWriteFlags[] = {kPermModify, kPermAppend, kPermCreate, kPermDelete, kPermRename,
                               kPermMkdir,  kPermRmdir,  kPermUtime,  kPermOwner,  kPermLink};

int ClassIndex(const UserClass *uc)
{
    return static_cast<int>(uc - gUserClasses);
}

int TooManyClasses()
{
    fprintf(stderr, "You cannot have more than %d user classes.\n", kMaxUserClasses - 1);
    return -1;
}

// Permissions of a new class: a full set less what u-read-permission and
// u-write-permission (as last set) take away.
void GiveDefaultPermissions(UserClass *uc)
{
    char bad;
    if (!gUserReadPermission && !gUserWritePermission)
        (void) ParseUserPermissions("-RW", uc->permissions, &bad);
    else if (!gUserReadPermission)
        (void) ParseUserPermissions("-R", uc->permissions, &bad);
    else if (!gUserWritePermission)
        (void) ParseUserPermissions("-W", uc->permissions, &bad);
}

// A record holds a class once a class key was applied to it and it can take
// a user: a named class without groups takes none, so its record is free for
// the next class.
bool HoldsClass(const UserClass &uc)
{
    return uc.inUse && (uc.groupRule != kGroupRuleNone || ClassWithoutGroupsTakesAll(uc));
}

// Makes the current record a fresh one for a new class: a record that holds a
// class is left behind; the last record is kept for "default".
int StartClassRecord()
{
    if (HoldsClass(*gCurRestrClass)) {
        if (ClassIndex(gCurRestrClass) + 1 >= kMaxUserClasses - 1)
            return TooManyClasses();
        gCurRestrClass++;
    }
    InitUserClass(gCurRestrClass);
    GiveDefaultPermissions(gCurRestrClass);
    return 0;
}

void NameDefaultClass(UserClass *uc)
{
    Strncpy(uc->name, "default");
    uc->groupRule = kGroupRuleAll;
    uc->inUse = 1;
}

// The directory of "root" and "subdir-of-homedir" is one value for all classes.
int SetClassDirectory(const char *dir)
{
    if (gHomeDirSubDir[0] != '\0' && strcmp(gHomeDirSubDir, dir) != 0) {
        fprintf(stderr, "Sorry, but the u-restrict-mode option's root and subdir-of-homedir suboptions are "
                        "currently limited to a single value which apply to all user classes.  You are "
                        "seeing this message because you tried to set it to a different value than you had "
                        "for another user class.\n");
        return -1;
    }
    Strncpy(gHomeDirSubDir, dir);
    gCurRestrClass->restricted = 1;
    gCurRestrClass->dirSet = 1;
    return 0;
}

}  // namespace

void InitUserClass(UserClass *uc)
{
    memset(uc, 0, sizeof(*uc));
    for (gid_t &g : uc->groups)
        g = static_cast<gid_t>(-1);
    uc->restricted = 1;
    for (int &p : uc->permissions)
        p = 1;
}

void ResetUserClasses()
{
    for (UserClass &uc : gUserClasses)
        InitUserClass(&uc);
    gCurRestrClass = &gUserClasses[0];
    gHomeDirSubDir[0] = '\0';
    gRestrictedModeSwitch = 0;
}

int AddUserClass(const char *name)
{
    if (StartClassRecord() < 0)
        return -1;
    // Only a class key puts the record in use: a name alone is no class.
    if (strcasecmp(name, "default") == 0)
        NameDefaultClass(gCurRestrClass);
    else
        Strncpy(gCurRestrClass->name, name);
    return 0;
}

int ParseUserPermissions(const char *text, int *permissions, char *bad)
{
    int value = 0;
    int result = 0;
    for (const char *cp = text; *cp != '\0'; cp++) {
        int flag = -1;
        switch (*cp) {
        case '+': value = 1; continue;
        case '-': value = 0; continue;
        case ' ': case '\t': continue;
        case '*':
            for (int i = 0; i < kNumUserPermissions; i++)
                permissions[i] = value;
            continue;
        case 'w':
            permissions[kPermModify] = permissions[kPermAppend] = permissions[kPermCreate] = value;
            continue;
        case 'W':
            for (int f : kWriteFlags)
                permissions[f] = value;
            continue;
        case 'R': case 'r': flag = kPermRead; break;
        case 'm': flag = kPermModify; break;
        case 'a': flag = kPermAppend; break;
        case 'c': flag = kPermCreate; break;
        case 'd': flag = kPermDelete; break;
        case 'n': flag = kPermRename; break;
        case 'L': flag = kPermMlsd; break;
        case 'C': flag = kPermChdir; break;
        case 'M': flag = kPermMkdir; break;
        case 'D': flag = kPermRmdir; break;
        case 't': flag = kPermUtime; break;
        case 'u': flag = kPermUmask; break;
        case '0': case 'O': case 'o': flag = kPermOwner; break;
        case 'l': flag = kPermLink; break;
        default:
            if (result == 0) {
                *bad = *cp;
                result = -1;
            }
            continue;
        }
        permissions[flag] = value;
    }
    return result;
}

void GetUserPermissionsString(const int *permissions, char *dst, size_t size)
{
    char buf[32];
    size_t n = 0;
    if (permissions[kPermRead])
        buf[n++] = 'R';

    bool allWrite = true;
    for (int f : kWriteFlags)
        allWrite = allWrite && permissions[f];
    if (allWrite) {
        buf[n++] = 'W';
    } else {
        const bool mac = permissions[kPermModify] && permissions[kPermAppend] && permissions[kPermCreate];
        if (mac)
            buf[n++] = 'w';
        constexpr struct { char letter; int flag; } kLetters[] = {
            {'m', kPermModify}, {'a', kPermAppend}, {'c', kPermCreate}, {'d', kPermDelete},
            {'n', kPermRename}, {'M', kPermMkdir},  {'D', kPermRmdir},  {'t', kPermUtime},
            {'o', kPermOwner},  {'l', kPermLink},
        };
        for (const auto &l : kLetters) {
            const bool inMac = l.flag == kPermModify || l.flag == kPermAppend || l.flag == kPermCreate;
            if (permissions[l.flag] && !(mac && inMac))
                buf[n++] = l.letter;
        }
    }
    if (permissions[kPermMlsd])
        buf[n++] = 'L';
    if (permissions[kPermChdir])
        buf[n++] = 'C';
    if (permissions[kPermUmask])
        buf[n++] = 'u';
    buf[n] = '\0';
    Strncpy(dst, buf, size);
}

void SetRestrictedGroups(const char *list, gid_t *groups, int *count, int *except, int *rule)
{
    for (int i = 0; i < kMaxClassGroups; i++)
        groups[i] = static_cast<gid_t>(-1);
    *count = 0;
    *except = 0;

    const char *const kSeparators = " ,\r\n\t";
    const char *cp = list + strspn(list, kSeparators);
    if (strcasecmp(cp, "none") == 0) {
        *rule = kGroupRuleNone;
        return;
    }
    if (strcasecmp(cp, "all") == 0) {
        *rule = kGroupRuleAll;
        *count = 1;    // the one entry stays -1
        return;
    }
    *rule = kGroupRuleListed;
    if (strncasecmp(cp, "all except ", 11) == 0) {
        *except = 1;
        cp += 11;
    }
    for (cp += strspn(cp, kSeparators); *cp != '\0'; cp += strspn(cp, kSeparators)) {
        const size_t len = strcspn(cp, kSeparators);
        char name[256];
        Strncpy(name, cp, len + 1 < sizeof(name) ? len + 1 : sizeof(name));
        cp += len;
        if (*count >= kMaxClassGroups)
            break;

        if (strspn(name, "0123456789") == strlen(name)) {
            groups[(*count)++] = static_cast<gid_t>(strtoul(name, nullptr, 10));
            continue;
        }
        const struct group *gr = getgrnam(name);
        if (gr == nullptr) {
            fprintf(stderr, "Could not get group ID for group name \"%s\"\n", name);
            continue;
        }
        groups[(*count)++] = gr->gr_gid;
    }
}

int SetRestrictedMode(const char *value)
{
    UserClass *uc = gCurRestrClass;
    char buf[1024];
    Strncpy(buf, value);
    const char *const kSeparators = " =,\r\n\t";
    char *context = nullptr;
    for (char *word = strtokc(buf, kSeparators, &context); word != nullptr;
         word = strtokc(nullptr, kSeparators, &context)) {
        if (strcmp(word, "none") == 0) {
            uc->restricted = 0;
            break;
        }
        if (strcmp(word, "unrestricted") == 0) {
            uc->restricted = 0;
        } else if (strcmp(word, "homedir") == 0) {
            uc->restricted = 1;
            gRestrictedModeSwitch = 1;
        } else if (strcmp(word, "subdir-of-homedir") == 0) {
            const char *dir = strtokc(nullptr, kSeparators, &context);
            if (dir == nullptr) {
                fprintf(stderr, "Missing dir for the u-restrict-mode %s option.\n", word);
                return -1;
            }
            if (dir[0] == '/') {
                fprintf(stderr, "The subdirectory for the u-restrict-mode %s option must not be an absolute path.\n",
                        word);
                return -1;
            }
            if (SetClassDirectory(dir) < 0)
                return -1;
        } else if (strcmp(word, "root") == 0 || word[0] == '/') {
            const char *dir = word;
            if (word[0] != '/') {
                dir = strtokc(nullptr, kSeparators, &context);
                if (dir == nullptr) {
                    fprintf(stderr, "Missing dir for the u-restrict-mode %s option.\n", word);
                    return -1;
                }
                if (dir[0] != '/') {
                    fprintf(stderr, "The directory for the u-restrict-mode %s option must be an absolute path.\n",
                            word);
                    return -1;
                }
            }
            if (SetClassDirectory(dir) < 0)
                return -1;
        } else if (word[0] == '+' || word[0] == '-') {
            Strncat(uc->permText, word);
            char bad = '\0';
            if (ParseUserPermissions(word, uc->permissions, &bad) < 0) {
                fprintf(stderr, "Unknown user permission type \"%c\" in restrict-mode.\n", bad);
                return -1;
            }
        } else {
            fprintf(stderr, "Unknown restrict-mode \"%s\"\n", word);
            return -1;
        }
    }
    return 0;
}

int BeginNewUserClass(const char *name)
{
    return AddUserClass(name);
}

int SetClassRestrictMode(const char *value)
{
    gCurRestrClass->inUse = 1;
    return SetRestrictedMode(value);
}

int SetClassRestrictedGroups(const char *value)
{
    UserClass *uc = gCurRestrClass;
    SetRestrictedGroups(value, uc->groups, &uc->numGroups, &uc->except, &uc->groupRule);
    uc->inUse = 1;
    return 0;
}

int SetClassReadPermission(int on)
{
    char bad;
    (void) ParseUserPermissions(on ? "+R" : "-R", gCurRestrClass->permissions, &bad);
    gCurRestrClass->inUse = 1;
    return 0;
}

int SetClassWritePermission(int on)
{
    char bad;
    (void) ParseUserPermissions(on ? "+W" : "-W", gCurRestrClass->permissions, &bad);
    gCurRestrClass->inUse = 1;
    return 0;
}

int AddOneLineUserClass(OneLineClassKind kind, const char *keyName, const char *groups)
{
    if (AddUserClass(keyName) < 0)
        return -1;
    UserClass *uc = gCurRestrClass;
    SetRestrictedGroups(groups, uc->groups, &uc->numGroups, &uc->except, &uc->groupRule);
    uc->inUse = 1;
    const char *perms = kind == kReadOnlyClass ? "-*+RLC" : kind == kWriteOnlyClass ? "+*-R" : "-*+cuCL";
    char bad;
    (void) ParseUserPermissions(perms, uc->permissions, &bad);

    // Later class keys must not alter the class just declared: they go to a
    // fresh unnamed record (not in use, so begin-new-user-class reuses it).
    if (ClassIndex(uc) + 1 < kMaxUserClasses) {
        gCurRestrClass++;
        InitUserClass(gCurRestrClass);
        GiveDefaultPermissions(gCurRestrClass);
    }
    return 0;
}

int CloseUserClasses()
{
    if (HoldsClass(*gCurRestrClass)) {
        if (ClassIndex(gCurRestrClass) + 1 >= kMaxUserClasses)
            return TooManyClasses();
        gCurRestrClass++;
    }
    // A record without groups that is reused for "default" keeps nothing of
    // the keys given for it.
    InitUserClass(gCurRestrClass);
    GiveDefaultPermissions(gCurRestrClass);
    NameDefaultClass(gCurRestrClass);
    return 0;
}

void DumpUserClasses()
{
    for (int i = 0; i < kMaxUserClasses; i++) {
        const UserClass &uc = gUserClasses[i];
        if (!uc.inUse)
            continue;
        char perms[32];
        GetUserPermissionsString(uc.permissions, perms, sizeof(perms));
        Log(kLogMisc, "UserClass #%d name=\"%s\" ups=\"%s\"==\"%s\" rby=%d ngids=%d ~=%d /=%d\n", i, uc.name,
            uc.permText, perms, uc.groupRule, uc.numGroups, uc.restricted, uc.dirSet);
    }
}

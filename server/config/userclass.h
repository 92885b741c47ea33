// User classes: non-anonymous users are sorted into classes by their Unix
// groups; a class gives a set of permission switches and says whether its
// members are restricted. Classes are declared in general.cf by the class keys
// (begin-new-user-class, u-restrict-mode, u-restricted-groups, ...); closing the
// table adds the final "default" class.
#pragma once

#include <sys/types.h>

constexpr int kMaxUserClasses = 16;        // 15 declared classes plus "default"
constexpr int kMaxClassGroups = 16;
constexpr int kNumUserPermissions = 14;

// Permission switch numbers (record order); the letter naming each in texts.
enum UserPermission {
    kPermRead = 0,        // R
    kPermModify = 1,      // m
    kPermAppend = 2,      // a
    kPermCreate = 3,      // c
    kPermDelete = 4,      // d
    kPermRename = 5,      // n
    kPermMlsd = 6,        // L
    kPermChdir = 7,       // C
    kPermMkdir = 8,       // M
    kPermRmdir = 9,       // D
    kPermUtime = 10,      // t
    kPermUmask = 11,      // u
    kPermOwner = 12,      // o
    kPermLink = 13,       // l
};

// Group rule of a class.
constexpr int kGroupRuleNone = 0;          // no groups given
constexpr int kGroupRuleAll = 1;           // every user
constexpr int kGroupRuleListed = 2;        // the listed groups

struct UserClass {
    char name[20];                         // "default" for the last; empty = unnamed
    char permText[24];                     // u-restrict-mode permission text, for display
    int groupRule;
    int numGroups;
    gid_t groups[kMaxClassGroups];         // unused entries are (gid_t) -1
    int except;                            // the list began with "all except "
    int restricted;                        // members are restricted (initially 1)
    int inUse;                             // the record holds a class
    int dirSet;                            // a root or subdir-of-homedir was given for it
    int permissions[kNumUserPermissions];  // initially all 1
};

// A class without a group rule: the unnamed class of keys given outside any
// begin-new-user-class takes every user (a lone "u-restrict-mode = none"
// frees everyone); a class begun by name takes nobody until its groups are
// given, so a forgotten group key cannot put every user into it.
inline bool ClassWithoutGroupsTakesAll(const UserClass &uc)
{
    return uc.name[0] == '\0';
}

extern UserClass gUserClasses[kMaxUserClasses];
extern UserClass *gCurRestrClass;          // the class the class keys modify
extern char gHomeDirSubDir[128];           // u-restrict-mode subdir-of-homedir (relative)
                                           // or root (absolute); one value for all classes
extern int gRestrictedModeSwitch;          // set by u-restrict-mode homedir

// Empties the table: every record initialised, the first one current.
void ResetUserClasses();

// Clears one record to its initial values.
void InitUserClass(UserClass *uc);

// Starts the next record under name (begin-new-user-class); the name "default"
// (any case) makes it the class of all groups and puts it in use, any other
// name waits for a class key. A record that holds a class (in use, with a
// group rule) is left behind first; one without groups is reused. Returns -1
// after printing the limit message when no record is left (the last one is
// kept for "default").
[[nodiscard]] int AddUserClass(const char *name);

// Applies a permission text ("+R-W", "-*+RLC", ...). Returns 0, or -1 with the
// offending character in *bad (the other letters have been applied).
int ParseUserPermissions(const char *text, int *permissions, char *bad);

// Renders permissions for display: "RWLCu" for full permissions.
void GetUserPermissionsString(const int *permissions, char *dst, size_t size);

// Parses a group list ("none", "all", "all except a b", "staff,100 wheel").
void SetRestrictedGroups(const char *list, gid_t *groups, int *count, int *except, int *rule);

// Parses u-restrict-mode for the current class. Returns -1 after printing the
// message of an invalid value.
[[nodiscard]] int SetRestrictedMode(const char *value);

// The class keys of general.cf; each returns -1 after printing its message.
[[nodiscard]] int BeginNewUserClass(const char *name);
[[nodiscard]] int SetClassRestrictMode(const char *value);
[[nodiscard]] int SetClassRestrictedGroups(const char *value);
[[nodiscard]] int SetClassReadPermission(int on);
[[nodiscard]] int SetClassWritePermission(int on);
// Read-only, write-only and add-only classes declared in one line.
enum OneLineClassKind { kReadOnlyClass, kWriteOnlyClass, kAddOnlyClass };
[[nodiscard]] int AddOneLineUserClass(OneLineClassKind kind, const char *keyName, const char *groups);

// Closes the table after general.cf with the "default" class. Returns -1 after
// printing the limit message when there is no room.
[[nodiscard]] int CloseUserClasses();

// Verbose start-up dump, one log line per class in use, numbered from 0.
void DumpUserClasses();

// The class of the user being admitted (gPass, login.h): copies the class's
// permissions into the session, decides whether the user is restricted and
// writes the restriction text into the status slot (userclass_login.cc).
void CheckForRestrictedUser();

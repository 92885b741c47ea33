// PAM for system accounts: the conversation that hands over the password
// typed with PASS and nothing else, the handle of the session and its items,
// and the ends of the handle.
//
// What a client guessing passwords can learn: the reply, the failed-attempt
// count and the pauses are the caller's, the same as for a wrong password
// (session/login.cc).  PAM's own failure delay is turned off here (its
// random two seconds would come only for accounts that exist, and so tell
// them from unknown names); the caller's growing pauses stand in for it.
#include "auth/pam.h"

#include <security/pam_appl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/dynlib.h"
#include "config/config.h"
#include "log/log.h"

namespace {

// The library's calls, bound by PamLoad.
struct PamApi {
    decltype(&pam_start) start;
    decltype(&pam_end) end;
    decltype(&pam_set_item) setItem;
    decltype(&pam_get_item) getItem;
    decltype(&pam_strerror) strerror;
    decltype(&pam_authenticate) authenticate;
    decltype(&pam_acct_mgmt) acctMgmt;
    decltype(&pam_open_session) openSession;
    decltype(&pam_close_session) closeSession;
};
PamApi gPam;
bool gPamLoaded;

pam_handle_t *gPamh;
bool gPamSessionOpen;
// Set while a PAM call runs: a signal that ends the process in the middle of
// one leaves the handle alone (Exit must not re-enter the library).
volatile sig_atomic_t gPamBusy;

// Marks a PAM call in progress for as long as it lives.
struct PamCall {
    PamCall() { gPamBusy = 1; }
    ~PamCall() { gPamBusy = 0; }
    PamCall(const PamCall &) = delete;
    PamCall &operator=(const PamCall &) = delete;
};

// The conversation: every message must be a prompt for the password, with
// echo off, and each gets the password; any other message (a question with
// echo on, a text to show) fails the whole conversation, so no module can ask
// the client for anything else or tell it anything.  appdata is the password,
// or nullptr once authentication is over.
int Converse(int n, const struct pam_message **msg, struct pam_response **resp, void *appdata)
{
    const char *password = static_cast<const char *>(appdata);
    if (password == nullptr || n <= 0 || n > PAM_MAX_NUM_MSG || msg == nullptr || resp == nullptr)
        return PAM_CONV_ERR;
    for (int i = 0; i < n; i++) {
        if (msg[i] == nullptr || msg[i]->msg_style != PAM_PROMPT_ECHO_OFF)
            return PAM_CONV_ERR;
    }
    auto *answers = static_cast<struct pam_response *>(calloc(static_cast<size_t>(n), sizeof(struct pam_response)));
    if (answers == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < n; i++) {
        answers[i].resp = strdup(password);
        if (answers[i].resp == nullptr) {
            for (int j = 0; j < i; j++) {
                explicit_bzero(answers[j].resp, strlen(answers[j].resp));
                free(answers[j].resp);
            }
            free(answers);
            return PAM_BUF_ERR;
        }
    }
    *resp = answers;
    return PAM_SUCCESS;
}

// Stands in for PAM's failure delay (see the top of the file).
void NoFailDelay(int, unsigned, void *)
{
}

void EndHandle(int status)
{
    if (gPamh != nullptr)
        (void) gPam.end(gPamh, status);
    gPamh = nullptr;
    gPamSessionOpen = false;
}

// Refusals are no errors: they are written only for auth-debug.
void DebugRefusal(const char *step, const char *user, int rc)
{
    if (gAuthDebug)
        Log(kLogMisc, "AuthDebug: PAM %s refused user %.63s: %s.\n", step, user, gPam.strerror(gPamh, rc));
}

int SetItem(int item, const void *value, const char *what)
{
    const int rc = gPam.setItem(gPamh, item, value);
    if (rc != PAM_SUCCESS)
        Log(kLogMisc, "PAM: cannot set %s: %s.\n", what, gPam.strerror(gPamh, rc));
    return rc;
}

}  // namespace

int PamLoad(char *why, size_t whyLen)
{
    if (gPamLoaded)
        return 0;
    void *lib = OpenLibrary(kPamLibrary, why, whyLen);
    if (lib == nullptr)
        return -1;
    PamApi api {};
    const bool bound = LibrarySymbol(lib, "pam_start", api.start, why, whyLen)
                       && LibrarySymbol(lib, "pam_end", api.end, why, whyLen)
                       && LibrarySymbol(lib, "pam_set_item", api.setItem, why, whyLen)
                       && LibrarySymbol(lib, "pam_get_item", api.getItem, why, whyLen)
                       && LibrarySymbol(lib, "pam_strerror", api.strerror, why, whyLen)
                       && LibrarySymbol(lib, "pam_authenticate", api.authenticate, why, whyLen)
                       && LibrarySymbol(lib, "pam_acct_mgmt", api.acctMgmt, why, whyLen)
                       && LibrarySymbol(lib, "pam_open_session", api.openSession, why, whyLen)
                       && LibrarySymbol(lib, "pam_close_session", api.closeSession, why, whyLen);
    if (!bound) {
        dlclose(lib);
        return -1;
    }
    gPam = api;
    gPamLoaded = true;
    return 0;
}

int PamAuthenticate(const char *user, const char *password, const char *rhost)
{
    char why[256];
    if (PamLoad(why, sizeof(why)) < 0) {
        Log(kLogMisc, "PAM: cannot load %s: %s.\n", kPamLibrary, why);
        return -1;
    }
    PamCall call;
    EndHandle(PAM_ABORT);   // nothing of an earlier attempt is carried over
    const struct pam_conv withPassword = {Converse, const_cast<char *>(password)};
    int rc = gPam.start(kPamService, user, &withPassword, &gPamh);
    if (rc != PAM_SUCCESS) {
        Log(kLogMisc, "PAM: cannot start service %s: %s.\n", kPamService, gPam.strerror(gPamh, rc));
        EndHandle(rc);
        return -1;
    }
    const bool itemsSet = SetItem(PAM_RHOST, rhost, "the remote host") == PAM_SUCCESS
                          && SetItem(PAM_TTY, kPamTty, "the tty") == PAM_SUCCESS
                          && SetItem(PAM_FAIL_DELAY, reinterpret_cast<const void *>(NoFailDelay),
                                     "the failure delay") == PAM_SUCCESS;
    if (!itemsSet) {
        EndHandle(PAM_ABORT);
        return -1;
    }
    rc = gPam.authenticate(gPamh, PAM_DISALLOW_NULL_AUTHTOK);
    // The password stays with the caller, which wipes it: from here on the
    // conversation has none to give.
    const struct pam_conv withoutPassword = {Converse, nullptr};
    if (SetItem(PAM_CONV, &withoutPassword, "the conversation") != PAM_SUCCESS) {
        EndHandle(PAM_ABORT);
        return -1;
    }
    if (rc != PAM_SUCCESS) {
        DebugRefusal("authentication", user, rc);
        EndHandle(rc);
        return -1;
    }
    rc = gPam.acctMgmt(gPamh, PAM_DISALLOW_NULL_AUTHTOK);
    if (rc != PAM_SUCCESS) {
        DebugRefusal("account management", user, rc);
        EndHandle(rc);
        return -1;
    }
    // A module may have mapped the name to another account; the session is
    // the account the name was looked up as, so only that one is admitted.
    const void *item = nullptr;
    rc = gPam.getItem(gPamh, PAM_USER, &item);
    if (rc != PAM_SUCCESS || item == nullptr || strcmp(static_cast<const char *>(item), user) != 0) {
        Log(kLogMisc, "PAM: the user %.63s came back as %.63s; refused.\n", user,
            rc == PAM_SUCCESS && item != nullptr ? static_cast<const char *>(item) : "(none)");
        EndHandle(PAM_PERM_DENIED);
        return -1;
    }
    if (gAuthDebug)
        Log(kLogMisc, "AuthDebug: PAM admitted user %.63s.\n", user);
    return 0;
}

int PamOpenSession()
{
    if (gPamh == nullptr)
        return -1;
    PamCall call;
    const int rc = gPam.openSession(gPamh, 0);
    if (rc != PAM_SUCCESS) {
        Log(kLogMisc, "PAM: cannot open a session: %s.\n", gPam.strerror(gPamh, rc));
        EndHandle(rc);
        return -1;
    }
    gPamSessionOpen = true;
    return 0;
}

void PamForget()
{
    gPamh = nullptr;
    gPamSessionOpen = false;
}

void PamEndSession()
{
    if (gPamh == nullptr || gPamBusy)
        return;
    PamCall call;
    int rc = PAM_SUCCESS;
    if (gPamSessionOpen) {
        rc = gPam.closeSession(gPamh, 0);
        if (rc != PAM_SUCCESS)
            Log(kLogMisc, "PAM: cannot close the session: %s.\n", gPam.strerror(gPamh, rc));
    }
    EndHandle(rc);
}

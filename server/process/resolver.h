// A client's reverse name, looked up in a short-lived process of its own.
// The resolver parses answers from the client's own reverse zone, bytes the
// client writes: that runs in a helper with no way back to root (its limits:
// EnterLookupConfinement, sandbox.h), which sends its parent one fixed
// record.  The parent believes nothing of it that it has not checked.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "sio.h"

// What the helper found.
enum ReverseVerdict : uint32_t {
    kReverseNone = 0,           // no name: none given, the look-up failed, or no usable record
    kReverseLeadsBack = 1,      // the name, and looked up again it gives the address
    kReverseTooLong = 2,        // longer than the caller's longest: not looked up again
    kReverseNotBack = 3,        // the name does not lead back to the address
};

// Room for the name (a name in the DNS has at most 253 characters); a
// longer one (only a hosts file has them) comes cut, with its whole length.
constexpr size_t kReverseNameRoom = 256;

// The helper's record, written to its parent in one piece.
struct ReverseName {
    uint32_t verdict;                   // a ReverseVerdict
    uint32_t length;                    // the whole name's length; 0 for kReverseNone
    char name[kReverseNameRoom];        // its first kReverseNameRoom - 1 characters at most, NUL-terminated
};
static_assert(sizeof(ReverseName) == 264);

// Looks the name of addr up in a helper, with the forward confirmation
// (SioNameLeadsBack) unless the name is longer than longest characters.
// Waits at most timeoutSeconds for its record, then ends it (SIGKILL) and
// reaps it by its pid.  0 with *out the checked record; -1 with *out
// kReverseNone when there is no such record (no helper could be started,
// it timed out, it died, or what it sent failed a check; the first failure
// to start or to confine a helper is logged once per process).  No look-up
// is ever made in the calling process.
[[nodiscard]] int ConfinedReverseName(const SioAddr &addr, size_t longest, int timeoutSeconds, ReverseName *out);

// The same look-up while its caller goes on (the master, which must not
// stop taking clients for a refused client's name): the helper and the
// read end of its record's pipe, to be polled for POLLIN.
struct PendingLookup {
    pid_t pid = 0;          // 0 once the caller's own wait for any child reaped it
    int fd = -1;
    int status = 0;         // its wait status once reaped that way
};
// Starts the helper.  0, or -1 with nothing started (logged once).
[[nodiscard]] int StartReverseLookup(const SioAddr &addr, size_t longest, PendingLookup *l);
// The caller's wait for any child reaped the helper.
void NoteLookupReaped(PendingLookup *l, int status);
// Ends the helper (SIGKILL) unless it was reaped, reaps it, and takes what
// it sent as ConfinedReverseName does; *l is cleared, its pipe closed.
[[nodiscard]] int FinishReverseLookup(PendingLookup *l, size_t longest, ReverseName *out);

// The parent's check of the n bytes read from a helper: one whole record, a
// known verdict, a NUL in the name's room, a length that agrees with the
// verdict, with longest and with the name, and a name of host-name
// characters only (letters, digits, '-', '.', '_').  True with the record in
// *out; false with *out kReverseNone.
[[nodiscard]] bool TakeReverseRecord(const void *bytes, size_t n, size_t longest, ReverseName *out);

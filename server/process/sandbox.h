// The limits a child puts on itself before it serves anyone. The pool child
// keeps real and saved uid 0 so that it can serve one client after another
// (before a login, and as the privileged side of each logged-in session,
// which runs in a process of its own with the user's rights alone:
// session/privsep.h); these limits narrow what that root can still do.
#pragma once

#include <sys/types.h>

// Drops every capability a session never uses (from the bounding, permitted,
// effective, inheritable and ambient sets), sets no-new-privileges and
// installs a system-call filter that answers EPERM to calls a session never
// makes (tracing, mounting, modules, kexec, bpf, keys, reboot, swap, ...).
// The filter is inherited by the archivers a session starts. Each step that
// fails is logged and the process goes on; a kernel without system-call
// filters is no failure (logged once). Returns 0, or -1 when a step failed.
[[nodiscard]] int LimitSessionProcess();

// In the helper that looks a client's name up (process/resolver.cc), forked
// by parent, before it asks the resolver anything: the fronts' base id
// itself (nobody's without one) for its real, effective and saved ids, no
// supplementary groups, no capability in any set, not dumpable, no new
// privileges, ending with its parent, no process of its own to start, a few
// descriptors, and a system-call filter that ends it on any call the
// resolver does not make.  Its view of the files stays (the resolver reads
// /etc).  The helper has no log: its parent tells a failure.  0, or -1: no
// look-up may be made.
[[nodiscard]] int EnterLookupConfinement(pid_t parent);

// zorvad_repquota and zorvad_edquota: what the two quota tools share beyond
// the start-up of toolstart.h, namely finding and parsing one record.
#pragma once

#include <cstddef>

#include "Hpwd.h"

// Looks the len bytes of name up in the open database and parses the record
// into p.  0, or -1 after "Could not query record ..." or "Corrupt: ...".
[[nodiscard]] int LookUpRecord(const char *name, size_t len, Hpwd *p);

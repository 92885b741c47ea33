// OPTS: MLST, the only option, selects the facts of MLST and MLSD lines.
#include <strings.h>

#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "listing/mls.h"
#include "session/shell.h"

namespace {

constexpr size_t kMaxFactText = 16;        // longer words name no fact

// The bit of a fact named as the client spelled it, 0 for an unknown one.
int FactBit(const char *word, size_t len)
{
    if (len >= kMaxFactText || strncasecmp(word, "OS.", 3) == 0)
        return 0;                              // no operating-system facts are offered
    for (const MlsFact &f : kMlsFacts) {
        if (strlen(f.name) == len && strncasecmp(word, f.name, len) == 0)
            return f.bit;
    }
    return 0;
}

}  // namespace

void Opts(char *arg)
{
    if (strncasecmp(arg, "MLST", 4) != 0) {
        Reply("501 Option not recognized.\r\n");
        return;
    }
    if (!gAllowMls) {
        Reply("501 The %.8s command is disabled and options changes are not applicable.\r\n", "MLST");
        return;
    }
    const char *p = arg + 4;
    while (*p == ' ' || *p == '\t')
        p++;
    gMlsOpts = 0;
    char accepted[sizeof(kMlsFacts) / sizeof(kMlsFacts[0]) * kMaxFactText] = "";
    while (*p != '\0') {
        const size_t len = strcspn(p, ";");
        const int bit = FactBit(p, len);
        if (bit != 0 && (gMlsOpts & bit) == 0 && MlsFactOffered(bit)) {
            gMlsOpts |= bit;
            if (accepted[0] != '\0')
                Strncat(accepted, ";");
            char word[kMaxFactText];
            Strncpy(word, p, len + 1);
            Strncat(accepted, word);
        }
        p += len;
        if (*p == ';')
            p++;
    }
    if (accepted[0] == '\0')
        Reply("200 Option accepted.\r\n");
    else
        Reply("200 Options accepted: %s;\r\n", accepted);
}

// FEAT: the extensions this session is offered, built from the switches.
#include <cstring>

#include "Strn.h"
#include "config/config.h"
#include "listing/mls.h"
#include "session/shell.h"

namespace {

constexpr int kSiteUtimeBit = 8;           // SITE UTIME, and MFMT with it

// The MLST facts in FEAT's order, each with the separator before it.
struct FeatFact {
    const char *text;
    int bit;
};
constexpr FeatFact kFeatFacts[] = {
    {"Type", kMlsType},           {";Size", kMlsSize},           {";Modify", kMlsModify},
    {";Perm", kMlsPerm},          {";Unique", kMlsUnique},       {";UNIX.mode", kMlsUnixMode},
    {";UNIX.owner", kMlsUnixOwner}, {";UNIX.group", kMlsUnixGroup}, {";UNIX.uid", kMlsUnixUid},
    {";UNIX.gid", kMlsUnixGid},
};

}  // namespace

void Feat(char *)
{
    if (!gAllowFEAT) {
        NotImplemented();
        return;
    }
    char mlst[160] = "";
    if (gAllowMls) {
        Strncpy(mlst, " MLST ");
        for (const FeatFact &f : kFeatFacts) {
            if (!MlsFactOffered(f.bit))
                continue;
            Strncat(mlst, f.text);
            if (gMlsOpts & f.bit)
                Strncat(mlst, "*");
        }
        Strncat(mlst, ";\r\n");
    }
    // Alphabetical: AUTH TLS and CLNT, then EPRT and EPSV when they are
    // switched on; PBSZ and PROT after PASV.
    const bool tls = gTlsMode != kTlsOff;
    char beforeLang[64] = "";
    if (tls)
        Strncat(beforeLang, " AUTH TLS\r\n");
    if (gAllowCLNT)
        Strncat(beforeLang, " CLNT\r\n");
    if (gAllowEpsvEprt)
        Strncat(beforeLang, " EPRT\r\n EPSV\r\n");
    Reply("211-Extensions supported:\r\n%s LANG EN*\r\n MDTM\r\n%s%s%s%s PASV\r\n%s%s SIZE\r\n UTF8\r\n TVFS\r\n"
          " RFC 959 2389 %s2577 3659%s\r\n211 End.\r\n",
          beforeLang, (gAllowedSITECommands & kSiteUtimeBit) != 0 ? " MFMT\r\n" : "", mlst, "", "",
          tls ? " PBSZ\r\n PROT\r\n" : "", gAllowREST ? " REST STREAM\r\n" : "", gAllowEpsvEprt ? "2428 " : "",
          tls ? " 4217" : "");
}

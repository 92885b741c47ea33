// OPTS MLST facts: the input is the argument of OPTS.  The reply goes to
// /dev/null; the selection may only hold facts that are offered.
#include <fcntl.h>

#include <cstdlib>
#include <string>

#include "config/config.h"
#include "fuzzenv.h"
#include "listing/mls.h"
#include "session/shell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    gCtrl = devNull;
    gTraceLogging = 0;
    gAllowMls = 1;
    std::string arg = FuzzText(data, size);
    gMlsOpts = 0;
    if (FuzzCatchExit([&] { Opts(arg.data()); }) != 0)
        abort();    // a reply to /dev/null cannot fail
    int offered = 0;
    for (const MlsFact &f : kMlsFacts)
        offered |= MlsFactOffered(f.bit) ? f.bit : 0;
    if ((gMlsOpts & ~offered) != 0)
        abort();
    return 0;
}

// domain.cf parsing: the input is the file, read as a reload does (a bad
// file keeps the sets in force and the reader returns), then finished as at
// start-up.
#include <string>

#include "Strn.h"
#include "config/config.h"
#include "config/domain.h"
#include "fuzzenv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = std::string(FuzzScratchDir()) + "/domain.cf";
    if (FuzzWriteFile(path.c_str(), data, size) < 0)
        return 0;
    InitDomains();
    Strncpy(gDomainCf, path.c_str());
    if (ReadDomainConfigFile(nullptr) == 0)
        (void) FuzzCatchExit([] { PostReadDomainConfigInit(); });
    InitDomains();
    return 0;
}

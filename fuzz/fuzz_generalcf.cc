// general.cf parsing: the input is the file.  Every error ends the reader
// through Exit(1), which the harness turns into a return.
#include <string>

#include "config/config.h"
#include "fuzzenv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = std::string(FuzzScratchDir()) + "/general.cf";
    if (FuzzWriteFile(path.c_str(), data, size) < 0)
        return 0;
    SetConfigDefaults();
    (void) FuzzCatchExit([] { ReadConfigFile(path.c_str()); });
    SetConfigDefaults();    // frees the lists a file may have loaded
    return 0;
}

// Wildcard patterns: the string and the pattern separated by a NUL.  A
// pattern without wildcard characters must match exactly itself.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzenv.h"
#include "paths/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text, pattern;
    FuzzSplit(data, size, &text, &pattern);
    const int r = GlobMatch(text.c_str(), pattern.c_str());
    if (r != 0 && r != -1 && r != -2)
        abort();
    if (pattern.find_first_of("*?[]\\") == std::string::npos && r != (text == pattern ? 0 : -1))
        abort();
    (void) GlobMatch(pattern.c_str(), text.c_str());
    return 0;
}

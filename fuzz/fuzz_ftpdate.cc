// UnFTPDate: "YYYYMMDD[hh[mm[ss]]]" in UTC.  A date no calendar has is
// refused; a date whose fields are all in range, written back in the same
// form, must be the text it was read from.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "fuzzenv.h"
#include "session/filecmds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text = FuzzText(data, size);
    const time_t t = UnFTPDate(text.c_str());
    if (text.size() != 14 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int y, mo, d, h, mi, s;
    if (sscanf(text.c_str(), "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &s) != 6 || y < 1970 || mo < 1 || mo > 12
        || d < 1 || d > 28 || h > 23 || mi > 59 || s > 59)
        return 0;
    struct tm tm {};
    if (t == static_cast<time_t>(-1) || gmtime_r(&t, &tm) == nullptr)
        abort();
    char back[32];
    strftime(back, sizeof(back), "%Y%m%d%H%M%S", &tm);
    if (text != back)
        abort();
    return 0;
}

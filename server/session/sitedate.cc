// SITE DATE: the time now, in UTC and in local time.
#include <strings.h>
#include <unistd.h>

#include <ctime>

#include "session/shell.h"
#include "session/site.h"

namespace {

constexpr char kDateFormat[] = "%a, %d %b %Y %H:%M:%S %z %Z";

}  // namespace

void Date(const char *arg)
{
    if (!gLoggedIn) {
        NotLoggedIn();
        return;
    }
    sleep(1);
    const time_t now = time(nullptr);
    struct tm utc, local;
    char utcText[64], localText[64];
    if (now == static_cast<time_t>(-1) || gmtime_r(&now, &utc) == nullptr || localtime_r(&now, &local) == nullptr ||
        strftime(utcText, sizeof(utcText), kDateFormat, &utc) == 0 ||
        strftime(localText, sizeof(localText), kDateFormat, &local) == 0) {
        Reply("450 Could not get the date and time.\r\n");
        return;
    }
    if (arg[0] == '\0') {
        Reply("200-%.63s\r\n", utcText);
        Reply("200 %.63s\r\n", localText);
    } else if (strcasecmp(arg, "UTC") == 0 || strcasecmp(arg, "GMT") == 0) {
        Reply("200 %.63s\r\n", utcText);
    } else if (strcasecmp(arg, "LOCAL") == 0) {
        Reply("200 %.63s\r\n", localText);
    } else {
        Reply("503 Usage:  SITE DATE [UTC | LOCAL]\r\n");
    }
}

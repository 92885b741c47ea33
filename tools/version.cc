// Version texts of the server and the tools.
#include "version.h"

#include <sys/utsname.h>

#include <array>
#include <cctype>
#include <string_view>

#include "Strn.h"

namespace {

constexpr std::string_view kProductAndVersion = "Zorvad 1.0.0/001 ";

// The version text with the build date as "Mon DD YYYY": the compiler pads a
// one-digit day with a blank, which would make the date two words.
constexpr std::array<char, 64> MakeVersion()
{
    std::array<char, 64> v{};
    size_t n = 0;
    for (char c : kProductAndVersion)
        v[n++] = c;
    constexpr std::string_view date = __DATE__;    // "Dec  8 2026"
    for (size_t i = 0; i < date.size(); i++)
        v[n++] = (i == 4 && date[i] == ' ') ? '0' : date[i];
    v[n++] = ' ';
    for (char c : std::string_view(__TIME__))
        v[n++] = c;
    return v;
}

constexpr std::array<char, 64> kVersion = MakeVersion();
static_assert(std::string_view(kVersion.data()).substr(0, 12) == "Zorvad 1.0.0");
static_assert(kVersion[28] == ' ', "%.28s must end with the build date");

}  // namespace

const char *const gVersion = kVersion.data();

const char *const gNotice = "Zorvad FTP server suite.";

const char *PlatformText()
{
    static char platform[128];
    if (platform[0] == '\0') {
        struct utsname u {};
        if (uname(&u) < 0)
            return "unknown";
        Strncpy(platform, u.sysname);
        for (char *cp = platform; *cp != '\0'; cp++)
            *cp = static_cast<char>(tolower(static_cast<unsigned char>(*cp)));
        Strncat(platform, "-");
        Strncat(platform, u.machine);
    }
    return platform;
}

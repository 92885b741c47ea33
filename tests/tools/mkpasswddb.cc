// Test helper: writes virtual-user records into a password database.
//
//   mkpasswddb DATABASE LINE...
//
// Each LINE is a password record line (user:password:uid:gids:gecos:home:shell
// and optionally the seven extension fields).  A password written as
// "{plain}TEXT" is stored encrypted (MD5-based crypt with a fresh salt).
// Existing records of the same name are replaced.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Hpwd.h"
#include "Spwd.h"

namespace {

std::string EncryptPlainPassword(const std::string &line)
{
    const size_t colon = line.find(':');
    const std::string tag = "{plain}";
    if (colon == std::string::npos || line.compare(colon + 1, tag.size(), tag) != 0)
        return line;
    const size_t end = line.find(':', colon + 1);
    const std::string plain = line.substr(colon + 1 + tag.size(), end - colon - 1 - tag.size());
    char salt[16] = "$1$";
    for (int i = 0; i < 2; i++)
        strcat(salt, Salt(nullptr));
    const char *enc = Crypt(plain.c_str(), salt, 0, 0);
    if (enc == nullptr)
        return line;
    return line.substr(0, colon + 1) + enc + (end == std::string::npos ? "" : line.substr(end));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s DATABASE LINE...\n", argv[0]);
        return 2;
    }
    alignas(8) static OrmelHandle handle;
    if (OpenHpwd(&handle, argv[1], "w") != 0) {
        perror(argv[1]);
        return 1;
    }
    // The server refuses databases that group or others may access.
    chmod(argv[1], 0600);
    int status = 0;
    for (int i = 2; i < argc; i++) {
        const std::string line = EncryptPlainPassword(argv[i]);
        const std::string name = line.substr(0, line.find(':'));
        const int rc = Ormel_Insert(&handle, name.data(), static_cast<int>(name.size()), line.c_str(),
                                    static_cast<int>(line.size() + 1), 1);
        if (rc != 0) {
            fprintf(stderr, "%s: %s\n", name.c_str(), Ormel_Strerror(rc));
            status = 1;
        }
    }
    CloseHpwd(&handle);
    return status;
}

#include "conffile.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

TempConfDir::TempConfDir()
{
    char tmpl[] = "/tmp/zorvad-conf-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    dir_ = tmpl;
}

TempConfDir::~TempConfDir()
{
    if (DIR *d = opendir(dir_.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlink((dir_ + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(dir_.c_str());
}

std::string TempConfDir::Write(const std::string &name, const std::string &contents)
{
    const std::string path = dir_ + "/" + name;
    FILE *fp = fopen(path.c_str(), "w");
    if (fp == nullptr)
        abort();
    fwrite(contents.data(), 1, contents.size(), fp);
    fclose(fp);
    return path;
}

// A private temporary directory for configuration files; removed afterwards.
#pragma once

#include <string>

class TempConfDir {
  public:
    TempConfDir();
    ~TempConfDir();
    TempConfDir(const TempConfDir &) = delete;
    TempConfDir &operator=(const TempConfDir &) = delete;

    // Writes name with the given contents and returns its full path.
    std::string Write(const std::string &name, const std::string &contents);
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

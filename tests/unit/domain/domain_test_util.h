// Helpers of the domain set tests: a private temporary directory and a fresh
// configuration for each test.
#pragma once

#include <sys/types.h>

#include <string>

#include <gtest/gtest.h>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // The full path of name inside the directory.
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Writes a file (parent directories must exist) and returns its full path.
    std::string Write(const std::string &name, const std::string &contents, mode_t mode = 0644) const;
    std::string Mkdir(const std::string &name, mode_t mode = 0755) const;
    std::string Symlink(const std::string &target, const std::string &name) const;

  private:
    std::string path_;
};

// Defaults of general.cf, an empty domain table and the master's role.
class DomainTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Writes domain.cf into the temporary directory and reads it at start-up.
    std::string ReadDomainCf(const std::string &contents);

    TempDir dir_;
};

// The real path of a directory (the temporary directory may be under a link).
std::string RealPath(const std::string &path);

// The test environment of the path code: the session and configuration
// values it reads, captured trace text, and scratch directory trees.
#pragma once

#include <string>

// Puts every session and configuration value the path code reads back to a
// logged-in, unrestricted, non-root real user with the configuration
// defaults, and clears the captured trace text and the status cache.
void ResetPathSession();

// Session shapes used by many tests.
void BecomeAnonymous(const char *ftpHome);           // gVChroot below ftpHome
void BecomeRestrictedUser(const char *home);         // must stay below home
void BecomeVChrootUser(const char *home);            // home is the virtual root

void SetAllowPaths(const char *const *paths, int n);
void SetDenyPaths(const char *const *paths, int n);

// Everything traced (and logged) since the last reset.
const std::string &Traced();

// A scratch directory removed with everything in it at destruction.
class TempTree {
  public:
    // Below /tmp, or below parent when one is given.
    explicit TempTree(const char *parent = nullptr);
    ~TempTree();
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;

    const std::string &root() const { return root_; }
    std::string operator/(const std::string &rel) const { return root_ + "/" + rel; }

    // Create below the root: directory (with parents), file, symbolic link.
    void Dir(const std::string &rel, unsigned mode = 0755) const;
    void File(const std::string &rel) const;
    void Link(const std::string &rel, const std::string &target) const;

  private:
    std::string root_;
};

// The access check of client paths, its character filter and the two
// directory predicates.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "paths/paths.h"
#include "session/shell.h"
#include "testenv.h"

namespace {

class Check : public ::testing::Test {
  protected:
    void SetUp() override { ResetPathSession(); }

    int Run(const char *cwd, const std::string &path)
    {
        return CheckPathName(dst_, sizeof(dst_), cwd, path.c_str());
    }
    bool TracedHas(const std::string &text) const { return Traced().find(text) != std::string::npos; }

    char dst_[kPathBufSize];
};

// ---- Anonymous area ---------------------------------------------------------------------

TEST_F(Check, AnonymousClimbToEtcPasswdIsRefused)
{
    BecomeAnonymous("/home/ftp");
    EXPECT_EQ(Run("/home/ftp", "/../../etc/passwd"), -1);
    EXPECT_EQ(Traced(), "[/etc/passwd] not in ~ftp=[/home/ftp]\n");
    EXPECT_EQ(Run("/home/ftp/pub", "../../../etc/passwd"), -1);
}

TEST_F(Check, AnonymousPathsInsideTheAreaAreTheRealPaths)
{
    BecomeAnonymous("/home/ftp");
    ASSERT_EQ(Run("/home/ftp/pub", "/pub/a.txt"), 0);
    EXPECT_STREQ(dst_, "/home/ftp/pub/a.txt");
    ASSERT_EQ(Run("/home/ftp/pub", "x/../y"), 0);
    EXPECT_STREQ(dst_, "/home/ftp/pub/y");
    ASSERT_EQ(Run("/home/ftp", "/"), 0);
    EXPECT_STREQ(dst_, "/home/ftp");
    // The join climbs above the virtual root before the check sees it.
    EXPECT_EQ(Run("/home/ftp", "/.."), -1);
}

TEST_F(Check, ANameThatOnlyBeginsLikeTheAnonymousRootIsOutside)
{
    BecomeAnonymous("/home/ftp");
    EXPECT_EQ(Run("/home/ftp", "/../ftpx/a"), -1);
    EXPECT_EQ(Traced(), "[/home/ftpx/a] not in ~ftp=[/home/ftp]\n");
}

TEST_F(Check, LinksInsideTheAnonymousAreaAreFollowedAndConfined)
{
    TempTree t;
    t.Dir("ftp/pub");
    t.Dir("ftp/other");
    t.Dir("outside");
    t.Link("ftp/pub/inside", "../other");
    t.Link("ftp/pub/escape", t / "outside");
    t.Link("ftp/pub/escape-rel", "../../outside/file");
    const std::string home = t / "ftp";
    BecomeAnonymous(home.c_str());

    ASSERT_EQ(Run(home.c_str(), "/pub/inside/f"), 0);
    EXPECT_EQ(dst_, t / "ftp/other/f");
    EXPECT_EQ(Run(home.c_str(), "/pub/escape"), -1);
    EXPECT_EQ(Traced(), "[" + (t / "outside") + "] not in ~ftp=[" + home + "]\n");
    EXPECT_EQ(Run((t / "ftp/pub").c_str(), "escape-rel"), -1);
}

TEST_F(Check, TheAccessControlFilesAreHiddenWhileTcpWrappersAreUsed)
{
    BecomeAnonymous("/home/ftp");
    EXPECT_EQ(Run("/home/ftp", "/etc/hosts.allow"), 0);
    gUseTCPWrappers = 1;
    EXPECT_EQ(Run("/home/ftp", "/etc/hosts.allow"), -1);
    EXPECT_EQ(Traced(), "forbidden file [/home/ftp/etc/hosts.allow]\n");
    EXPECT_EQ(Run("/home/ftp", "/etc/hosts"), 0);
    EXPECT_EQ(Run("/home/ftp", "/pub/etc/hosts.deny"), 0);
}

// ---- Restricted and vchroot users -----------------------------------------------------------

TEST_F(Check, RestrictedUsersStayBelowTheirHome)
{
    BecomeRestrictedUser("/home/u");
    EXPECT_EQ(Run("/home/u", "docs/x"), 0);
    EXPECT_STREQ(dst_, "/home/u/docs/x");
    EXPECT_EQ(Run("/home/u", "/home/u"), 0);
    EXPECT_EQ(Run("/home/u", "/home/uv"), -1);
    EXPECT_EQ(Traced(), "[/home/uv] not in ~=[/home/u]\n");
    EXPECT_EQ(Run("/home/u", ".."), -1);
}

TEST_F(Check, ARestrictedUserWithHomeSlashIsNotConfined)
{
    BecomeRestrictedUser("/");
    EXPECT_EQ(Run("/", "/usr/x"), 0);
}

TEST_F(Check, VChrootUsersAreConfinedToTheirHome)
{
    BecomeVChrootUser("/home/u");
    gRestrictedUser = 0;
    ASSERT_EQ(Run("/home/u", "/a"), 0);
    EXPECT_STREQ(dst_, "/home/u/a");
    EXPECT_EQ(Run("/home/u", "/../v"), -1);
    EXPECT_EQ(Traced(), "[/home/v] not in ~=[/home/u]\n");
}

TEST_F(Check, AllowPathsOpenAPlaceOutsideTheHome)
{
    BecomeRestrictedUser("/home/u");
    const char *allow[] = {"/data"};
    SetAllowPaths(allow, 1);
    ASSERT_EQ(Run("/home/u", "/data/x"), 0);
    EXPECT_STREQ(dst_, "/data/x");
    EXPECT_EQ(Traced(), "directory allowed [/data/x]\n");
    EXPECT_EQ(Run("/home/u", "/data"), 0);
    EXPECT_EQ(Run("/home/u", "/database"), -1);
    EXPECT_EQ(Run("/home/u", "/database/x"), -1);
}

TEST_F(Check, AllowPathsWinBeforeEveryLaterCheck)
{
    BecomeAnonymous("/home/ftp");
    const char *allow[] = {"/srv/shared/"};     // a trailing slash means the same
    SetAllowPaths(allow, 1);
    EXPECT_EQ(Run("/home/ftp", "/../../srv/shared/.dot"), 0);
    EXPECT_EQ(Run("/home/ftp", "/../../srv/shared"), 0);
    EXPECT_EQ(Run("/home/ftp", "/../../srv/sharedx"), -1);
}

TEST_F(Check, DenyPathsCloseAPlaceAndTheFirstMatchingListCounts)
{
    const char *allow[] = {"/srv/a/open"};
    const char *deny[] = {"/srv/a", "/srv/b"};
    SetAllowPaths(allow, 1);
    SetDenyPaths(deny, 2);
    EXPECT_EQ(Run("/", "/srv/a/x"), -1);
    EXPECT_EQ(Traced(), "directory denied [/srv/a/x]\n");
    EXPECT_EQ(Run("/", "/srv/b"), -1);
    EXPECT_EQ(Run("/", "/srv/a/open/x"), 0);
    EXPECT_EQ(Run("/", "/srv/ab"), 0);
}

TEST_F(Check, RootIsExemptFromThePathLists)
{
    const char *deny[] = {"/srv"};
    SetDenyPaths(deny, 1);
    gSessionUid = 0;
    EXPECT_EQ(Run("/", "/srv/x"), 0);
    BecomeRestrictedUser("/home/u");
    const char *allow[] = {"/data"};
    SetAllowPaths(allow, 1);
    EXPECT_EQ(Run("/home/u", "/data/x"), -1);   // no allow-paths shortcut for root either
}

// ---- /etc -------------------------------------------------------------------------------------

TEST_F(Check, NonRootUsersMayNotReachBelowEtc)
{
    EXPECT_EQ(Run("/", "/etc/hosts"), -1);
    EXPECT_EQ(Traced(), "forbidden directory [/etc/hosts]\n");
    EXPECT_EQ(Run("/etc", "passwd"), -1);
    EXPECT_EQ(Run("/", "/etcetera"), 0);
    EXPECT_EQ(Run("/", "/etc"), 0);             // the rule compares "/etc/"
}

TEST_F(Check, RootAndTheSwitchedOffRuleReachEtc)
{
    gSessionUid = 0;
    EXPECT_EQ(Run("/", "/etc/hosts"), 0);
    gSessionUid = 1000;
    gURestrictEtc = 0;
    EXPECT_EQ(Run("/", "/etc/hosts"), 0);
}

TEST_F(Check, TheEtcRuleAppliesToVChrootUsersAsWell)
{
    BecomeVChrootUser("/etc/u");
    gRestrictedUser = 0;
    EXPECT_EQ(Run("/etc/u", "/x"), -1);
    EXPECT_EQ(Traced(), "forbidden directory [/etc/u/x]\n");
}

// ---- What an archive of a directory leaves out ----------------------------------------------

// The trees below dir as "rel" or "rel*" (a name prefix), or "refused".
std::vector<std::string> TreesBelow(const char *dir, int max = kMaxRefusedTrees)
{
    RefusedTree trees[kMaxRefusedTrees];
    const int n = RefusedTreesBelow(dir, trees, max);
    if (n < 0)
        return {"refused"};
    std::vector<std::string> out;
    for (int i = 0; i < n; i++)
        out.push_back(std::string(trees[i].rel) + (trees[i].namePrefix ? "*" : ""));
    return out;
}

using Trees = std::vector<std::string>;

TEST_F(Check, AnArchiveLeavesOutTheDeniedTreesBelowItsDirectory)
{
    const char *allow[] = {"/srv/pub/open"};
    const char *deny[] = {"/srv/pub/secret", "/srv/pub/deep/x[1]/", "/srv/pubx", "/srv/pub/open/inner", "/srv/b"};
    SetAllowPaths(allow, 1);
    SetDenyPaths(deny, 5);
    EXPECT_EQ(TreesBelow("/srv/pub"), (Trees{"secret", "deep/x[1]"}));
    EXPECT_EQ(TreesBelow("/srv"), (Trees{"pub/secret", "pub/deep/x[1]", "pubx", "b"}));
    EXPECT_EQ(TreesBelow("/srv/pub/secret"), Trees{"refused"});      // an entry is the directory
    EXPECT_EQ(TreesBelow("/srv/b/sub"), Trees{"refused"});           // or holds it
    EXPECT_EQ(TreesBelow("/srv/pub/open"), Trees{});                 // opened whole
    EXPECT_EQ(TreesBelow("/srv", 3), Trees{"refused"});              // more than fit
    gSessionUid = 0;
    EXPECT_EQ(TreesBelow("/srv"), Trees{});
}

TEST_F(Check, AnArchiveOfEtcOrAboveItKeepsToTheEtcRule)
{
    EXPECT_EQ(TreesBelow("/etc"), Trees{"refused"});    // "/etc" passes, nothing below it does
    EXPECT_EQ(TreesBelow("/"), Trees{"etc"});
    EXPECT_EQ(TreesBelow("/etcetera"), Trees{});
    const char *allow[] = {"/etc"};
    SetAllowPaths(allow, 1);
    EXPECT_EQ(TreesBelow("/etc"), Trees{});
    SetAllowPaths(allow, 0);
    gURestrictEtc = 0;
    EXPECT_EQ(TreesBelow("/etc"), Trees{});
    gURestrictEtc = 1;
    gSessionUid = 0;
    EXPECT_EQ(TreesBelow("/etc"), Trees{});
}

TEST_F(Check, AnAnonymousArchiveLeavesOutTheAccessControlFiles)
{
    BecomeAnonymous("/home/ftp");
    EXPECT_EQ(TreesBelow("/home/ftp"), Trees{});
    gUseTCPWrappers = 1;
    EXPECT_EQ(TreesBelow("/home/ftp"), Trees{"etc/hosts.*"});
    EXPECT_EQ(TreesBelow("/home/ftp/etc"), Trees{"hosts.*"});
    EXPECT_EQ(TreesBelow("/home/ftp/etc/hosts.d"), Trees{"refused"});
    EXPECT_EQ(TreesBelow("/home/ftp/pub"), Trees{});
}

// ---- Spelling -------------------------------------------------------------------------------

TEST_F(Check, FoldsToLowerCaseWhenTheSessionAsks)
{
    BecomeAnonymous("/home/ftp");
    gALowercasePathnames = 1;
    ASSERT_EQ(Run("/home/ftp", "/PUB/ReadMe.TXT"), 0);
    EXPECT_STREQ(dst_, "/home/ftp/pub/readme.txt");
    gALowercasePathnames = 0;
    gULowercasePathnames = 1;                     // the other user kind's switch
    ASSERT_EQ(Run("/home/ftp", "/PUB"), 0);
    EXPECT_STREQ(dst_, "/home/ftp/PUB");
}

TEST_F(Check, TurnsBackslashesIntoSlashesWhenAllowed)
{
    gUPathnameFilter = 1;
    EXPECT_EQ(Run("/srv", "a\\b"), -1);          // a backslash fails the filter
    gAllowBackslashAsPathSeparator = 1;
    ASSERT_EQ(Run("/srv", "a\\b\\..\\c"), 0);
    EXPECT_STREQ(dst_, "/srv/a/c");
    gULowercasePathnames = 1;
    ASSERT_EQ(Run("/srv", "A\\B"), 0);
    EXPECT_STREQ(dst_, "/srv/a/b");
}

// ---- Character filter ---------------------------------------------------------------------

struct FilterCase {
    const char *clientPath;
    int want;
};

class AnonymousFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(AnonymousFilter, DecidesByTheCharacters)
{
    ResetPathSession();
    BecomeAnonymous("/home/ftp");
    char dst[kPathBufSize];
    EXPECT_EQ(CheckPathName(dst, sizeof(dst), "/home/ftp", GetParam().clientPath), GetParam().want)
        << GetParam().clientPath;
    if (GetParam().want < 0) {
        EXPECT_NE(Traced().find("has non-printing characters or is a .dotfile.\n"), std::string::npos)
            << Traced();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnonymousFilter,
    ::testing::Values(FilterCase{"/pub/.hidden", -1}, FilterCase{"/pub/ x", -1},
                      FilterCase{"/pub/x /z", -1}, FilterCase{"/pub/x ", -1},
                      FilterCase{"/pub/x\ty", -1}, FilterCase{"/pub/x\x7fy", -1},
                      FilterCase{"/pub/\xc0\xaf", -1}, FilterCase{"/pub/caf\xc3", -1},
                      FilterCase{"/pub/a.txt", 0}, FilterCase{"/pub/x y/z", 0},
                      FilterCase{"/pub/caf\xc3\xa9", 0}, FilterCase{"/pub/\xe2\x82\xac-\xf0\x9f\x98\x80", 0},
                      FilterCase{"/pub/a..b", 0}, FilterCase{"/pub/a.", 0}));

TEST_F(Check, RealUsersAreFilteredOnlyWhenAsked)
{
    EXPECT_EQ(Run("/srv", ".hidden"), 0);
    gUPathnameFilter = 1;
    EXPECT_EQ(Run("/srv", ".hidden"), -1);
    gIsAnon = 1;
    gAPathnameFilter = 0;
    EXPECT_EQ(Run("/srv", ".hidden"), 0);
}

TEST(CheckPathNameCharacters, FollowsTheRulesForEveryPosition)
{
    EXPECT_EQ(CheckPathNameCharacters(""), -1);
    EXPECT_EQ(CheckPathNameCharacters("/"), 0);
    EXPECT_EQ(CheckPathNameCharacters(".x"), -1);
    EXPECT_EQ(CheckPathNameCharacters("."), -1);
    EXPECT_EQ(CheckPathNameCharacters("./x"), 0);
    // After the first character of a relative text, a dot or a space is refused.
    EXPECT_EQ(CheckPathNameCharacters("../x"), -1);
    EXPECT_EQ(CheckPathNameCharacters("a.b"), -1);
    EXPECT_EQ(CheckPathNameCharacters("a b"), -1);
    EXPECT_EQ(CheckPathNameCharacters("ab c"), 0);
    EXPECT_EQ(CheckPathNameCharacters("/a\\b"), -1);
    EXPECT_EQ(CheckPathNameCharacters("/a\nb"), -1);
    EXPECT_EQ(CheckPathNameCharacters("/a/ "), -1);
    EXPECT_EQ(CheckPathNameCharacters("/\xc3\xa9t\xc3\xa9/x"), 0);
    EXPECT_EQ(CheckPathNameCharacters("/\xe9t\xe9"), -1);   // Latin-1 is not UTF-8
}

struct Utf8Case {
    const char *bytes;
    int want;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, ValidatesTheSequence)
{
    const char *b = GetParam().bytes;
    EXPECT_EQ(utf8_valid(reinterpret_cast<const unsigned char *>(b), strlen(b)), GetParam().want) << b;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8,
    ::testing::Values(Utf8Case{"", 1}, Utf8Case{"plain ascii", 1}, Utf8Case{"\xc3\xa9", 1},
                      Utf8Case{"\xe2\x82\xac", 1}, Utf8Case{"\xe0\xa0\x80", 1}, Utf8Case{"\xf0\x9f\x98\x80", 1},
                      Utf8Case{"\xf0\x90\x80\x80", 1}, Utf8Case{"\xf8\x88\x80\x80\x80", 1},
                      Utf8Case{"\xfc\x84\x80\x80\x80\x80", 1},
                      // Overlong forms.
                      Utf8Case{"\xc0\xaf", 0}, Utf8Case{"\xc1\xbf", 0}, Utf8Case{"\xe0\x80\xaf", 0},
                      Utf8Case{"\xe0\x9f\xbf", 0}, Utf8Case{"\xf0\x80\x80\xaf", 0},
                      Utf8Case{"\xf0\x8f\xbf\xbf", 0}, Utf8Case{"\xf8\x80\x80\x80\xaf", 0},
                      Utf8Case{"\xfc\x80\x80\x80\x80\xaf", 0},
                      // Broken sequences.
                      Utf8Case{"\xe2\x82", 0}, Utf8Case{"\xc3", 0}, Utf8Case{"\xc3\x28", 0},
                      Utf8Case{"\x80", 0}, Utf8Case{"a\xbf", 0}, Utf8Case{"\xfe", 0}, Utf8Case{"\xff", 0}));

// ---- Trace of the result and of resolution failures ----------------------------------------

TEST_F(Check, TracesTheResolvedPathAtLevelTwo)
{
    gTraceLogging = 2;
    ASSERT_EQ(Run("/srv", "x"), 0);
    EXPECT_EQ(Traced(), "[/srv/x]\n");
}

TEST_F(Check, TracesAndRefusesAPathThatCannotBeResolved)
{
    TempTree t;
    t.Link("loop", "loop");
    strcpy(dst_, "stale");
    EXPECT_EQ(Run(t.root().c_str(), "loop/x"), -1);
    EXPECT_STREQ(dst_, "");
    EXPECT_EQ(Traced(), "[" + (t / "loop/x") + "] failed to resolve: Too many levels of symbolic links.\n");
}

TEST_F(Check, NeverWritesPastTheDestination)
{
    BecomeAnonymous("/home/ftp");
    const std::string longName = "/pub/" + std::string(1500, 'n');
    for (size_t size = 1; size <= 600; size += 7) {
        std::vector<char> dst(size + 4, '#');
        (void)CheckPathName(dst.data(), size, "/home/ftp", longName.c_str());
        ASSERT_LT(strlen(dst.data()), size);
        ASSERT_EQ(std::string(dst.data() + size, 4), "####") << size;
    }
    // A path that does not fit is refused, not checked in its cut form.
    char small[9];
    EXPECT_EQ(CheckPathName(small, sizeof(small), "/home/ftp", "/pub/x"), -1);
    EXPECT_STREQ(small, "");
    gVChroot = 0;
    gIsAnon = 0;
    EXPECT_EQ(CheckPathName(small, sizeof(small), "/", "/home/ftp/pub/x"), -1);
    EXPECT_STREQ(small, "");
}

// A current directory of 500 characters: a join cut to the 511 characters
// of the buffer would name other, existing files.  The padding puts the first
// letter of the name at the last place of the buffer and compresses away.
class LongCwd : public Check {
  protected:
    void SetUp() override
    {
        Check::SetUp();
        std::string rel = "d";
        while (t_.root().size() + 1 + rel.size() + 100 < 500)
            rel += "/" + std::string(99, 'd');
        rel += "/" + std::string(500 - t_.root().size() - 1 - rel.size() - 1, 'e');
        t_.Dir(rel);
        cwd_ = t_ / rel;
        ASSERT_EQ(cwd_.size(), 500u);
        t_.File(rel + "/s");
    }
    TempTree t_;
    std::string cwd_;
    const std::string pad_ = "." + std::string(8, '/');
};

TEST_F(LongCwd, ANameCutToAnExistingFileIsRefused)
{
    ASSERT_EQ(Run(cwd_.c_str(), pad_ + "s"), 0);          // 511 characters fit
    EXPECT_EQ(dst_, cwd_ + "/s");
    EXPECT_EQ(Run(cwd_.c_str(), pad_ + "secret.txt"), -1);  // not the file "s"
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(dst_, "");
    EXPECT_NE(Traced().find("failed to resolve: File name too long.\n"), std::string::npos) << Traced();
}

TEST_F(LongCwd, ThreeDotsCutToTwoAreRefused)
{
    const std::string parent = cwd_.substr(0, cwd_.rfind('/'));
    const std::string name(511 - parent.size() - 4, 'x');
    ASSERT_EQ(Run(parent.c_str(), name + "/.."), 0);      // whole: the directory itself
    EXPECT_EQ(dst_, parent);
    EXPECT_EQ(Run(parent.c_str(), name + "/..."), -1);    // not cut to the same
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(LongCwd, AVirtualRootNearTheLimitRefusesCutAbsolutePaths)
{
    BecomeVChrootUser(cwd_.c_str());
    ASSERT_EQ(Run(cwd_.c_str(), "/" + pad_ + "s"), 0);
    EXPECT_EQ(dst_, cwd_ + "/s");
    EXPECT_EQ(Run(cwd_.c_str(), "/" + pad_ + "secret.txt"), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(Check, AClientPathLongerThanTheSpellingBufferIsRefused)
{
    // Cut to its first 511 characters, the name would be "/srv".
    gULowercasePathnames = 1;
    const std::string longName = "/srv" + std::string(520, '/') + "Secret";
    EXPECT_EQ(Run("/", longName), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(Check, RealPathsAreCheckedWithoutTheVirtualRoot)
{
    TempTree t;
    t.Dir("ftp/pub/closed");
    t.Dir("outside");
    t.Link("ftp/pub/out", t / "outside");
    const std::string home = t / "ftp";
    BecomeAnonymous(home.c_str());
    const std::string deny = t / "ftp/pub/closed";
    const char *denied[] = {deny.c_str()};
    SetDenyPaths(denied, 1);
    ASSERT_EQ(CheckRealPathName(dst_, sizeof(dst_), (t / "ftp/pub").c_str()), 0);
    EXPECT_EQ(dst_, t / "ftp/pub");
    EXPECT_EQ(CheckRealPathName(dst_, sizeof(dst_), deny.c_str()), -1);
    EXPECT_EQ(CheckRealPathName(dst_, sizeof(dst_), (t / "ftp/pub/out").c_str()), -1);
    EXPECT_EQ(CheckRealPathName(dst_, sizeof(dst_), "/etc"), -1);
}

// ---- IsPublicDir -----------------------------------------------------------------------------

TEST(IsPublicDir, NeedsEveryDirectoryUpToTheRootSearchableByOthers)
{
    TempTree t;
    t.Dir("a/b");
    t.File("a/b/f");
    EXPECT_EQ(IsPublicDir((t / "a/b").c_str()), 1);
    EXPECT_EQ(IsPublicDir((t / "a/b/f").c_str()), 1);   // a file counts by its directory
    EXPECT_EQ(IsPublicDir("/"), 1);
    EXPECT_EQ(IsPublicDir((t / "missing").c_str()), 0);

    ASSERT_EQ(chmod((t / "a").c_str(), 0750), 0);
    EXPECT_EQ(IsPublicDir((t / "a/b").c_str()), 0);     // an ancestor is closed
    EXPECT_EQ(IsPublicDir((t / "a/b/f").c_str()), 0);
    EXPECT_EQ(IsPublicDir((t / "a").c_str()), 0);
    ASSERT_EQ(chmod((t / "a").c_str(), 0755), 0);
    ASSERT_EQ(chmod((t / "a/b").c_str(), 0754), 0);
    EXPECT_EQ(IsPublicDir((t / "a/b/f").c_str()), 0);   // the file's own directory is closed
}

TEST(IsPublicDir, ARelativeFileNameMeansTheCurrentDirectory)
{
    TempTree t;
    t.File("f");
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof(before)), nullptr);
    ASSERT_EQ(chdir(t.root().c_str()), 0);
    const int open = IsPublicDir("f");
    chmod(t.root().c_str(), 0750);
    const int closed = IsPublicDir("f");
    ASSERT_EQ(chdir(before), 0);
    EXPECT_EQ(open, 1);
    EXPECT_EQ(closed, 0);
}

}  // namespace

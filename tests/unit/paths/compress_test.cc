// Path compression and joining: no file-system access.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "paths/paths.h"
#include "session/shell.h"
#include "testenv.h"

namespace {

std::string Compress(const char *src, size_t size = kPathBufSize)
{
    std::vector<char> dst(size);
    CompressPath(dst.data(), src, size);
    return dst.data();
}

std::string Cat(const char *cwd, const char *path, size_t size = kPathBufSize)
{
    std::vector<char> dst(size);
    PathCat(dst.data(), size, cwd, path);
    return dst.data();
}

struct CompressCase {
    const char *src;
    const char *want;
};

class CompressPathForms : public ::testing::TestWithParam<CompressCase> {};

TEST_P(CompressPathForms, GiveTheCanonicalPath)
{
    EXPECT_EQ(Compress(GetParam().src), GetParam().want) << GetParam().src;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CompressPathForms,
    ::testing::Values(CompressCase{"/", "/"}, CompressCase{"//", "/"}, CompressCase{"//a//b/", "/a/b"},
                      CompressCase{"/a/./b", "/a/b"}, CompressCase{"/a/.", "/a"}, CompressCase{"/.", "/"},
                      CompressCase{"/./././", "/"}, CompressCase{"/a//.//b/./", "/a/b"},
                      CompressCase{"/a/b/..", "/a"}, CompressCase{"/a/b/../", "/a"},
                      CompressCase{"/..", "/"}, CompressCase{"/../..", "/"}, CompressCase{"/../x", "/x"},
                      CompressCase{"/a/../../b", "/b"}, CompressCase{"/a/b/c/../../d", "/a/d"},
                      CompressCase{"/a/b/../../..", "/"}, CompressCase{"/a/../b/../c/./d/..", "/c"},
                      CompressCase{"/home/ftp/../../etc/passwd", "/etc/passwd"},
                      // Components that merely begin with a dot are names.
                      CompressCase{"/a/.x/b", "/a/.x/b"}, CompressCase{"/a/..x", "/a/..x"},
                      CompressCase{"/a/x..", "/a/x.."}, CompressCase{"/a/.../b", "/a/.../b"},
                      CompressCase{"/.hidden/", "/.hidden"}, CompressCase{"/a./b", "/a./b"},
                      CompressCase{"", ""}));

TEST(CompressPath, KeepsALeadingDotDotOfARelativeText)
{
    EXPECT_EQ(Compress("../x"), "../x");
    EXPECT_EQ(Compress("a/b/../c"), "a/c");
    EXPECT_EQ(Compress("a/.."), ".");
}

TEST(CompressPath, CutsToTheDestinationAndNeverWritesPastIt)
{
    std::string longPath;
    for (int i = 0; i < 150; i++)
        longPath += "/d" + std::to_string(i) + "/./x/..//";
    const std::string full = Compress(longPath.c_str(), 4096);
    for (size_t size = 1; size <= 700; size++) {
        std::vector<char> dst(size + 8, '#');
        CompressPath(dst.data(), longPath.c_str(), size);
        ASSERT_LT(strlen(dst.data()), size) << size;
        for (size_t i = size; i < size + 8; i++)
            ASSERT_EQ(dst[i], '#') << "wrote past " << size;
    }
    EXPECT_EQ(full.substr(0, 6), "/d0/d1");
    CompressPath(nullptr, "/a", 0);  // a size of 0 touches nothing
}

class PathCatTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetPathSession(); }
};

TEST_F(PathCatTest, JoinsRelativeNamesToTheCurrentDirectory)
{
    EXPECT_EQ(Cat("/home/u", "x"), "/home/u/x");
    EXPECT_EQ(Cat("/home/u", "../v/./y/"), "/home/v/y");
    EXPECT_EQ(Cat("/", "x"), "/x");
    EXPECT_EQ(Cat("/home/u", ""), "/home/u");
    EXPECT_EQ(Cat("/home/u", "/etc/x"), "/etc/x");
}

TEST_F(PathCatTest, PutsTheAnonymousRootBeforeAbsolutePaths)
{
    BecomeAnonymous("/home/ftp");
    EXPECT_EQ(Cat("/home/ftp/pub", "/incoming/x"), "/home/ftp/incoming/x");
    EXPECT_EQ(Cat("/home/ftp/pub", "/"), "/home/ftp");
    // The join may climb above the virtual root; the check refuses it later.
    EXPECT_EQ(Cat("/home/ftp", "/../../etc/passwd"), "/etc/passwd");
    EXPECT_EQ(Cat("/home/ftp/pub", "x"), "/home/ftp/pub/x");
}

TEST_F(PathCatTest, AnAnonymousRootOfSlashAddsNothing)
{
    BecomeAnonymous("/");
    EXPECT_EQ(Cat("/pub", "/x"), "/x");
}

TEST_F(PathCatTest, PutsTheHomeBeforeAbsolutePathsOfAVChrootUser)
{
    BecomeVChrootUser("/home/u");
    EXPECT_EQ(Cat("/home/u/a", "/b/c"), "/home/u/b/c");
    EXPECT_EQ(Cat("/home/u/a", "/../v"), "/home/v");
}

TEST_F(PathCatTest, TildeMeansTheHomeOfARealUser)
{
    BecomeRestrictedUser("/home/u");
    EXPECT_EQ(Cat("/tmp", "~"), "/home/u");
    EXPECT_EQ(Cat("/tmp", "~/"), "/home/u");
    EXPECT_EQ(Cat("/tmp", "~/docs/../x"), "/home/u/x");
    // "~name" is an ordinary relative name.
    EXPECT_EQ(Cat("/tmp", "~user"), "/tmp/~user");
    EXPECT_EQ(Cat("/tmp", "~user/x"), "/tmp/~user/x");
}

TEST_F(PathCatTest, TildeIsAnOrdinaryNameForAnonymousUsers)
{
    BecomeAnonymous("/home/ftp");
    EXPECT_EQ(Cat("/home/ftp/pub", "~"), "/home/ftp/pub/~");
    EXPECT_EQ(Cat("/home/ftp/pub", "~/x"), "/home/ftp/pub/~/x");
}

TEST_F(PathCatTest, CutsOverlongJoinsInsideTheBuffers)
{
    const std::string cwd = "/" + std::string(700, 'c');
    const std::string path(900, 'p');
    const std::string joined = Cat(cwd.c_str(), path.c_str());
    EXPECT_EQ(joined.size(), 511u);
    EXPECT_EQ(joined, cwd.substr(0, 511));

    BecomeAnonymous("/home/ftp");
    for (size_t size = 1; size <= 40; size++) {
        std::vector<char> dst(size + 4, '#');
        PathCat(dst.data(), size, "/home/ftp/pub", "/a/b/c/d/e/f/g/h/i/j/k");
        ASSERT_LT(strlen(dst.data()), size);
        ASSERT_EQ(std::string(dst.data() + size, 4), "####") << size;
    }
    EXPECT_EQ(Cat("/home/ftp", ("/" + path).c_str()).substr(0, 11), "/home/ftp/p");
}

}  // namespace

// LIST and NLST inside the server: the option letters, the date column, the
// long, one-per-line, column and recursive formats, and the handler's
// replies, with the data connection on a temporary file and the control
// connection on a socket pair.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "listing/dircache.h"
#include "listing/ls.h"
#include "paths/paths.h"
#include "listing/pwcache.h"
#include "session/shell.h"
#include "process/startup.h"
#include "config/userclass.h"
#include "transfer/xbuf.h"

namespace {

constexpr time_t kBase = 1600000000;   // 2020-09-13 12:26:40 UTC

class LsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        char name[] = "/tmp/ls_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        chmod(name, 0755);
        char out[] = "/tmp/ls_test_out.XXXXXX";
        out_ = mkstemp(out);
        ASSERT_GE(out_, 0);
        unlink(out);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        gCtrl = sv_[1];

        gTraceLogging = 0;
        gIsAnon = 0;
        gLoggedIn = 1;
        gVChroot = gVChrootThisUser = gRestrictedUser = 0;
        gSessionUid = 0;
        for (int &a : gAllow)
            a = 1;
        Strncpy(gCwd, root_.c_str(), sizeof(gCwd));
        gMode = 'S';
        gType = 'A';
        gRestartPt = 0;
        gLsTimeLocal = 0;
        gLsLg = 0;
        gLsDateFormat[0] = '\0';
        gLsAlwaysResolveLinks = 0;
        gLsCacheDirAge = 900;
        LsFreeCache();
        LsInit();
        PwLoad();
        ResetXBuf();
    }
    void TearDown() override
    {
        LsFreeCache();
        if (gData >= 0)
            close(gData);
        gData = -1;
        close(out_);
        close(sv_[0]);
        close(sv_[1]);
        gCtrl = -1;
        gRestartPt = 0;
        std::filesystem::remove_all(root_);
    }

    std::string Path(const std::string &rel) const { return rel.empty() ? root_ : root_ + "/" + rel; }
    void File(const std::string &rel, size_t size = 0, time_t mtime = kBase, mode_t mode = 0644)
    {
        int fd = open(Path(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0);
        if (size > 0) {
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        }
        fchmod(fd, mode);
        close(fd);
        Touch(rel, mtime);
    }
    void Dir(const std::string &rel, time_t mtime = kBase)
    {
        ASSERT_EQ(mkdir(Path(rel).c_str(), 0755), 0);
        chmod(Path(rel).c_str(), 0755);
        Touch(rel, mtime);
    }
    void Link(const std::string &rel, const char *target, time_t mtime = kBase)
    {
        ASSERT_EQ(symlink(target, Path(rel).c_str()), 0);
        Touch(rel, mtime);
    }
    void Touch(const std::string &rel, time_t t)
    {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        utimensat(AT_FDCWD, Path(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW);
    }

    // What the formatters wrote once flushed.
    std::string Output()
    {
        XBufFlush(kModeBEndOfFile);
        std::string text;
        char buf[65536];
        lseek(out_, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(out_, buf, sizeof(buf))) > 0)
            text.append(buf, static_cast<size_t>(n));
        ftruncate(out_, 0);
        lseek(out_, 0, SEEK_SET);
        return text;
    }
    // Formats a listing of rel with fn, returns the text.
    template <typename Fn>
    std::string Format(const std::string &rel, Fn fn, int order = kLsSortName, const char *pattern = nullptr)
    {
        DirList dl;
        gid_t groups[1] = {0};
        EXPECT_EQ(Ls(&dl, Path(rel).c_str(), order, pattern, 0, 0, groups, 1), 0);
        gData = dup(out_);
        ResetXBuf();
        fn(&dl);
        LsDone(&dl);
        std::string text = Output();
        close(gData);
        gData = -1;
        return text;
    }

    // Runs the handler with the data connection already open on the output
    // file; returns the replies and (through *data) the listing.
    std::string Run(const char *arg, int style, std::string *data = nullptr)
    {
        gData = dup(out_);
        char buf[1024];
        snprintf(buf, sizeof(buf), "%s", arg);
        Nlst(buf, style);
        if (gData >= 0) {
            close(gData);
            gData = -1;
        }
        if (data != nullptr) {
            std::string text;
            char b[65536];
            lseek(out_, 0, SEEK_SET);
            ssize_t n;
            while ((n = read(out_, b, sizeof(b))) > 0)
                text.append(b, static_cast<size_t>(n));
            *data = text;
        }
        ftruncate(out_, 0);
        lseek(out_, 0, SEEK_SET);
        return Replies();
    }
    std::string Replies()
    {
        std::string text;
        char b[4096];
        fcntl(sv_[0], F_SETFL, O_NONBLOCK);
        ssize_t n;
        while ((n = read(sv_[0], b, sizeof(b))) > 0)
            text.append(b, static_cast<size_t>(n));
        return text;
    }

    std::string root_;
    int out_ = -1;
    int sv_[2] = {-1, -1};
};

const std::string kListed = "125 Data connection already open; transfer starting.\r\n226 Listing completed.\r\n";

TEST(LsOptionsTest, LettersSetFormatSortClassifyLinksAndRecursion)
{
    struct Case {
        const char *arg;
        char format;
        int sort, classify, resolve, recursive;
        const char *rest;
    };
    const Case cases[] = {
        {"", 'l', 0, 0, 0, 0, ""},
        {"-la /pub", 'l', 0, 0, 0, 0, "/pub"},
        {"-1", '1', 0, 0, 0, 0, ""},
        {"-ltr", 'l', 3, 0, 0, 0, ""},
        {"-lS x", 'l', 4, 0, 0, 0, "x"},
        {"-lSr", 'l', 5, 0, 0, 0, ""},
        {"-C -F pub", 'C', 0, kClassifyAll, 0, 0, "pub"},
        {"-Fp", 'l', 0, kClassifyNotFiles, 0, 0, ""},
        {"-L -7", 'l', 0, 0, 0, 0, ""},
        {"-lL", 'l', 0, 0, 1, 0, ""},
        {"-R -Ag .", 'l', 0, 0, 0, 1, "."},
        {"- dir", 'l', 0, 0, 0, 0, "dir"},
        {"-l -- -odd", 'l', 0, 0, 0, 0, "-odd"},
        {"-l --", 'l', 0, 0, 0, 0, ""},
    };
    for (const Case &c : cases) {
        char buf[64];
        snprintf(buf, sizeof(buf), "%s", c.arg);
        LsOptions opt;
        char *rest = nullptr;
        ASSERT_EQ(ParseLsOptions(buf, 'l', &opt, &rest), kLsOptOk) << c.arg;
        EXPECT_EQ(opt.format, c.format) << c.arg;
        EXPECT_EQ(opt.sortBits, c.sort) << c.arg;
        EXPECT_EQ(opt.classify, c.classify) << c.arg;
        EXPECT_EQ(opt.resolveLinks, c.resolve) << c.arg;
        EXPECT_EQ(opt.recursive, c.recursive) << c.arg;
        EXPECT_STREQ(rest, c.rest) << c.arg;
    }
}

TEST(LsOptionsTest, DashDAndUnknownLettersAreRefused)
{
    char d[] = "-ld", x[] = "-x", later[] = "-l -q file";
    LsOptions opt;
    char *rest;
    EXPECT_EQ(ParseLsOptions(d, 'l', &opt, &rest), kLsOptDashD);
    EXPECT_EQ(ParseLsOptions(x, 'l', &opt, &rest), kLsOptUnknown);
    EXPECT_EQ(ParseLsOptions(later, 'l', &opt, &rest), kLsOptUnknown);
}

TEST(LsDateTest, RecentDatesShowTheTimeOlderOnesTheYear)
{
    const time_t now = time(nullptr);
    char buf[80], expected[80];
    const time_t twoDaysAgo = now - 2 * 86400;
    struct tm tmv;
    gmtime_r(&twoDaysAgo, &tmv);
    strftime(expected, sizeof(expected), "%b %e %H:%M", &tmv);
    LsDate(buf, sizeof(buf), twoDaysAgo, 1, nullptr);
    EXPECT_STREQ(buf, expected);

    LsDate(buf, sizeof(buf), kBase, 1, nullptr);
    EXPECT_STREQ(buf, "Sep 13  2020");
    const time_t later = now + 2 * 3600;                   // more than an hour ahead: the year
    gmtime_r(&later, &tmv);
    strftime(expected, sizeof(expected), "%b %e  %Y", &tmv);
    LsDate(buf, sizeof(buf), later, 1, nullptr);
    EXPECT_STREQ(buf, expected);
}

TEST(LsDateTest, EveryHourAndMinuteOfAYearAroundNowMatchesTheCalendar)
{
    const time_t now = time(nullptr);
    char buf[80], expected[80];
    // Steps of 7 h 13 min over 400 days visit every hour, many minutes and
    // both the recent and the older form.
    for (time_t t = now - 400 * 86400; t < now + 86400; t += 7 * 3600 + 13 * 60) {
        if (std::abs(t - (now - 180 * 86400)) < 5 || std::abs(t - (now + 3600)) < 5)
            continue;                   // the clock may tick between the two readings
        struct tm tmv;
        gmtime_r(&t, &tmv);
        const bool recent = t > now - 180 * 86400 && t < now + 3600;
        strftime(expected, sizeof(expected), recent ? "%b %e %H:%M" : "%b %e  %Y", &tmv);
        LsDate(buf, sizeof(buf), t, 1, nullptr);
        ASSERT_STREQ(buf, expected) << t;
    }
}

TEST(LsDateTest, ASmallBufferIsCutAndTerminated)
{
    char buf[8];
    LsDate(buf, sizeof(buf), kBase, 1, nullptr);
    EXPECT_STREQ(buf, "Sep 13 ");
}

TEST(LsDateTest, AConfiguredFormatAndAnUnconvertibleTime)
{
    char buf[80];
    LsDate(buf, sizeof(buf), kBase, 1, "%Y-%m-%d %H:%M:%S");
    EXPECT_STREQ(buf, "2020-09-13 12:26:40");
    LsDate(buf, sizeof(buf), static_cast<time_t>(1) << 62, 1, nullptr);
    EXPECT_STREQ(buf, "Jan  0  1900");
}

TEST_F(LsTest, LongFormatShowsTypePermissionsLinksOwnerGroupSizeDateAndName)
{
    File("a.txt", 1000, kBase, 0644);
    File("run", 5, kBase, 0751);
    Dir("sub");
    const std::string text = Format("", [](DirList *dl) { LsL(dl, kClassifyNone, 0, 0); });
    const std::vector<std::string> expected = {
        "-rw-r--r--   1 root     root      1000 Sep 13  2020 a.txt\r\n",
        "-rwxr-x--x   1 root     root        5 Sep 13  2020 run\r\n",
        "drwxr-xr-x   2 root     root      4096 Sep 13  2020 sub\r\n",
    };
    std::string all;
    for (const std::string &l : expected)
        all += l;
    EXPECT_EQ(text, all);   // the size column is 3 wide for a largest file of 1000
}

TEST_F(LsTest, LongFormatWithoutTheOwnerColumn)
{
    File("f", 7);
    gLsLg = 1;
    const std::string text = Format("", [](DirList *dl) { LsL(dl, kClassifyNone, 0, 0); });
    EXPECT_EQ(text, "-rw-r--r--   1 root      7 Sep 13  2020 f\r\n");
}

TEST_F(LsTest, LongFormatShowsLinkTargetsOrWhatTheyResolveTo)
{
    File("prog", 123, kBase, 0755);
    Link("ln", "prog");
    std::string text = Format("", [](DirList *dl) { LsL(dl, kClassifyAll, 0, 0); });
    EXPECT_NE(text.find(" Sep 13  2020 ln -> prog*\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(0, 1), "l");
    text = Format("", [](DirList *dl) { LsL(dl, kClassifyAll, 1, 0); });
    EXPECT_NE(text.find("-rwxr-xr-x   1 root     root      123 Sep 13  2020 ln*\r\n"), std::string::npos) << text;
    text = Format("", [](DirList *dl) { LsL(dl, kClassifyNotFiles, 1, 0); });
    EXPECT_NE(text.find(" 123 Sep 13  2020 ln\r\n"), std::string::npos) << text;
}

TEST_F(LsTest, TheLargestPossibleSizeGetsAColumnWideEnough)
{
    File("huge", 1);
    const std::string text = Format("", [](DirList *dl) {
        dl->items[0]->st.st_size = INT64_MAX;     // a sparse file may claim this much
        dl->largestSize = INT64_MAX;
        LsL(dl, kClassifyNone, 0, 0);
    });
    EXPECT_EQ(text, "-rw-r--r--   1 root     root      9223372036854775807 Sep 13  2020 huge\r\n");
}

TEST_F(LsTest, ALinkTargetTooLongToReadWhollyIsNotFollowed)
{
    File("p", 1);
    File("prog", 123);
    std::string target;
    for (int i = 0; i < 169; i++)
        target += "./";
    target += "prog";                 // cut after 339 characters it would name "p"
    Link("ln", target.c_str());
    const std::string text = Format("", [](DirList *dl) { LsL(dl, kClassifyNone, 1, 0); });
    EXPECT_NE(text.find(" ln -> " + target + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("   1 Sep 13  2020 ln"), std::string::npos) << text;
}

TEST_F(LsTest, OnePerLineWithPrefixAndClassifySuffixes)
{
    File("exe", 0, kBase, 0755);
    File("plain");
    Dir("dir");
    Link("ln", "plain");
    std::string text = Format("", [](DirList *dl) { Ls1(dl, kClassifyAll, 0, 1, "pub", 0); });
    EXPECT_EQ(text, "pub/dir/\r\npub/exe*\r\npub/ln@\r\npub/plain\r\n");
    text = Format("", [](DirList *dl) { Ls1(dl, kClassifyNotFiles, 0, 1, "/", 0); });
    EXPECT_EQ(text, "/dir/\r\n/exe\r\n/ln@\r\n/plain\r\n");
    text = Format("", [](DirList *dl) { Ls1(dl, kClassifyNone, 0, 0, "ignored", 0); });
    EXPECT_EQ(text, "dir\r\nexe\r\nln\r\nplain\r\n");
}

TEST_F(LsTest, ColumnsRunDownFirstThenAcross)
{
    for (int i = 0; i < 20; i++) {
        char name[16];
        snprintf(name, sizeof(name), "file%02d.txt", i);   // 10 characters
        File(name);
    }
    const std::string text = Format("", [](DirList *dl) { LsC(dl, kClassifyNone, 0, 0); });
    // 77 / 12 = 6 columns of 12, 4 rows.
    const std::string row0 = "file00.txt  file04.txt  file08.txt  file12.txt  file16.txt\r\n";
    EXPECT_EQ(text.substr(0, row0.size()), row0);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST_F(LsTest, ColumnsFallBackToOnePerLineForVeryLongNames)
{
    File(std::string(76, 'n'));
    File("b");
    const std::string text = Format("", [](DirList *dl) { LsC(dl, kClassifyNone, 0, 0); });
    EXPECT_EQ(text, "b\r\n" + std::string(76, 'n') + "\r\n");
}

TEST_F(LsTest, UnknownOptionsAreRefusedWithTheirReplies)
{
    EXPECT_EQ(Run("-x", 'l'), "504 Only ls flags accepted are -C, -F, -l, -t, -r, -1, -S, -L, -R, and -p.\r\n");
    EXPECT_EQ(Run("-ld", 'l'), "504 \"-d\" ls flag is not implemented (Zorva 2.x users should upgrade to 3.x).\r\n");
    EXPECT_EQ(gNumFailedDirListings, 2);
    gNumFailedDirListings = 0;
}

TEST_F(LsTest, ListAndNlstGiveTheirDefaultFormatsAndHonourOptions)
{
    File("a", 1);
    File("b", 2);
    std::string data;
    EXPECT_EQ(Run("", '1', &data), kListed);
    EXPECT_EQ(data, "a\r\nb\r\n");
    EXPECT_EQ(Run("-la", 'l', &data), kListed);
    EXPECT_EQ(data.substr(0, 10), "-rw-r--r--");
    EXPECT_EQ(Run("-l", '1', &data), kListed);   // NLST -l is long too
    EXPECT_EQ(data.substr(0, 10), "-rw-r--r--");
    EXPECT_EQ(Run("-1S", 'l', &data), kListed);
    EXPECT_EQ(data, "b\r\na\r\n");
}

TEST_F(LsTest, PatternsListMatchingNamesWithTheDirectoryTheyCameWith)
{
    Dir("pub");
    File("pub/a.txt");
    File("pub/b.log");
    File("c.txt");
    std::string data;
    EXPECT_EQ(Run("*.txt", '1', &data), kListed);
    EXPECT_EQ(data, "c.txt\r\n");
    EXPECT_EQ(Run("pub/*.txt", '1', &data), kListed);
    EXPECT_EQ(data, "pub/a.txt\r\n");
    EXPECT_EQ(Run((root_ + "/pub/[ab].*").c_str(), '1', &data), kListed);
    EXPECT_EQ(data, root_ + "/pub/a.txt\r\n" + root_ + "/pub/b.log\r\n");
}

TEST_F(LsTest, AListOfAPlainFileListsOnlyThatFile)
{
    File("one", 3);
    File("two", 4);
    std::string data;
    EXPECT_EQ(Run("-l one", 'l', &data), kListed);
    EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), 1);
    EXPECT_NE(data.find(" one\r\n"), std::string::npos);
}

TEST_F(LsTest, ARestartOffsetSkipsTheStartOfTheListing)
{
    File("alpha");
    File("beta");
    gRestartPt = 4;
    std::string data;
    EXPECT_EQ(Run("", '1', &data), kListed);
    EXPECT_EQ(data, "a\r\nbeta\r\n");
    EXPECT_EQ(gRestartPt, 0);
}

TEST_F(LsTest, MissingDirectoriesAndRefusedListings)
{
    EXPECT_EQ(Run("nothere", 'l'), "550 No such file or directory.\r\n");
    gAllow[kPermRead] = 0;
    EXPECT_EQ(Run("", 'l'), "553 Sorry, you are not allowed to list any directories on this system.\r\n");
    gAllow[kPermRead] = 1;
    gIsAnon = 1;
    gVChroot = 1;
    Strncpy(gFTPHome, root_.c_str(), sizeof(gFTPHome));
    gFTPHomeLen = static_cast<int>(root_.size());
    EXPECT_EQ(Run("/../../etc", 'l'), "553 Permission denied.\r\n");
    gIsAnon = gVChroot = 0;
}

TEST_F(LsTest, ARecursiveListingShowsEachDirectoryUnderItsHeader)
{
    Dir("top");
    File("top/f");
    Dir("top/sub");
    File("top/sub/g");
    Dir("top/sub/deeper");
    Link("top/link", "sub");
    std::string data;
    EXPECT_EQ(Run("-R1 top", 'l', &data), kListed);
    EXPECT_EQ(data,
              "f\r\nlink\r\nsub\r\n"
              "\r\n./top/sub:\r\ndeeper\r\ng\r\n"
              "\r\n./top/sub/deeper:\r\n");
    EXPECT_EQ(Run("-R1", 'l', &data), kListed);
    EXPECT_NE(data.find("\r\n./top/sub:\r\n"), std::string::npos) << data;
}

TEST_F(LsTest, ARecursiveListingStopsDescendingAtLevel64)
{
    std::string rel = "t";
    Dir(rel);
    for (int level = 2; level <= 66; level++) {
        rel += "/d";
        Dir(rel);
    }
    std::string data;
    EXPECT_EQ(Run("-R1 t", 'l', &data), kListed);
    const size_t at = data.find("LsR: too many levels of recursion.\r\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(data.find("LsR", at + 1), std::string::npos);
    // The message follows the listing of level 64 (63 "/d" below t).
    std::string header = "./t";
    for (int i = 0; i < 63; i++)
        header += "/d";
    EXPECT_NE(data.find("\r\n" + header + ":\r\nd\r\nLsR: too many"), std::string::npos);
}

TEST_F(LsTest, ARecursiveListingDoesNotEnterDirectoriesTheUserMayNotReach)
{
    Dir("top");
    Dir("top/open");
    File("top/open/f");
    Dir("top/closed");
    File("top/closed/secret");
    Dir("top/closed/deeper");
    const std::string closed = Path("top/closed");
    Strncpy(gDenyPathsArray[0], closed.c_str(), kPathListEntrySize);
    gDenyPathLensArray[0] = static_cast<int>(closed.size());
    gNumDenyPaths = 1;
    gSessionUid = 1000;
    std::string data;
    EXPECT_EQ(Run("-R1 top", 'l', &data), kListed);
    // The closed directory keeps its line in the listing but is not entered.
    EXPECT_EQ(data, "closed\r\nopen\r\n\r\n./top/open:\r\nf\r\n");

    // The same for an anonymous user below a virtual root.
    const int filter = gAPathnameFilter;
    gIsAnon = 1;
    gVChroot = 1;
    gAPathnameFilter = 0;
    Strncpy(gFTPHome, root_.c_str(), sizeof(gFTPHome));
    gFTPHomeLen = static_cast<int>(root_.size());
    EXPECT_EQ(Run("-R1 top", 'l', &data), kListed);
    EXPECT_EQ(data, "closed\r\nopen\r\n\r\n./top/open:\r\nf\r\n");
    gIsAnon = gVChroot = 0;
    gAPathnameFilter = filter;

    // Root is exempt from the lists.
    gSessionUid = 0;
    EXPECT_EQ(Run("-R1 top", 'l', &data), kListed);
    EXPECT_NE(data.find("./top/closed:\r\ndeeper\r\nsecret\r\n"), std::string::npos) << data;
    gNumDenyPaths = 0;
}

TEST_F(LsTest, ModeBKeepsTheDataConnectionOpen)
{
    File("x");
    gMode = 'B';
    gData = dup(out_);
    const int fd = gData;
    char arg[] = "";
    Nlst(arg, '1');
    EXPECT_EQ(gData, fd);
    EXPECT_EQ(Replies(), kListed);
    gMode = 'S';
}

}  // namespace

// The directory cache: what Ls returns from a temporary tree, when it reads
// a directory again, which entries it hides, and how the cache makes room.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "listing/dircache.h"
#include "session/shell.h"
#include "process/startup.h"

namespace {

constexpr time_t kBase = 1600000000;   // fixed times of the tree

class DirCacheTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/dircache_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        gIsAnon = 0;
        gTraceLogging = 0;
        gLsMaxCacheDirs = 64;
        gLsCacheSize = 150000;
        gLsCacheDirAge = 900;
        gLsHideDuplicateItems = 1;
        gLsHideInaccessibleItems = 0;
        gLsShowSpecialFileTypes = 0;
        gLsRecycleProcessThreshold = 0;
        gKillMyselfAtTheEarliestConvenience = 0;
        LsFreeCache();
        ASSERT_EQ(LsInit(), 0);
    }
    void TearDown() override
    {
        LsFreeCache();
        std::filesystem::remove_all(root_);
    }

    std::string Path(const std::string &rel) const { return rel.empty() ? root_ : root_ + "/" + rel; }

    void File(const std::string &rel, size_t size = 0, time_t mtime = kBase, mode_t mode = 0644)
    {
        const std::string p = Path(rel);
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0) << p;
        if (size > 0) {
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        }
        fchmod(fd, mode);
        close(fd);
        SetTime(rel, mtime);
    }
    void Dir(const std::string &rel, mode_t mode = 0755)
    {
        ASSERT_EQ(mkdir(Path(rel).c_str(), mode), 0);
        chmod(Path(rel).c_str(), mode);
    }
    void SetTime(const std::string &rel, time_t t, long nsec = 0)
    {
        struct timespec ts[2] = {{t, nsec}, {t, nsec}};
        ASSERT_EQ(utimensat(AT_FDCWD, Path(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
    }

    static std::vector<std::string> Names(const DirList &dl)
    {
        std::vector<std::string> out;
        for (int i = 0; i < dl.nItems; i++)
            out.push_back(dl.items[i]->name);
        return out;
    }
    const DirItem *Item(const DirList &dl, const char *name)
    {
        for (int i = 0; i < dl.nItems; i++) {
            if (strcmp(dl.items[i]->name, name) == 0)
                return dl.items[i];
        }
        return nullptr;
    }

    int List(DirList *dl, const std::string &rel, int order = kLsSortName, const char *pattern = nullptr,
             int cacheable = 1, uid_t uid = 0)
    {
        gid_t groups[1] = {0};
        return Ls(dl, Path(rel).c_str(), order, pattern, cacheable, uid, groups, 1);
    }

    std::string root_;
};

using Strings = std::vector<std::string>;

TEST_F(DirCacheTest, ListsEveryEntryButDotAndDotDotSortedByName)
{
    File("b.txt");
    File("a.txt");
    Dir("sub");
    File(".hidden");
    DirList dl;
    ASSERT_EQ(List(&dl, ""), 0);
    EXPECT_EQ(Names(dl), (Strings{".hidden", "a.txt", "b.txt", "sub"}));
    EXPECT_EQ(dl.items[dl.nItems], nullptr);
    EXPECT_EQ(Item(dl, "sub")->type, 'd');
    EXPECT_EQ(Item(dl, "sub")->suffix, '/');
    EXPECT_EQ(Item(dl, "a.txt")->type, '-');
    EXPECT_EQ(Item(dl, "a.txt")->suffix, '\0');
    EXPECT_EQ(dl.inUse, 1);
    LsDone(&dl);
}

TEST_F(DirCacheTest, AnonymousUsersNeverSeeDotNames)
{
    File(".profile");
    File("visible");
    gIsAnon = 1;
    DirList dl;
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 0), 0);
    EXPECT_EQ(Names(dl), (Strings{"visible"}));
    LsDone(&dl);
    gIsAnon = 0;
}

TEST_F(DirCacheTest, TheSecondListingIsServedFromTheCache)
{
    File("one");
    File("two");
    SetTime("", kBase);
    DirList first;
    ASSERT_EQ(List(&first, ""), 0);
    EXPECT_EQ(first.ownership, kLsCached);
    DirItem **items = first.items;
    LsDone(&first);

    // Behind the cache's back: the file goes, the directory's time is put back.
    ASSERT_EQ(unlink(Path("two").c_str()), 0);
    SetTime("", kBase);
    DirList second;
    ASSERT_EQ(List(&second, ""), 0);
    EXPECT_EQ(second.items, items);
    EXPECT_EQ(Names(second), (Strings{"one", "two"}));
    EXPECT_EQ(gLsDirsCached, 1);
    LsDone(&second);

    // A later modification time makes it read again, even a fraction later.
    SetTime("", kBase, 1000);
    DirList third;
    ASSERT_EQ(List(&third, ""), 0);
    EXPECT_EQ(Names(third), (Strings{"one"}));
    EXPECT_EQ(gLsDirsCached, 1);
    EXPECT_EQ(gLsItemsCached, 1);
    LsDone(&third);
}

TEST_F(DirCacheTest, AListingReadForAnotherUserIsReadAgain)
{
    File("f");
    File("g");
    SetTime("", kBase);
    DirList dl;
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 1, 0), 0);
    LsDone(&dl);
    ASSERT_EQ(unlink(Path("g").c_str()), 0);
    SetTime("", kBase);
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 1, 1000), 0);
    EXPECT_EQ(Names(dl), (Strings{"f"}));
    EXPECT_EQ(dl.uid, 1000u);
    EXPECT_EQ(gLsDirsCached, 1);
    LsDone(&dl);
}

TEST_F(DirCacheTest, NothingIsCachedWhenTheAgeIsZero)
{
    File("f");
    LsFreeCache();
    gLsCacheDirAge = 0;
    ASSERT_EQ(LsInit(), 0);
    for (int i = 0; i < 2; i++) {
        DirList dl;
        ASSERT_EQ(List(&dl, ""), 0);
        EXPECT_EQ(dl.ownership, kLsUncached);
        EXPECT_EQ(gLsDirsCached, 0);
        LsDone(&dl);
    }
}

TEST_F(DirCacheTest, NamesUpTo35CharactersStayInline)
{
    const std::string n35(35, 'i'), n36(36, 'h');
    File(n35);
    File(n36);
    DirList dl;
    ASSERT_EQ(List(&dl, ""), 0);
    const DirItem *a = Item(dl, n35.c_str());
    const DirItem *b = Item(dl, n36.c_str());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->name, a->inlineName);
    EXPECT_NE(b->name, b->inlineName);
    EXPECT_EQ(a->nameLen, 35);
    EXPECT_EQ(b->nameLen, 36);
    EXPECT_EQ(dl.longestName, 36);
    LsDone(&dl);
}

TEST_F(DirCacheTest, SortsByNameTimeOrSizeInEitherDirection)
{
    File("b", 300, kBase + 10);
    File("a", 100, kBase + 30);
    File("c", 200, kBase + 20);
    struct Case {
        int order;
        Strings names;
    };
    const Case cases[] = {
        {kLsSortName, {"a", "b", "c"}},        {kLsSortNameReverse, {"c", "b", "a"}},
        {kLsSortNewestFirst, {"a", "c", "b"}}, {kLsSortOldestFirst, {"b", "c", "a"}},
        {kLsSortLargestFirst, {"b", "c", "a"}}, {kLsSortSmallestFirst, {"a", "c", "b"}},
        {6, {"a", "b", "c"}},                  {7, {"a", "b", "c"}},
    };
    for (const Case &c : cases) {
        DirList dl;
        ASSERT_EQ(List(&dl, "", c.order), 0);
        EXPECT_EQ(Names(dl), c.names) << "order " << c.order;
        EXPECT_EQ(dl.sortOrder, c.order);
        LsDone(&dl);
    }
}

TEST_F(DirCacheTest, APatternFiltersAlikeOnAMissAndOnAHit)
{
    File("a.txt", 10);
    File("b.txt", 5000);
    File("c.log", 99999);
    DirList dl;
    ASSERT_EQ(List(&dl, "", kLsSortName, "*.txt"), 0);
    EXPECT_EQ(dl.ownership, kLsFiltered);
    EXPECT_EQ(Names(dl), (Strings{"a.txt", "b.txt"}));
    EXPECT_EQ(dl.largestSize, 5000);
    EXPECT_EQ(gLsDirsCached, 0);
    LsDone(&dl);

    ASSERT_EQ(List(&dl, ""), 0);   // now cached
    LsDone(&dl);
    ASSERT_EQ(List(&dl, "", kLsSortName, "*.txt"), 0);
    EXPECT_EQ(dl.ownership, kLsCachedCopy);
    EXPECT_EQ(Names(dl), (Strings{"a.txt", "b.txt"}));
    EXPECT_EQ(dl.largestSize, 5000);
    EXPECT_EQ(dl.longestName, 5);
    LsDone(&dl);

    ASSERT_EQ(List(&dl, "", kLsSortName, ""), 0);   // an empty pattern is none
    EXPECT_EQ(dl.ownership, kLsCached);
    EXPECT_EQ(dl.nItems, 3);
    LsDone(&dl);
}

TEST_F(DirCacheTest, SymbolicLinksCarryTheirTargetAndItsSuffix)
{
    File("prog", 10, kBase, 0755);
    Dir("d");
    ASSERT_EQ(symlink("prog", Path("to-prog").c_str()), 0);
    ASSERT_EQ(symlink("d", Path("to-d").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", Path("dangling").c_str()), 0);
    const std::string longTarget(200, 't');
    ASSERT_EQ(symlink(longTarget.c_str(), Path("long").c_str()), 0);
    DirList dl;
    ASSERT_EQ(List(&dl, ""), 0);
    EXPECT_EQ(Item(dl, "prog")->suffix, '*');
    const DirItem *l = Item(dl, "to-prog");
    EXPECT_EQ(l->type, 'l');
    EXPECT_STREQ(l->linkTarget, "prog");
    EXPECT_EQ(l->suffix, '*');
    EXPECT_EQ(Item(dl, "to-d")->suffix, '/');
    EXPECT_EQ(Item(dl, "dangling")->suffix, '\0');
    EXPECT_EQ(Item(dl, "long")->linkTarget, longTarget);
    LsDone(&dl);
}

TEST_F(DirCacheTest, SpecialFilesAppearOnlyWhenAskedFor)
{
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
    File("plain");
    DirList dl;
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 0), 0);
    EXPECT_EQ(Names(dl), (Strings{"plain"}));
    LsDone(&dl);
    gLsShowSpecialFileTypes = 1;
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 0), 0);
    EXPECT_EQ(Names(dl), (Strings{"pipe", "plain"}));
    EXPECT_EQ(Item(dl, "pipe")->type, 'p');
    EXPECT_EQ(Item(dl, "pipe")->suffix, '|');
    LsDone(&dl);
}

// A large directory has the status of its entries taken by several
// threads, and the entries it does not show leave gaps that are closed:
// every shown entry must still carry its own name, status and link target.
TEST_F(DirCacheTest, ALargeDirectoryListsEveryShownEntryWithItsOwnStatus)
{
    Strings shown;
    for (int i = 0; i < 1200; i++) {
        char name[64];
        if (i % 7 == 3) {                       // hidden: special files are not shown
            snprintf(name, sizeof(name), "fifo%04d", i);
            ASSERT_EQ(mkfifo(Path(name).c_str(), 0644), 0);
            continue;
        }
        if (i % 11 == 5) {
            snprintf(name, sizeof(name), "link%04d", i);
            ASSERT_EQ(symlink(("target" + std::to_string(i)).c_str(), Path(name).c_str()), 0);
        } else if (i % 13 == 0) {               // longer than an inline name
            snprintf(name, sizeof(name), "a-name-long-enough-to-live-on-the-heap-%04d", i);
            File(name, static_cast<size_t>(i));
        } else {
            snprintf(name, sizeof(name), "f%04d", i);
            File(name, static_cast<size_t>(i));
        }
        shown.push_back(name);
    }
    std::sort(shown.begin(), shown.end());
    DirList dl;
    ASSERT_EQ(List(&dl, ""), 0);
    ASSERT_EQ(Names(dl), shown);
    EXPECT_EQ(dl.items[dl.nItems], nullptr);
    int inBlocks = 0;
    for (const DirItemBlock *b = dl.first; b != nullptr; b = b->next)
        inBlocks += b->count;
    EXPECT_EQ(inBlocks, dl.nItems);
    for (int i = 0; i < dl.nItems; i++) {
        const DirItem *it = dl.items[i];
        struct stat st;
        ASSERT_EQ(lstat(Path(it->name).c_str(), &st), 0) << it->name;
        EXPECT_EQ(it->st.st_ino, st.st_ino) << it->name;
        EXPECT_EQ(it->st.st_size, st.st_size) << it->name;
        EXPECT_EQ(it->nameLen, static_cast<int>(strlen(it->name)));
        EXPECT_EQ(it->name == it->inlineName, it->nameLen < kDirItemInlineNameSize) << it->name;
        if (it->name[0] == 'l') {
            EXPECT_EQ(it->type, 'l');
            EXPECT_STREQ(it->linkTarget, ("target" + std::to_string(atoi(it->name + 4))).c_str());
        } else {
            EXPECT_EQ(it->type, '-') << it->name;
            EXPECT_EQ(it->linkTarget, nullptr) << it->name;
        }
    }
    LsDispose(&dl);
    gLsShowSpecialFileTypes = 1;
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 0), 0);
    EXPECT_EQ(dl.nItems, 1200);
    LsDone(&dl);
}

TEST_F(DirCacheTest, HidingInaccessibleItemsKeepsWhatTheUserOwnsOrMayUse)
{
    File("mine", 0, kBase, 0600);
    File("public", 0, kBase, 0604);
    File("secret", 0, kBase, 0640);
    Dir("closed", 0750);
    Dir("open", 0701);
    chown(Path("secret").c_str(), 0, 0);
    chown(Path("mine").c_str(), 4242, 4242);
    gLsHideInaccessibleItems = 1;
    DirList dl;
    gid_t groups[1] = {4343};
    ASSERT_EQ(Ls(&dl, root_.c_str(), kLsSortName, nullptr, 0, 4242, groups, 1), 0);
    EXPECT_EQ(Names(dl), (Strings{"mine", "open", "public"}));
    LsDone(&dl);
}

TEST_F(DirCacheTest, ReadErrorsAreNegativeAndKeepErrno)
{
    DirList dl;
    errno = 0;
    EXPECT_EQ(List(&dl, "missing"), kLsErrOpen);
    EXPECT_EQ(errno, ENOENT);
    File("plain");
    EXPECT_EQ(List(&dl, "plain"), kLsErrOpen);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(DirCacheTest, PurgingByPathOrByAFileInsideDropsTheEntry)
{
    Dir("d");
    File("d/f");
    DirList dl;
    ASSERT_EQ(List(&dl, "d"), 0);
    LsDone(&dl);
    EXPECT_EQ(gLsDirsCached, 1);
    PurgeDirCacheEntryContainingFile(Path("d/f").c_str());
    EXPECT_EQ(gLsDirsCached, 0);
    EXPECT_EQ(gLsItemsCached, 0);

    ASSERT_EQ(List(&dl, "d"), 0);
    LsDone(&dl);
    PurgeDirCacheEntryByPath(Path("d").c_str());
    EXPECT_EQ(gLsDirsCached, 0);
}

TEST_F(DirCacheTest, AnEntryInUseSurvivesAPurgeUntilItsHolderIsDone)
{
    File("f");
    DirList held;
    ASSERT_EQ(List(&held, ""), 0);
    PurgeDirCacheEntryByPath(root_.c_str());
    EXPECT_EQ(Names(held), (Strings{"f"}));   // still readable
    DirList again;
    ASSERT_EQ(List(&again, ""), 0);           // read afresh into a new entry
    EXPECT_NE(again.items, held.items);
    LsDone(&held);
    EXPECT_EQ(gLsDirsCached, 1);
    LsDone(&again);
}

// A session that ends by the jump back to the accept loop never reaches its
// LsDone calls: the listings its frames held are given back all at once.
TEST_F(DirCacheTest, ListingsLeftBehindByAnEndedSessionAreGivenBack)
{
    File("a.txt");
    File("b.log");
    Dir("sub");
    File("sub/c.log");
    SetTime("", kBase);
    {
        // Held the way the frames of a listing hold them, then left behind:
        // a cached one, a filtered copy of it, an uncached and a filtered read.
        DirList cached, copy, uncached, filtered;
        ASSERT_EQ(List(&cached, ""), 0);
        ASSERT_EQ(List(&copy, "", kLsSortNameReverse, "*.txt"), 0);
        ASSERT_EQ(List(&uncached, "", kLsSortName, nullptr, 0), 0);
        ASSERT_EQ(List(&filtered, "sub", kLsSortName, "*.log"), 0);
        EXPECT_EQ(filtered.ownership, kLsFiltered);
    }
    LsAbandonAll();
    LsAbandonAll();                       // nothing twice

    // The entry is no longer taken as it is: a change behind the cache's back
    // shows, and another user's look-up reads it again.
    DirList again;
    ASSERT_EQ(List(&again, ""), 0);
    LsDone(&again);
    ASSERT_EQ(unlink(Path("b.log").c_str()), 0);
    SetTime("", kBase, 5000);
    DirList after;
    ASSERT_EQ(List(&after, "", kLsSortName, nullptr, 1, 1000), 0);
    EXPECT_EQ(Names(after), (Strings{"a.txt", "sub"}));
    LsDone(&after);
}

TEST_F(DirCacheTest, AnUncachedReadOfAChangedDirectoryLeavesNothingCached)
{
    File("f");
    DirList dl;
    ASSERT_EQ(List(&dl, ""), 0);
    LsDone(&dl);
    SetTime("", time(nullptr) + 100);
    ASSERT_EQ(List(&dl, "", kLsSortName, nullptr, 0), 0);
    EXPECT_EQ(dl.ownership, kLsUncached);
    LsDone(&dl);
    EXPECT_EQ(gLsDirsCached, 0);
    EXPECT_EQ(gLsItemsCached, 0);
}

TEST_F(DirCacheTest, ARecursiveWalkMayHoldSeveralListingsSortedAlike)
{
    Dir("a");
    File("a/x", 5);
    File("a/y", 9);
    DirList outer, inner;
    ASSERT_EQ(List(&outer, "a"), 0);
    ASSERT_EQ(List(&inner, "a", kLsSortLargestFirst), 0);   // shared entry: sorted on its own
    EXPECT_EQ(Names(outer), (Strings{"x", "y"}));
    EXPECT_EQ(Names(inner), (Strings{"y", "x"}));
    LsDone(&inner);
    LsDone(&outer);
}

TEST_F(DirCacheTest, TheBudgetIsKeptByPurgingTheOldestOrTheLargest)
{
    LsFreeCache();
    gLsCacheSize = 64 * kDirItemSize;             // 64 items
    gLsMaxCacheDirs = 8;
    ASSERT_EQ(LsInit(), 0);
    EXPECT_EQ(gLsItemBudget, 64);
    for (int d = 0; d < 4; d++) {
        const std::string dir = "d" + std::to_string(d);
        Dir(dir);
        for (int i = 0; i < 20; i++)
            File(dir + "/f" + std::to_string(i));
    }
    for (int d = 0; d < 4; d++) {
        DirList dl;
        ASSERT_EQ(List(&dl, "d" + std::to_string(d)), 0);
        EXPECT_EQ(dl.nItems, 20);
        LsDone(&dl);
        EXPECT_LE(gLsItemsCached, 64);
    }
    EXPECT_EQ(gLsDirsCached, 3);
    EXPECT_EQ(gLsMaxItemsCached, 60);
    EXPECT_EQ(gLsMaxBytesCached, 60 * kDirItemSize);

    // A directory larger than the whole budget still gets cached alone.
    Dir("big");
    for (int i = 0; i < 100; i++)
        File("big/f" + std::to_string(i));
    DirList dl;
    ASSERT_EQ(List(&dl, "big"), 0);
    EXPECT_EQ(dl.ownership, kLsCached);
    LsDone(&dl);
    EXPECT_EQ(gLsDirsCached, 1);
    EXPECT_EQ(gLsItemsCached, 100);

    // The next miss first brings the cache back below 70 % of the budget.
    ASSERT_EQ(List(&dl, "d0"), 0);
    LsDone(&dl);
    EXPECT_EQ(gLsDirsCached, 1);
    EXPECT_EQ(gLsItemsCached, 20);
}

TEST_F(DirCacheTest, MoreDirectoriesThanSlotsReuseTheLeastRecentlyUsed)
{
    LsFreeCache();
    gLsMaxCacheDirs = 2;                           // raised to 8
    ASSERT_EQ(LsInit(), 0);
    for (int d = 0; d < 9; d++) {
        Dir("s" + std::to_string(d));
        DirList dl;
        ASSERT_EQ(List(&dl, "s" + std::to_string(d)), 0);
        LsDone(&dl);
    }
    EXPECT_EQ(gLsDirsCached, 8);
}

TEST_F(DirCacheTest, AFatCacheShrinksAtSessionEndAndMayRecycleTheProcess)
{
    LsFreeCache();
    gLsCacheSize = 64 * kDirItemSize;
    ASSERT_EQ(LsInit(), 0);
    Dir("big");
    for (int i = 0; i < 120; i++)
        File("big/f" + std::to_string(i));
    DirList dl;
    ASSERT_EQ(List(&dl, "big"), 0);
    LsDone(&dl);
    gLsRecycleProcessThreshold = 120 * kDirItemSize - 1;
    PurgeDirsIfTooFat();
    EXPECT_EQ(gLsDirsCached, 0);
    EXPECT_EQ(gKillMyselfAtTheEarliestConvenience, 1);

    gKillMyselfAtTheEarliestConvenience = 0;
    gLsRecycleProcessThreshold = 1;                // below 2: off
    PurgeDirsIfTooFat();
    EXPECT_EQ(gKillMyselfAtTheEarliestConvenience, 0);
}

TEST_F(DirCacheTest, CopyDirSharesTheItemsUnderItsOwnFilter)
{
    File("a.c");
    File("b.h");
    DirList src, dst;
    ASSERT_EQ(List(&src, "", kLsSortName, nullptr, 0), 0);
    ASSERT_EQ(CopyDir(&dst, &src, "*.c"), 0);
    EXPECT_EQ(Names(dst), (Strings{"a.c"}));
    EXPECT_EQ(dst.items[0], src.items[0]);
    EXPECT_EQ(dst.ownership, kLsCachedCopy);
    LsDone(&dst);
    LsDone(&src);
}

TEST_F(DirCacheTest, LsDisposeRemovesThePathFromTheCache)
{
    File("f");
    DirList dl;
    ASSERT_EQ(List(&dl, ""), 0);
    LsDispose(&dl);
    EXPECT_EQ(gLsDirsCached, 0);
}

TEST_F(DirCacheTest, DumpDirCacheReportsEachBucketAndTheTotals)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    gCtrl = sv[1];
    Dir("a");
    File("a/1");
    File("a/2");
    DirList dl;
    ASSERT_EQ(List(&dl, "a"), 0);
    LsDone(&dl);
    ASSERT_EQ(List(&dl, "a"), 0);
    LsDone(&dl);
    DumpDirCache();
    char buf[4096];
    const ssize_t n = read(sv[0], buf, sizeof(buf) - 1);
    ASSERT_GT(n, 0);
    buf[n] = '\0';
    char expected[1024];
    const std::string path = Path("a");
    snprintf(expected, sizeof(expected),
             "200-  #1  %-50s i:2    h:1    a:0   \r\n200-\r\n200 #Dirs: 1   #Items: 2     #MaxItems: 2    \r\n",
             path.c_str());
    const std::string text(buf);
    EXPECT_NE(text.find("200-Bucket #"), std::string::npos);
    EXPECT_NE(text.find(":  1 entry.\r\n"), std::string::npos);
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    close(sv[0]);
    close(sv[1]);
    gCtrl = -1;
}

}  // namespace

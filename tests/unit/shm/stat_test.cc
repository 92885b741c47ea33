// Quarter-hour statistics: what one session and one transfer add to a bucket,
// how buckets are summed, and the statistics line; and the item records of the
// transfer log, which take their user fields from the status slot.
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "log_capture.h"
#include "session/shell.h"
#include "status/shm.h"
#include "process/startup.h"
#include "transfer/xferlog.h"

namespace {

constexpr time_t kBucket3 = 9000 * 100 + 3 * 900 + 5;   // inside quarter hour 3

// A segment image in ordinary memory with max-users 2, this process in slot 1.
class StatTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        gNumChildren = 2;
        image_.assign(ShmSegmentSize(gNumChildren), 0);
        gShmAddr = image_.data();
        ShmHead()->maxUsers = 2;
        gChild = 1;
        ASSERT_EQ(JoinSharedMemory(1), 0);
        gLogins = 0;
        gClientType = 0;
        gTotalBytesXferBig = 0;
        gTotalSecsXferBig = 0.0;
        gNumSuccessfulDirListings = gNumSuccessfulDownloads = gNumSuccessfulUploads = 0;
    }
    void TearDown() override
    {
        gShmAddr = reinterpret_cast<void *>(-1);
        gShmSlot = nullptr;
        gChild = 0;
    }
    const uint32_t *Session(int bucket) const { return gShmSlot->stats[bucket].session; }

    std::vector<char> image_;
};

TEST_F(StatTest, ABareConnectionCountsAsEndedWithoutLogin)
{
    StatSession(kBucket3, 12, 0);
    const uint32_t *c = Session(3);
    EXPECT_EQ(c[kStatConnections], 1u);
    EXPECT_EQ(c[kStatNotLoggedIn], 1u);
    EXPECT_EQ(c[kStatLoggedIn], 0u);
    EXPECT_EQ(c[kStatSessionSeconds], 12u);
    EXPECT_EQ(c[kStatClientType + 0], 1u);
    EXPECT_EQ(c[kStatRefused] + c[kStatDenied], 0u);
    for (int b = 0; b < kShmNumBuckets; b++) {
        if (b != 3) {
            EXPECT_EQ(gShmSlot->stats[b].session[kStatConnections], 0u) << "bucket " << b;
        }
    }
}

TEST_F(StatTest, RefusalAndDenialReasonsAreCountedApart)
{
    for (int reason : {10, 11, 12, 13})
        StatSession(kBucket3, 0, reason);
    for (int reason : {9, 25, 28, 30, 31, 32, 33})
        StatSession(kBucket3, 0, reason);
    for (int reason : {8, 14, 29, 34})
        StatSession(kBucket3, 0, reason);
    EXPECT_EQ(Session(3)[kStatConnections], 15u);
    EXPECT_EQ(Session(3)[kStatRefused], 4u);
    EXPECT_EQ(Session(3)[kStatDenied], 7u);
}

TEST_F(StatTest, ASessionCountsLoginClientTypeListingsAndTransfers)
{
    gLogins = 2;
    gClientType = 6;
    gNumSuccessfulDirListings = 4;
    gNumSuccessfulDownloads = 3;
    gNumSuccessfulUploads = 0;
    StatSession(kBucket3, 300, 0);
    const uint32_t *c = Session(3);
    EXPECT_EQ(c[kStatLoggedIn], 1u);
    EXPECT_EQ(c[kStatNotLoggedIn], 0u);
    EXPECT_EQ(c[kStatClientType + 6], 1u);
    EXPECT_EQ(c[kStatListings], 4u);
    EXPECT_EQ(c[kStatSessionsWithListing], 1u);
    EXPECT_EQ(c[kStatSessionsWithDownload], 1u);
    EXPECT_EQ(c[kStatSessionsWithUpload], 0u);
    EXPECT_EQ(c[kStatSessionSeconds], 300u);
}

TEST_F(StatTest, TheAverageSpeedOfLargeTransfersPicksOneClass)
{
    struct {
        double kibPerSecond;
        int cls;   // -1: no class
    } cases[] = {{3.0, 0}, {5.0, 1}, {20.0, 2}, {1000.0, 3}, {5000.0, 4}, {100000.0, 5}, {200000.0, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kibPerSecond);
        gShmSlot->stats[3] = ShmStatBucket {};
        gTotalSecsXferBig = 10.0;
        gTotalBytesXferBig = static_cast<int64_t>(c.kibPerSecond * 1024 * 10);
        StatSession(kBucket3, 0, 0);
        for (int i = 0; i < kStatNumSpeedClasses; i++)
            EXPECT_EQ(Session(3)[kStatSpeedClass + i], i == c.cls ? 1u : 0u) << "class " << i;
    }
    // Without large transfers there is no speed to classify.
    gShmSlot->stats[3] = ShmStatBucket {};
    gTotalSecsXferBig = 0.0;
    gTotalBytesXferBig = 0;
    StatSession(kBucket3, 0, 0);
    for (int i = 0; i < kStatNumSpeedClasses; i++)
        EXPECT_EQ(Session(3)[kStatSpeedClass + i], 0u);
}

TEST_F(StatTest, TransfersAddCountResultRoundedKibAndSeconds)
{
    ShmHead()->timeCache = kBucket3;
    StatTransfer(false, 0, 1536, 1.25);    // 1.5 KiB rounds up
    StatTransfer(false, 3, 511, 0.5);      // below half a KiB rounds down
    StatTransfer(false, 0, 512, 0.25);
    StatTransfer(true, 4, 10 * 1024, 2.0);
    StatTransfer(true, 42, 0, 0.0);        // unknown result: counted, no result slot

    const ShmStatBucket &b = gShmSlot->stats[3];
    EXPECT_EQ(b.download.count, 3u);
    EXPECT_EQ(b.download.byResult[0], 2u);
    EXPECT_EQ(b.download.byResult[3], 1u);
    EXPECT_EQ(b.download.kib, 3u);
    EXPECT_DOUBLE_EQ(b.download.seconds, 2.0);
    EXPECT_EQ(b.upload.count, 2u);
    EXPECT_EQ(b.upload.byResult[4], 1u);
    EXPECT_EQ(b.upload.kib, 10u);
    EXPECT_DOUBLE_EQ(b.upload.seconds, 2.0);
}

TEST(StatAdd, AddsEveryCounterAndBothFloatTotals)
{
    ShmStatBucket into {}, from {};
    for (int i = 0; i < kStatNumSessionCounters; i++) {
        into.session[i] = static_cast<uint32_t>(i);
        from.session[i] = 100;
    }
    from.download = {1, {2, 3, 4, 5, 6, 7, 8, 9}, 10, {11, 12, 13}, 0, 1.5};
    from.upload = {21, {22, 23, 24, 25, 26, 27, 28, 29}, 30, {31, 32, 33}, 0, 2.25};
    into.download.seconds = 0.5;

    StatAdd(&into, &from);
    StatAdd(&into, &from);

    for (int i = 0; i < kStatNumSessionCounters; i++)
        EXPECT_EQ(into.session[i], static_cast<uint32_t>(i) + 200);
    EXPECT_EQ(into.download.count, 2u);
    EXPECT_EQ(into.download.byResult[7], 18u);
    EXPECT_EQ(into.download.kib, 20u);
    EXPECT_EQ(into.download.reserved[2], 26u);
    EXPECT_DOUBLE_EQ(into.download.seconds, 3.5);
    EXPECT_EQ(into.upload.count, 42u);
    EXPECT_EQ(into.upload.byResult[0], 44u);
    EXPECT_EQ(into.upload.kib, 60u);
    EXPECT_DOUBLE_EQ(into.upload.seconds, 4.5);
}

// ---- The statistics line ---------------------------------------------------------------------------

constexpr time_t kBoundary = 1699999200;       // 2023-11-14 22:00:00 UTC
constexpr int kEndedBucket = 7;                // (boundary - 3) mod 9000 div 900

TEST_F(StatTest, AQuarterHourWithoutConnectionsWritesNoLine)
{
    LogCapture log;
    ShmSlotAt(2)->stats[(kEndedBucket + 2) % 10].session[kStatListings] = 5;
    StatDump(kBoundary, 3, 2);
    EXPECT_TRUE(log.Texts().empty());
    // The bucket that comes next is cleaned all the same.
    EXPECT_EQ(ShmSlotAt(2)->stats[(kEndedBucket + 2) % 10].session[kStatListings], 0u);
}

TEST_F(StatTest, TheLineSumsTheEndedQuarterHourOfEverySlot)
{
    ShmStatBucket &m = ShmSlotAt(0)->stats[kEndedBucket];
    m.session[kStatConnections] = 1;
    m.session[kStatRefused] = 1;
    ShmStatBucket &c1 = ShmSlotAt(1)->stats[kEndedBucket];
    c1.session[kStatConnections] = 2;
    c1.session[kStatLoggedIn] = 2;
    c1.session[kStatSessionSeconds] = 75;
    c1.download.count = 3;
    c1.download.byResult[0] = 2;
    c1.download.byResult[2] = 1;
    c1.download.kib = 4096;
    c1.download.seconds = 1.5;
    ShmStatBucket &c2 = ShmSlotAt(2)->stats[kEndedBucket];
    c2.session[kStatConnections] = 4;
    c2.session[kStatClientType + 1] = 4;
    c2.upload.count = 1;
    c2.upload.byResult[0] = 1;
    c2.upload.kib = 7;
    c2.upload.seconds = 0.25;
    // Other quarter hours and the logger's slot are not counted.
    ShmSlotAt(1)->stats[kEndedBucket - 1].session[kStatConnections] = 50;
    ShmSlotAt(3)->stats[kEndedBucket].session[kStatConnections] = 60;
    ShmSlotAt(1)->stats[(kEndedBucket + 2) % 10].session[kStatConnections] = 9;

    LogCapture log;
    StatDump(kBoundary, 5, 2);

    const std::vector<CapturedRecord> records = log.Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].hdr.type, kLogStat);
    EXPECT_EQ(records[0].text,
              "2023-11-14 21:45:00,1699998300,2023-11-14 21:59:59,1699999199,"
              "7,1,0,2,0,75,0,0,0,0,0,4,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
              "3,2,0,1,0,0,0,0,0,4096,0,0,0,1.50,"
              "1,1,0,0,0,0,0,0,0,7,0,0,0,0.25,"
              "5\n");
    EXPECT_EQ(ShmSlotAt(1)->stats[(kEndedBucket + 2) % 10].session[kStatConnections], 0u);
    EXPECT_EQ(ShmSlotAt(1)->stats[kEndedBucket].session[kStatConnections], 2u);
}

// ---- Item records ---------------------------------------------------------------------------------

class ItemTest : public StatTest {
  protected:
    void SetUp() override
    {
        StatTest::SetUp();
        Strncpy(gShmSlot->user, "alice", sizeof(gShmSlot->user));
        Strncpy(gShmSlot->loginId, "alice@client", sizeof(gShmSlot->loginId));
        Strncpy(gShmSlot->host, "client.example", sizeof(gShmSlot->host));
        Strncpy(gShmSlot->restriction, "restricted", sizeof(gShmSlot->restriction));
        Strncpy(gShmSlot->domain, "main", sizeof(gShmSlot->domain));
        Strncpy(gShmSlot->sessionId, "ZVPxAAAAAAAAAwAHAAAAAAAA", sizeof(gShmSlot->sessionId));
        gLogXfers = 1;
        gLogXferTypeMask = 255;
        gDownloadEventProcessor[0] = '\0';
    }
    void TearDown() override
    {
        gDownloadEventProcessor[0] = '\0';
        gLogXferTypeMask = 255;
        gLogXfers = 1;
        StatTest::TearDown();
    }
};

TEST_F(ItemTest, AnItemIsOneTransferLogLineWithTheSessionFields)
{
    LogCapture log;
    LogItem("/pub/a b", "OK", "*.txt", "-l", 'T', "DIRLIST");
    LogDelete("/pub/old");
    const std::vector<CapturedRecord> r = log.Take();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].hdr.type, kLogXfer);
    EXPECT_EQ(r[0].text, "T,/pub/a b,OK,*.txt,-l,alice,alice@client,client.example,ZVPxAAAAAAAAAwAHAAAAAAAA,\n");
    EXPECT_EQ(r[1].text, "D,/pub/old,OK,,,alice,alice@client,client.example,ZVPxAAAAAAAAAwAHAAAAAAAA,\n");
}

TEST_F(ItemTest, ItemsFollowTheTransactionMaskAndTheSwitch)
{
    LogCapture log;
    gLogXferTypeMask = LogXferTypeBit('M');
    LogItem("/pub/new", "OK", "", "", 'M', "MKDIR");
    LogDelete("/pub/old");
    EXPECT_EQ(log.Texts().size(), 1u);

    gLogXfers = 0;
    LogItem("/pub/new", "OK", "", "", 'M', "MKDIR");
    EXPECT_TRUE(log.Texts().empty());
}

TEST_F(ItemTest, EventRecordsGoOutOnlyWhenEventProcessorsAreConfigured)
{
    LogCapture log;
    gLogXfers = 0;
    LogDelete("/pub/old");
    EXPECT_TRUE(log.Texts().empty());

    Strncpy(gDownloadEventProcessor, "/usr/local/bin/ondownload", sizeof(gDownloadEventProcessor));
    LogDelete("/pub/old");
    const std::vector<CapturedRecord> r = log.Take();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].hdr.type, kLogEvent);
    EXPECT_EQ(r[0].text, "DELETE\talice\trestricted\talice@client\tmain\tclient.example\t/pub/old\tOK\t\t\t"
                         "ZVPxAAAAAAAAAwAHAAAAAAAA\t\n");
}

TEST(ItemLetters, EachLetterHasItsBit)
{
    const char letters[] = "RSTDMCLNIO";
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(LogXferTypeBit(letters[i]), 1 << i) << letters[i];
    EXPECT_EQ(LogXferTypeBit('X'), 0);
}

}  // namespace

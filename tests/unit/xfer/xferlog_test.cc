// The transfer record: the transfer-log line field by field, the start
// record, the notes, the session counters and the statistics bucket.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Strn.h"
#include "config/config.h"
#include "log_capture.h"
#include "session/shell.h"
#include "status/shm.h"
#include "transfer/xferlog.h"

namespace {

std::vector<std::string> Fields(const std::string &line)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == ',') {
            out.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(line.substr(start));
    return out;
}

class XferLogTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        gLogXfers = 1;
        gLogXferTypeMask = 255;
        gLogXferStarts = 0;
        gSyslog = 0;
        gType = 'I';
        gLoggedIn = 1;
        gIsAnon = 1;
        Strncpy(gDataPortType, "Ps");
        Strncpy(gRUserPtr->user, "anonymous");
        Strncpy(gRUserPtr->loginId, "joe@example.com");
        Strncpy(gRUserPtr->host, "client.example");
        Strncpy(gRUserPtr->sessionId, "SESSIONID");
        gTotalBytesRetr = gTotalBytesStor = gTotalBytesXferBig = 0;
        gTotalSecsXferBig = 0;
        gNumSuccessfulDownloads = gNumFailedDownloads = gNumSuccessfulUploads = gNumFailedUploads = 0;
        ResetXferState(0);
    }
    void TearDown() override { gDownloadEventProcessor[0] = '\0'; }
    LogCapture capture_;
};

}  // namespace

TEST(XferNotes, ComeInTheirFixedOrder)
{
    char notes[kXferNotesSize];
    FormatXferNotes(notes, sizeof(notes), kXNoteSendfile | kXNoteRestarted | kXNoteAppend | kXNoteModeB | kXNoteMmap,
                    "Po");
    EXPECT_STREQ(notes, "ApBlMmPoRzSf");
    FormatXferNotes(notes, sizeof(notes), 0, "");
    EXPECT_STREQ(notes, "");
}

TEST(XferResultNames, NameEveryResultCode)
{
    EXPECT_STREQ(XferResultName(kXferOK), "OK");
    EXPECT_STREQ(XferResultName(kXferAbor), "ABOR");
    EXPECT_STREQ(XferResultName(kXferError), "ERROR");
    EXPECT_STREQ(XferResultName(kXferIncomplete), "INCOMPLETE");
    EXPECT_STREQ(XferResultName(kXferNoEnt), "NOENT");
    EXPECT_STREQ(XferResultName(kXferPerm), "PERM");
}

TEST(XferLogLine, HasSixteenFieldsAndATrailingComma)
{
    XferLogFields f {};
    f.letter = 'R';
    f.path = "/srv/ftp/pub/a.txt";
    f.bytes = 1234;
    f.duration = 0.5;
    f.rate = 2.41015625;
    f.user = "u";
    f.loginId = "id";
    f.host = "h";
    f.sfx = ".tar";
    f.result = "OK";
    f.type = 'A';
    f.notes = "PsSf";
    f.startTime = 1700000000;
    f.sessionId = "S";
    f.startingSize = -1;
    f.restartedAt = 100;
    char line[1024];
    FormatXferLogLine(line, sizeof(line), f);
    EXPECT_STREQ(line, "R,/srv/ftp/pub/a.txt,1234,0.500,2.410,u,id,h,.tar,OK,A,PsSf,1700000000,S,-1,100,\n");
}

TEST(XferLogLine, CutsTheLongTextFields)
{
    const std::string longPath(450, 'p');
    const std::string longUser(80, 'u');
    XferLogFields f {};
    f.letter = 'S';
    f.path = longPath.c_str();
    f.user = f.loginId = f.host = longUser.c_str();
    f.sfx = f.notes = f.sessionId = "";
    f.result = "INCOMPLETEX";
    f.type = 'I';
    char line[2048];
    FormatXferLogLine(line, sizeof(line), f);
    const std::vector<std::string> v = Fields(line);
    EXPECT_EQ(v[1].size(), 400u);
    EXPECT_EQ(v[5].size(), 63u);
    EXPECT_EQ(v[9], "INCOMPLETE");
}

TEST_F(XferLogTest, ADownloadRecordCarriesTheTransferAndSessionFields)
{
    Strncpy(gCurXferFile, "/srv/ftp/pub/file.bin");
    gBytesRetr = 204800;
    gStartingSize = 204800;
    gRestartedAt = 0;
    gXNoteBits = kXNoteSendfile;
    gDura = 2.0;
    gXferStart.tv_sec = 1700000000;
    LogTransfer(kXferOK, 1);

    const std::vector<std::string> texts = capture_.Texts();
    ASSERT_EQ(texts.size(), 1u);
    const std::vector<std::string> v = Fields(texts[0]);
    ASSERT_EQ(v.size(), 17u);
    EXPECT_EQ(v[0], "R");
    EXPECT_EQ(v[1], "/srv/ftp/pub/file.bin");
    EXPECT_EQ(v[2], "204800");
    EXPECT_EQ(v[3], "2.000");
    EXPECT_EQ(v[4], "100.000");                 // KiB per second
    EXPECT_EQ(v[5], "anonymous");
    EXPECT_EQ(v[6], "joe@example.com");
    EXPECT_EQ(v[7], "client.example");
    EXPECT_EQ(v[8], "");
    EXPECT_EQ(v[9], "OK");
    EXPECT_EQ(v[10], "I");
    EXPECT_EQ(v[11], "PsSf");
    EXPECT_EQ(v[12], "1700000000");
    EXPECT_EQ(v[13], "SESSIONID");
    EXPECT_EQ(v[14], "204800");
    EXPECT_EQ(v[15], "0");
    EXPECT_EQ(v[16], "\n");

    EXPECT_EQ(gTotalBytesRetr, 204800);
    EXPECT_EQ(gTotalBytesXferBig, 204800);
    EXPECT_EQ(gNumSuccessfulDownloads, 1);
    EXPECT_STREQ(gLastXferResult, "OK");
    EXPECT_STREQ(gCurXferFile, "") << "the state is cleared for the next transfer";
    EXPECT_EQ(gBytesRetr, 0);
}

TEST_F(XferLogTest, AnEmptyTransferTakesAtLeastATenthOfASecondAtRateZero)
{
    Strncpy(gCurXferFile, "/srv/ftp/empty");
    gDura = 0.0001;
    LogTransfer(kXferOK, 1);
    const std::vector<std::string> v = Fields(capture_.Texts().at(0));
    EXPECT_EQ(v[2], "0");
    EXPECT_EQ(v[3], "0.100");
    EXPECT_EQ(v[4], "0.000");
}

TEST_F(XferLogTest, ARefusalBeforeTheDataMovedCountsAsAFailureWithNoBytesOrNotes)
{
    ResetXferState(1);
    Strncpy(gCurXferFile, "/srv/ftp/pub/x");
    gBytesStor = 99;
    gXNoteBits = kXNoteAppend;
    LogTransfer(kXferPerm, 0);
    const std::vector<std::string> v = Fields(capture_.Texts().at(0));
    EXPECT_EQ(v[0], "S");
    EXPECT_EQ(v[2], "0");
    EXPECT_EQ(v[4], "0.000");
    EXPECT_EQ(v[9], "PERM");
    EXPECT_EQ(v[11], "");
    EXPECT_EQ(gNumFailedUploads, 1);
    EXPECT_EQ(gTotalBytesStor, 0);
}

TEST_F(XferLogTest, NothingIsWrittenWithoutAFileOrWithTheTypeMaskedOff)
{
    LogTransfer(kXferOK, 1);
    EXPECT_TRUE(capture_.Texts().empty());
    gLogXferTypeMask = 2;                       // uploads only
    Strncpy(gCurXferFile, "/f");
    LogTransfer(kXferOK, 1);
    EXPECT_TRUE(capture_.Texts().empty());
    EXPECT_EQ(gNumSuccessfulDownloads, 1) << "the counters still count it";
}

TEST_F(XferLogTest, TheStartRecordUsesTheLowerCaseLetterAndStart)
{
    gLogXferStarts = 1;
    Strncpy(gCurXferFile, "/srv/ftp/in/new");
    gUploading = 1;
    gBytesStor = 5;
    LogTransferStart();
    const std::vector<std::string> v = Fields(capture_.Texts().at(0));
    EXPECT_EQ(v[0], "s");
    EXPECT_EQ(v[2], "0");
    EXPECT_EQ(v[3], "0.000");
    EXPECT_EQ(v[9], "START");
    EXPECT_EQ(v[11], "");
}

TEST_F(XferLogTest, AnEventRecordFollowsWhenADownloadProcessorIsConfigured)
{
    Strncpy(gDownloadEventProcessor, "/usr/local/bin/on-download");
    Strncpy(gCurXferFile, "/srv/ftp/a");
    gBytesRetr = 10;
    gDura = 1.0;
    LogTransfer(kXferAbor, 1);
    const std::vector<CapturedRecord> recs = capture_.Take();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].hdr.type, kLogEvent);
    EXPECT_EQ(recs[1].text.rfind("DOWNLOAD\tanonymous\t", 0), 0u);
    EXPECT_NE(recs[1].text.find("\t/srv/ftp/a\t10\t1.000\t"), std::string::npos);
    EXPECT_NE(recs[1].text.find("\tABOR\tI\t"), std::string::npos);
}

TEST_F(XferLogTest, APendingRecordIsOneWhoseDataBeganToMove)
{
    EXPECT_FALSE(TransferRecordPending());
    Strncpy(gCurXferFile, "/f");
    EXPECT_FALSE(TransferRecordPending());
    gTransferStarted = 1;
    EXPECT_TRUE(TransferRecordPending());
    LogTransfer(kXferOK, 1);
    EXPECT_FALSE(TransferRecordPending());
}

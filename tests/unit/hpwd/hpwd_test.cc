// Password records: the line, the misc-data field and database look-ups.
#include "Hpwd.h"
#include "Strn.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>

namespace {

// Parses a copy of text (the parser writes into its line).
int Parse(Hpwd *p, const std::string &text, int lookup = 0)
{
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    return ParseHpwdLine(p, line.data(), lookup, 0);
}

std::string Unparse(const Hpwd &p, size_t size = kHpwdLineSize)
{
    std::vector<char> out(size);
    UnparseHpwdEntry(out.data(), out.size(), &p);
    return out.data();
}

// ---- The line ---------------------------------------------------------------

TEST(HpwdLine, ASevenFieldLineHasNoExtensionsAndIsWrittenBackAsSevenFields)
{
    Hpwd p;
    const std::string line = "alice:$1$ab$cd:1001:100:Alice A:/home/alice:/bin/sh";
    ASSERT_EQ(Parse(&p, line), 0);
    EXPECT_STREQ(p.username, "alice");
    EXPECT_STREQ(p.passwd, "$1$ab$cd");
    EXPECT_EQ(p.uid, 1001);
    EXPECT_EQ(p.nGids, 1);
    EXPECT_EQ(p.gid[0], 100);
    EXPECT_STREQ(p.gecos, "Alice A");
    EXPECT_STREQ(p.homedir, "/home/alice");
    EXPECT_STREQ(p.shell, "/bin/sh");
    EXPECT_EQ(p.hardQuotaKB | p.softQuotaKB | p.hardQuotaFiles | p.softQuotaFiles, 0);
    EXPECT_EQ(p.downloadBandwidth | p.uploadBandwidth, 0);
    EXPECT_STREQ(p.miscData, "");
    EXPECT_EQ(Unparse(p), line);
}

TEST(HpwdLine, OneNonZeroNumberWritesAllFourteenFieldsZerosIncluded)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:1:2:g:/h:/s:0:0:0:0::5"), 0);
    EXPECT_EQ(p.downloadBandwidth, 5);
    EXPECT_EQ(Unparse(p), "u:p:1:2:g:/h:/s:0:0:0:0::5:0");
}

TEST(HpwdLine, AFullLineRoundTrips)
{
    const std::string line =
        "bob:$6$salt$hash:1002:100,200,300:Bob B:/home/bob:/bin/bash:1000:900:50:40:"
        "umask=022,restricted=yes,perm=-W:64:32";
    Hpwd p;
    ASSERT_EQ(Parse(&p, line), 0);
    EXPECT_EQ(p.hardQuotaKB, 1000);
    EXPECT_EQ(p.softQuotaKB, 900);
    EXPECT_EQ(p.hardQuotaFiles, 50);
    EXPECT_EQ(p.softQuotaFiles, 40);
    EXPECT_STREQ(p.miscData, "umask=022,restricted=yes,perm=-W");
    EXPECT_EQ(p.downloadBandwidth, 64);
    EXPECT_EQ(p.uploadBandwidth, 32);
    EXPECT_EQ(Unparse(p, 512), line);
    EXPECT_EQ(Parse(&p, line + ":extra:fields"), 0);
    EXPECT_EQ(Unparse(p, 512), line);
}

TEST(HpwdLine, GroupListsSplitOnRunsOfCommasAndBlanks)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:1:100, 200,,300:g:h:s"), 0);
    EXPECT_EQ(p.nGids, 3);
    EXPECT_EQ(p.gid[0], 100);
    EXPECT_EQ(p.gid[1], 200);
    EXPECT_EQ(p.gid[2], 300);
    EXPECT_EQ(p.gid[3], -1);
    EXPECT_EQ(Unparse(p), "u:p:1:100,200,300:g:h:s");

    std::string many;
    for (int i = 0; i < 40; i++)
        many += std::to_string(1000 + i) + ",";
    ASSERT_EQ(Parse(&p, "u:p:1:" + many + ":g:h:s"), 0);
    EXPECT_EQ(p.nGids, 33);
    EXPECT_EQ(p.gid[32], 1032);
}

TEST(HpwdLine, AnEmptyGroupFieldLeavesNoGroups)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:1::g:h:s"), 0);
    EXPECT_EQ(p.nGids, 0);
    EXPECT_EQ(p.gid[0], -1);
}

TEST(HpwdLine, NonNumericIdsAreMinusOneWithoutNameLookup)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:-1:x,7,-3:g:h:s"), 0);
    EXPECT_EQ(p.uid, -1);
    EXPECT_EQ(p.nGids, 3);
    EXPECT_EQ(p.gid[0], -1);
    EXPECT_EQ(p.gid[1], 7);
    EXPECT_EQ(p.gid[2], -1);
    ASSERT_EQ(Parse(&p, "u:p:a:root:g:h:s"), 0);
    EXPECT_EQ(p.uid, -1);
    EXPECT_EQ(p.gid[0], -1);
}

TEST(HpwdLine, IdsBeyondThirtyTwoBitsAreMinusOneNotWrappedRound)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:4294967296:4294967296,8589934597,99999999999999999999,7:g:h:s"), 0);
    EXPECT_EQ(p.uid, -1);      // not 0: a wrapped ID must never become root
    EXPECT_EQ(p.nGids, 4);
    EXPECT_EQ(p.gid[0], -1);
    EXPECT_EQ(p.gid[1], -1);   // not 5
    EXPECT_EQ(p.gid[2], -1);
    EXPECT_EQ(p.gid[3], 7);
    ASSERT_EQ(Parse(&p, "u:p:2147483647:2147483648:g:h:s"), 0);
    EXPECT_EQ(p.uid, 2147483647);
    EXPECT_EQ(p.gid[0], -1);
}

TEST(HpwdLine, LimitsBeyondTheIntRangeAreHeldNotWrappedRound)
{
    Hpwd p;
    // 4294967297 wrapped to a 1 kB quota; 2^32 + 1 files to 1 file.
    ASSERT_EQ(Parse(&p, "u:p:1:1:g:/h:/s:4294967297:99999999999999999999:4294967297:7::-5:12"), 0);
    EXPECT_EQ(p.hardQuotaKB, INT_MAX);
    EXPECT_EQ(p.softQuotaKB, INT_MAX);
    EXPECT_EQ(p.hardQuotaFiles, INT_MAX);
    EXPECT_EQ(p.softQuotaFiles, 7);
    EXPECT_EQ(p.downloadBandwidth, -5);
    EXPECT_EQ(p.uploadBandwidth, 12);
}

TEST(HpwdLine, NameLookupResolvesSystemUsersAndGroups)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:root:root,nosuchgroupname,5:g:h:s", 1), 0);
    EXPECT_EQ(p.uid, 0);
    EXPECT_EQ(p.nGids, 3);
    EXPECT_EQ(p.gid[0], 0);
    EXPECT_EQ(p.gid[1], -1);
    EXPECT_EQ(p.gid[2], 5);
}

TEST(HpwdLine, UidTextRules)
{
    Hpwd p;
    InitHpwdStruct(&p);
    EXPECT_EQ(ParseHpwdUIDStr("", &p, 1), 0);
    EXPECT_EQ(p.uid, -1);
    EXPECT_EQ(ParseHpwdUIDStr("42abc", &p, 0), 0);
    EXPECT_EQ(p.uid, 42);
    EXPECT_EQ(ParseHpwdUIDStr("abc", &p, 0), -1);
    EXPECT_EQ(p.uid, -1);
    EXPECT_EQ(ParseHpwdUIDStr("nosuchuser-zorvad", &p, 1), -1);
    EXPECT_EQ(ParseHpwdUIDStr("root", &p, 1), 0);
    EXPECT_EQ(p.uid, 0);
}

TEST(HpwdLine, FewerThanSevenFieldsIsInvalidAndResetsTheRecord)
{
    Hpwd p;
    EXPECT_EQ(Parse(&p, "u:p:1:2:g:h"), -1);
    EXPECT_EQ(p.uid, -1);
    EXPECT_EQ(p.nGids, 0);
    EXPECT_STREQ(p.username, "");
    EXPECT_EQ(Parse(&p, ""), -1);
    EXPECT_EQ(Parse(&p, "u:p:1:2:g:h:"), 0);   // an empty shell field still counts
    EXPECT_STREQ(p.shell, "");
}

TEST(HpwdLine, ANewlineEndsAFieldAndOverlongTextsAreCut)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "u:p:1:2:g:h:/bin/sh\n"), 0);
    EXPECT_STREQ(p.shell, "/bin/sh");
    ASSERT_EQ(Parse(&p, std::string(200, 'n') + ":" + std::string(300, 'p') + ":1:2:g:h:s"), 0);
    EXPECT_EQ(strlen(p.username), 127u);
    EXPECT_EQ(strlen(p.passwd), 255u);
}

TEST(HpwdLine, OutputIsCutToTheDestinationAndTerminated)
{
    Hpwd p;
    ASSERT_EQ(Parse(&p, "alice:pw:1:2:g:h:s"), 0);
    char small[8];
    memset(small, 'z', sizeof small);
    UnparseHpwdEntry(small, sizeof small, &p);
    EXPECT_STREQ(small, "alice:p");
}

// ---- The misc-data field ----------------------------------------------------------

// Runs the lenient parser with warnings on and returns what it wrote to stderr.
struct MiscResult {
    int rc, umask, restricted;
    std::string perm, warnings;
};

MiscResult ParseMisc(const char *field, size_t permSize = 64)
{
    MiscResult r{};
    std::vector<char> perm(permSize + 1, 'z');
    FILE *fp = tmpfile();
    int saved = dup(2);
    fflush(stderr);
    dup2(fileno(fp), 2);
    gHpwdWarnings = 1;
    r.rc = ParsePassMiscDataField(field, &r.umask, &r.restricted, perm.data(), permSize);
    gHpwdWarnings = 0;
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    rewind(fp);
    for (int c; (c = fgetc(fp)) != EOF;)
        r.warnings += char(c);
    fclose(fp);
    r.perm = perm.data();
    return r;
}

TEST(MiscData, UmaskRestrictedAndPermissionsRoundTrip)
{
    MiscResult r = ParseMisc("umask=022,restricted=yes,perm=-W");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.umask, 022);
    EXPECT_EQ(r.restricted, 1);
    EXPECT_EQ(r.perm, "-W");
    EXPECT_EQ(r.warnings, "");
    char out[128];
    EXPECT_STREQ(UnparsePassMiscDataField(out, sizeof out, r.umask, r.restricted, r.perm.c_str()),
                 "umask=022,restricted=yes,perm=-W");
}

TEST(MiscData, OnlySetItemsAreWrittenInTheirOrder)
{
    char out[128];
    EXPECT_STREQ(UnparsePassMiscDataField(out, sizeof out, -1, -1, ""), "");
    EXPECT_STREQ(UnparsePassMiscDataField(out, sizeof out, -1, 0, "+R"), "restricted=no,perm=+R");
    EXPECT_STREQ(UnparsePassMiscDataField(out, sizeof out, 7, -1, nullptr), "umask=007");
    char small[6];
    EXPECT_STREQ(UnparsePassMiscDataField(small, sizeof small, 022, 1, "-W"), "umask");
}

TEST(MiscData, AnOldNumericFieldIsIgnored)
{
    MiscResult r = ParseMisc("7");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.umask, -1);
    EXPECT_EQ(r.restricted, -1);
    EXPECT_EQ(r.perm, "");
    EXPECT_EQ(r.warnings, "");
}

TEST(MiscData, ABadUmaskWarnsAndStaysUnset)
{
    MiscResult r = ParseMisc("umask=999");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.umask, -1);
    EXPECT_EQ(r.warnings, "Bad umask (\"999\") in password record's field #12.\n");
    EXPECT_EQ(ParseMisc("umask=1000").umask, -1);
    EXPECT_EQ(ParseMisc("umask=abc").umask, -1);
    EXPECT_EQ(ParseMisc("UMASK=0777").umask, 0777);
}

TEST(MiscData, BooleanValues)
{
    EXPECT_EQ(ParseMisc("restricted=off").restricted, 0);
    EXPECT_EQ(ParseMisc("restricted=OFF").restricted, 0);
    EXPECT_EQ(ParseMisc("restricted=on").restricted, 1);
    EXPECT_EQ(ParseMisc("restr=  True").restricted, 1);
    EXPECT_EQ(ParseMisc("Restrict=no").restricted, 0);
    EXPECT_EQ(ParseMisc("restricted=2").restricted, 2);
    EXPECT_EQ(ParseMisc("restricted=").restricted, 0);
}

TEST(MiscData, BadPermissionsAreKeptButWarnedAbout)
{
    MiscResult r = ParseMisc("perm=+RQ");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.perm, "+RQ");
    EXPECT_EQ(r.warnings,
              "Bad user permissions string \"+RQ\" (stopped at Q) in password record's field #12.\n");
    EXPECT_EQ(ParseMisc("permissions=-W+R", 3).perm, "-W");   // cut to the buffer
}

TEST(MiscData, SyntaxErrorsWarnAndParsingGoesOn)
{
    MiscResult r = ParseMisc("bogus=1,noequals,umask=027\r\ncrlf=1");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.umask, 027);
    EXPECT_EQ(r.warnings,
              "Syntax error in password record's field #12 (bogus=1).\n"
              "Syntax error in password record's field #12 (noequals).\n"
              "Syntax error in password record's field #12 (crlf=1).\n");
}

TEST(MiscData, WarningsOnlyWhenSwitchedOn)
{
    int umask, restricted;
    char perm[16];
    fflush(stderr);
    testing::internal::CaptureStderr();
    ParsePassMiscDataField("bogus,umask=999", &umask, &restricted, perm, sizeof perm);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Permissions, AcceptedCharactersAndTheLastOffender)
{
    char bad = 0;
    EXPECT_EQ(ParseUserPermissions("*+-0CDLMORWacdlmnortuw \t", &bad), 0);
    EXPECT_EQ(ParseUserPermissions("", &bad), 0);
    EXPECT_EQ(ParseUserPermissions("+R x-W", &bad), -1);
    EXPECT_EQ(bad, 'x');
    EXPECT_EQ(ParseUserPermissions("QZ+R", &bad), -1);
    EXPECT_EQ(bad, 'Z');
}

// ---- The database -------------------------------------------------------------------

class Database : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zorvad-hpwd-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/passwd.db";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    // Writes users as the password tool does: the key without, the data with its NUL.
    void Create(std::initializer_list<std::pair<const char *, const char *>> users)
    {
        alignas(8) OrmelHandle h{};
        ASSERT_EQ(OpenHpwd(&h, path_.c_str(), "w"), 0);
        for (const auto &[name, line] : users)
            ASSERT_EQ(Ormel_Insert(&h, name, int(strlen(name)), line, int(strlen(line)) + 1, 1), 0);
        ASSERT_EQ(CloseHpwd(&h), 0);
    }
    std::string Write(const char *name, const void *bytes, size_t len)
    {
        std::string p = dir_ + "/" + name;
        FILE *fp = fopen(p.c_str(), "w");
        fwrite(bytes, 1, len, fp);
        fclose(fp);
        return p;
    }

    std::string dir_, path_;
};

TEST_F(Database, LooksUpUsersByExactName)
{
    Create({{"bob", "bob:$1$ab$cd:1002:100:Bob:/home/bob:/bin/sh:100:90:0:0:umask=077:0:0"},
            {"bobby", "bobby:$1$ef$gh:1003:100:Bobby:/home/bobby:/bin/sh"}});
    alignas(8) OrmelHandle h{};
    ASSERT_EQ(OpenHpwd(&h, path_.c_str(), "r"), 0);
    Hpwd p;
    ASSERT_EQ(GetHpwdByName(&p, "bob", &h), 0);
    EXPECT_STREQ(p.username, "bob");
    EXPECT_EQ(p.uid, 1002);
    EXPECT_EQ(p.hardQuotaKB, 100);
    EXPECT_STREQ(p.miscData, "umask=077");
    ASSERT_EQ(GetHpwdByName(&p, "bobby", &h), 0);
    EXPECT_EQ(p.uid, 1003);
    EXPECT_EQ(GetHpwdByName(&p, "bo", &h), -1);
    EXPECT_EQ(p.uid, -1);
    EXPECT_STREQ(p.username, "");
    EXPECT_EQ(CloseHpwd(&h), 0);
}

TEST_F(Database, InvalidLinesAndSignedIds)
{
    Create({{"short", "short:pw:1:2:g:h"},
            {"neg", "neg:pw:-5:-7,-x,8:g:h:s"},
            {"word", "word:pw:-x:root:g:h:s"}});
    Hpwd p;
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "short", path_.c_str()), -1);
    EXPECT_EQ(p.uid, -1);
    ASSERT_EQ(OpenAndGetHpwdByName(&p, "neg", path_.c_str()), 0);
    EXPECT_EQ(p.uid, -5);
    EXPECT_EQ(p.nGids, 3);
    EXPECT_EQ(p.gid[0], -7);
    EXPECT_EQ(p.gid[1], -1);
    EXPECT_EQ(p.gid[2], 8);
    ASSERT_EQ(OpenAndGetHpwdByName(&p, "word", path_.c_str()), 0);
    EXPECT_EQ(p.uid, -1);
    EXPECT_EQ(p.gid[0], -1);   // no name look-up in the database
}

TEST_F(Database, OpenAndGetReportsMissingAndForeignFiles)
{
    Create({{"alice", "alice:pw:1:2:g:h:s"}});
    Hpwd p;
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "alice", path_.c_str()), 0);
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "nobody-here", path_.c_str()), -1);
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "alice", (dir_ + "/missing.db").c_str()), -3);

    const char gdbm[32] = "GDBM file contents";
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "alice", Write("gdbm.db", gdbm, sizeof gdbm).c_str()), -4);
    const uint32_t magic[8] = {0x13579ACE};
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "alice", Write("gdbm2.db", magic, sizeof magic).c_str()), -4);
    const char text[32] = "just some text file here";
    EXPECT_EQ(OpenAndGetHpwdByName(&p, "alice", Write("text.db", text, sizeof text).c_str()), -3);

    alignas(8) OrmelHandle h{};
    EXPECT_EQ(OpenHpwd(&h, (dir_ + "/missing.db").c_str(), "r"), -3);
}

TEST_F(Database, ANewDatabaseHasTheDefaultBuckets)
{
    Create({});
    alignas(8) OrmelHandle h{};
    ASSERT_EQ(OpenHpwd(&h, path_.c_str(), "r"), 0);
    EXPECT_EQ(h.nBuckets, uint32_t(kHpwdBuckets));
    CloseHpwd(&h);
}

} // namespace

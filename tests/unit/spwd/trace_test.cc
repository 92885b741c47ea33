// The tracing build of the account library writes each step to the debug
// stream, as the password test tool shows it.
#include "Spwd.h"
#include "private_etc.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// Collects what the library writes to its debug stream during body.
template <class Body>
std::string TraceOf(Body body)
{
    FILE *fp = tmpfile();
    if (fp == nullptr)
        return "<no tmpfile>";
    gSpwdDebugStream = fp;
    body();
    gSpwdDebugStream = stderr;
    std::string text;
    rewind(fp);
    for (int c; (c = fgetc(fp)) != EOF;)
        text += char(c);
    fclose(fp);
    return text;
}

TEST(TraceBuild, FormatDetectionLines)
{
    EXPECT_EQ(TraceOf([] { ValidEncryptedPassword("$1$abc$def"); }),
              "BSD MD5 password detected.\nEncrypted password was valid.\n");
    EXPECT_EQ(TraceOf([] { ValidEncryptedPassword("$2a$10$x"); }),
              "Blowfish password detected -- relying upon system crypt().\nEncrypted password was valid.\n");
    EXPECT_EQ(TraceOf([] { ValidEncryptedPassword("$y$j9T$x"); }),
              "Unknown password encryption detected (unknown:$y) -- relying upon system crypt().\n"
              "Encrypted password was valid.\n");
    EXPECT_EQ(TraceOf([] { ValidEncryptedPassword("abc"); }),
              "Not long enough (\"abc\", only 3 chars) to be a DES crypt password.\n");
    EXPECT_EQ(TraceOf([] { ValidEncryptedPassword("abJnggxhB!yWI"); }),
              "Non base-64 character ('!', hex $21) detected in in DES crypt password.\n");
    EXPECT_EQ(TraceOf([] { ValidEncryptedPassword("_abc"); }),
              "BSD/OS or OpenBSD long password not long enough.\n");
}

TEST(TraceBuild, VerificationLines)
{
    static const char kHash[] = "$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/";
    EXPECT_EQ(TraceOf([] { CheckPassword("password", kHash, 0, 0); }),
              std::string("Spwd_md5_crypt = [") + kHash + "]\nencrypted guess == encrypted answer\n");
    EXPECT_EQ(TraceOf([] { CheckPassword("x", "$9$bad$", 0, 0); }),
              "crypt = [NULL]\nencrypted guess == NULL\n");
    std::string wrong = TraceOf([] { CheckPassword("wrong", kHash, 0, 0); });
    EXPECT_NE(wrong.find("encrypted guess did not equal encrypted answer\n"), std::string::npos);
}

TEST(TraceBuild, LookupLinesAndRecordDump)
{
    TempDir dir;
    int rc = RunWithPrivateEtc(
        {{dir.Write("passwd", "root:x:0:0:root:/root:/bin/bash\nalice:x:5001:5001:A:/home/alice:/bin/sh\n"), "/etc/passwd"},
         {dir.Write("shadow", "alice:$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/:1:0:99999:7:::\n", 0600), "/etc/shadow"},
         {dir.Write("group", "root:x:0:\nalpha:x:6001:alice\n"), "/etc/group"}},
        [] {
            std::string t = TraceOf([] {
                Spwd p;
                GetSpwdByName("alice", &p, 1, 1, 1);
            });
            const char *expected[] = {
                "GetSpwdName name=alice wantC=1 wantSupp=1 wantClose=1\n",
                "InitSpwdStruct\n",
                "PwdToSpwd: pw->u=alice wantC=1 wantSupp=1\n",
                "struct passwd->pw_passwd = [x] len=1\n",
                "Encrypted password was invalid.\n",
                "Trying to use Getspnam to get encrypted password.\n",
                "getspnam\n",
                "Getspnam's spwptr->sp_pwdp was [$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/], alg=0\n",
                "GetUserGroups maxg=32 u=alice method=/etc/group\n",
                "\tPp->username = [alice]\n",
                "\tPp->passwd = [$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/], alg = 0\n",
                "\tPp->uid = 5001\n",
                "\tPp->gid #0 = 5001\n",
                "\tPp->gid #1 = 6001\n",
                "\tPp->homedir = [/home/alice]\n",
                "\tPp->shell = [/bin/sh]\n",
                "EndSpwd\n\tendpwent\n\tEndspent\n\t\tendspent\n",
            };
            size_t at = 0;
            for (const char *line : expected) {
                size_t found = t.find(line, at);
                CHILD_CHECK(found != std::string::npos);
                if (found == std::string::npos)
                    fprintf(stderr, "missing or out of order: %s\nin:\n%s", line, t.c_str());
                else
                    at = found;
            }
            std::string probe = TraceOf([] { CanGetEncryptedPasswords2(0, nullptr, nullptr); });
            CHILD_CHECK(probe.find("CanGetEncryptedPasswords2: yes (rc = 1, n = 3, tx = 0, u = \"alice\")\n") !=
                        std::string::npos);
        });
    EXPECT_EQ(rc, 0);
}

TEST(TraceBuild, PolicyFileLines)
{
    TempDir dir;
    std::string path = dir.Write("policy.conf", "CRYPT_DEFAULT=6\n");
    const char *saved = gSpwdPolicyFile;
    gSpwdPolicyFile = path.c_str();
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    // Initialisation sets the stream to standard error first; catch it there.
    int savedErr = dup(2);
    dup2(fileno(fp), 2);
    SpwdLibraryInit(0, nullptr);
    fflush(stderr);
    dup2(savedErr, 2);
    close(savedErr);
    gSpwdPolicyFile = saved;
    gSpwdUseSystemCryptForBlowfish = 0;
    std::string text;
    rewind(fp);
    for (int c; (c = fgetc(fp)) != EOF;)
        text += char(c);
    fclose(fp);
    EXPECT_EQ(text, "Opened " + path + ":\nCRYPT_DEFAULT from policy.conf is 6\nSpwd Library initialized.\n");
}

} // namespace

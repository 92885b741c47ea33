// The e-mail address cleaner used for anonymous passwords.
#include <string>

#include <gtest/gtest.h>

#include "session/login.h"

namespace {

struct EmailCase {
    const char *text;
    int rc;
    const char *cleaned;   // nullptr: not checked
};

std::string Clean(const char *text, int *rc, const char *host = "client.example.org")
{
    char dst[64];
    *rc = GetEmailAddress(dst, sizeof(dst), text, host);
    return dst;
}

class GetEmailAddressTest : public ::testing::TestWithParam<EmailCase> {};

TEST_P(GetEmailAddressTest, CleansOrRefuses)
{
    const EmailCase &c = GetParam();
    int rc = 99;
    const std::string cleaned = Clean(c.text, &rc);
    EXPECT_EQ(rc, c.rc) << c.text;
    if (c.cleaned != nullptr) {
        EXPECT_EQ(cleaned, c.cleaned) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Addresses, GetEmailAddressTest, ::testing::Values(
    EmailCase{"joe@example.com", 0, "joe@example.com"},
    EmailCase{"joe.bloggs@mail.example.com", 0, "joe.bloggs@mail.example.com"},
    EmailCase{"Joe Bloggs <joe@example.com>", 0, "joe@example.com"},
    EmailCase{"joe@example.com (Joe Bloggs)", 0, "joe@example.com"},
    EmailCase{"joe@", 0, "joe@client.example.org"},
    EmailCase{"joe@example.com>", -1, nullptr},
    EmailCase{"<joe@example.com", -2, nullptr},
    EmailCase{"a> <joe@example.com>", -3, nullptr},
    EmailCase{"joe bloggs@example.com", -4, "joebloggs@example.com"},
    EmailCase{"joe\t@example.com", -4, nullptr},
    EmailCase{"j\xc3\xb6@example.com", -4, nullptr},
    EmailCase{"joe,bloggs@example.com", -5, "joe_bloggs@example.com"},
    EmailCase{"joe", -6, nullptr},
    EmailCase{".joe@example.com", -7, nullptr},
    EmailCase{"joe..b@example.com", -7, nullptr},
    EmailCase{"joe!%b@example.com", -7, nullptr},
    EmailCase{"@example.com", -8, nullptr},
    EmailCase{"joe@example.com.", -9, nullptr},
    EmailCase{"joe@localhost", -10, nullptr},
    EmailCase{"joe@a@b.c", -11, nullptr},
    EmailCase{"joe@a..b", -12, nullptr},
    EmailCase{"joe@.a.b", -12, nullptr}));

TEST(GetEmailAddress, ACommentAloneIsKept)
{
    int rc = 99;
    EXPECT_EQ(Clean("(nobody)", &rc), "(nobody)");
    EXPECT_EQ(rc, -6);
}

TEST(GetEmailAddress, TheCopyIsBoundedByTheDestination)
{
    char dst[8];
    EXPECT_NE(GetEmailAddress(dst, sizeof(dst), "averyveryverylongname@example.com", "h"), 99);
    EXPECT_EQ(std::string(dst), "averyve");
}

TEST(GetEmailAddress, TheDefaultHostIsCutToFit)
{
    char dst[12];
    EXPECT_EQ(GetEmailAddress(dst, sizeof(dst), "joe@", "a.very.long.host.name"), 0);
    EXPECT_EQ(std::string(dst), "joe@a.very.");
}

}  // namespace

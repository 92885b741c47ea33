// Encrypted-password formats, MD5, MD5-crypt and verification through the
// system crypt.
#include "Spwd.h"

#include <crypt.h>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// The system's own encryption, as reference.
std::string SystemHash(const std::string &key, const std::string &setting)
{
    struct crypt_data data {};
    const char *r = crypt_rn(key.c_str(), setting.c_str(), &data, sizeof data);
    return r != nullptr ? r : "";
}

std::string GenSalt(const char *prefix)
{
    char out[CRYPT_GENSALT_OUTPUT_SIZE];
    const char *s = crypt_gensalt_rn(prefix, 0, nullptr, 0, out, sizeof out);
    return s != nullptr ? s : "";
}

struct Format {
    const char *text;
    int valid;
    const char *name;
};

class FormatTable : public ::testing::TestWithParam<Format> {};

TEST_P(FormatTable, ClassifiesTextAndNamesTheAlgorithm)
{
    const Format &f = GetParam();
    const char *name = nullptr;
    EXPECT_EQ(ValidEncryptedPassword2(f.text, &name), f.valid) << f.text;
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, f.name) << f.text;
    EXPECT_EQ(ValidEncryptedPassword(f.text), f.valid);
}

INSTANTIATE_TEST_SUITE_P(
    AllRows, FormatTable,
    ::testing::Values(
        Format{"$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/", 1, "BSD MD5"},
        Format{"$md5$rounds=904$abc$def", 1, "Sun MD5"},
        Format{"$2a$10$abcdefghijklmnopqrstuu", 1, "Blowfish"},
        Format{"$2$10$abcdefghijklmnopqrstuu", 1, "Blowfish"},
        Format{"$2y$10$abcdefghijklmnopqrstuu", 1, "Blowfish"},
        // An upper-case variant letter is no Blowfish, but a dollar format.
        Format{"$2A$10$abcdefghijklmnopqrstuu", 1, "unknown:$2A"},
        Format{"$5$salt$hash", 1, "SHA-256"},
        Format{"$6$salt$hash", 1, "SHA-512"},
        Format{"$sha1$40000$salt$hash", 1, "unknown:$sha1"},
        Format{"$y$j9T$salt$hash", 1, "unknown:$y"},
        Format{"$averyveryveryverylongformatname$x", 1, "unknown:$averyveryveryverylongf"},
        // A dollar without a second one falls through to the DES row.
        Format{"$abcdefghijklmn", 0, "DES"},
        Format{"$abc", 0, "unknown"},
        Format{"abJnggxhB/yWI", 1, "DES"},
        Format{"abJnggxhB/yW", 0, "unknown"},       // 12 characters
        Format{"abJnggxhB!yWI", 0, "DES"},          // 13, with "!"
        Format{"_abcdefghijklmnopqr", 0, "DES Long"},   // 19 in all
        Format{"_abcdefghijklmnopqrs", 1, "DES Long"},  // 20 in all
        Format{"_abcdefghijklmnopq!s", 0, "DES Long"},
        Format{"", 0, "unknown"},
        Format{"*", 0, "unknown"},
        Format{"x", 0, "unknown"},
        Format{"!$6$salt$hash", 0, "DES"}));          // a locked account

TEST(FormatTable, NamePointerIsOptional)
{
    EXPECT_EQ(ValidEncryptedPassword2("$6$a$b", nullptr), 1);
    EXPECT_EQ(ValidEncryptedPassword2(nullptr, nullptr), 0);
}

// ---- MD5 ----------------------------------------------------------------------

struct Md5Vector {
    const char *text;
    const char *digest;
};

class Md5Rfc1321 : public ::testing::TestWithParam<Md5Vector> {};

TEST_P(Md5Rfc1321, OneShotAndIncrementalGiveTheTestSuiteDigest)
{
    const Md5Vector &v = GetParam();
    size_t len = strlen(v.text);
    Spwd_md5_t ctx;
    Spwd_md5_start(&ctx, nullptr, 0);
    for (size_t i = 0; i < len; i += 7)   // uneven pieces cross the block boundaries
        Spwd_md5_add(&ctx, v.text + i, len - i < 7 ? len - i : 7);
    EXPECT_STREQ(Spwd_md5_end(&ctx), v.digest);

    if (len > 0) {
        char out[33];
        EXPECT_STREQ(Spwd_md5_sum(v.text, len, out, sizeof out), v.digest);
        Spwd_md5_start(&ctx, v.text, len);
        EXPECT_STREQ(Spwd_md5_end(&ctx), v.digest);
    }
}

INSTANTIATE_TEST_SUITE_P(
    TestSuite, Md5Rfc1321,
    ::testing::Values(
        Md5Vector{"", "d41d8cd98f00b204e9800998ecf8427e"},
        Md5Vector{"a", "0cc175b9c0f1b6a831c399e269772661"},
        Md5Vector{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        Md5Vector{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        Md5Vector{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        Md5Vector{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                  "d174ab98d277d9f5a5611c2c9f419d9f"},
        Md5Vector{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                  "57edf4a22be3c955ac49da2e2107b67a"}));

TEST(Md5Sum, RefusesAnOutputOf32BytesAndEmptyInput)
{
    char out[64];
    EXPECT_EQ(Spwd_md5_sum("abc", 3, out, 32), nullptr);
    EXPECT_EQ(Spwd_md5_sum("abc", 3, out, 33), out);
    EXPECT_EQ(Spwd_md5_sum("abc", 0, out, 33), nullptr);
    EXPECT_EQ(Spwd_md5_sum(nullptr, 3, out, 33), nullptr);
    EXPECT_EQ(Spwd_md5_sum("abc", 3, nullptr, 33), nullptr);
}

TEST(Md5Sum, EndWipesTheWorkingState)
{
    Spwd_md5_t ctx;
    Spwd_md5_start(&ctx, "secret password", 15);
    Spwd_md5_end(&ctx);
    const unsigned char zero[64] = {};
    EXPECT_EQ(memcmp(ctx.block, zero, sizeof ctx.block), 0);
    EXPECT_EQ(ctx.state[0] | ctx.state[1] | ctx.state[2] | ctx.state[3], 0u);
}

struct Md5CryptCase {
    const char *password;
    const char *setting;
};

class Md5CryptMatchesSystem : public ::testing::TestWithParam<Md5CryptCase> {};

TEST_P(Md5CryptMatchesSystem, SameResultAsTheSystemCrypt)
{
    const Md5CryptCase &c = GetParam();
    std::string expected = SystemHash(c.password, c.setting);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(std::string(Spwd_md5_crypt(c.password, c.setting)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Passwords, Md5CryptMatchesSystem,
    ::testing::Values(
        Md5CryptCase{"password", "$1$saltsalt$"},
        Md5CryptCase{"", "$1$abc$"},
        Md5CryptCase{"a", "$1$x$"},
        Md5CryptCase{"exactly16chars!!", "$1$12345678$"},
        Md5CryptCase{"a password longer than sixteen and then some more", "$1$Zz./09$"},
        Md5CryptCase{"salt is cut", "$1$123456789abc$"},   // only 8 salt characters count
        Md5CryptCase{"from a full hash", "$1$saltsalt$qjXMvbEw8oaL.CzflDtaK/"}));

TEST(Md5Crypt, MagicInTheSaltIsOptional)
{
    std::string with(Spwd_md5_crypt("pw", "$1$abcd$"));
    EXPECT_EQ(std::string(Spwd_md5_crypt("pw", "abcd")), with);
    EXPECT_EQ(with.substr(0, 8), "$1$abcd$");
    EXPECT_EQ(with.size(), 8u + 22u);
}

// ---- Salt, Crypt and CheckPassword ------------------------------------------------

TEST(Salt, TwoAlphabetCharactersAndTwoNuls)
{
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(Salt(buf), buf);
    EXPECT_NE(strchr(gSpwdB64, buf[0]), nullptr);
    EXPECT_NE(strchr(gSpwdB64, buf[1]), nullptr);
    EXPECT_EQ(buf[2], '\0');
    EXPECT_EQ(buf[3], '\0');
    const char *own = Salt(nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(strlen(own), 2u);
}

TEST(CheckPassword, OwnMd5CryptVerifiesSystemHashes)
{
    std::string hash = SystemHash("secret", "$1$Ab3dE.gH$");
    EXPECT_EQ(CheckPassword("secret", hash.c_str(), 0, 0), 0);
    EXPECT_EQ(CheckPassword("Secret", hash.c_str(), 0, 0), -1);
    EXPECT_EQ(CheckPassword("", hash.c_str(), 0, 0), -1);
}

TEST(CheckPassword, Md5CanBeRoutedToTheSystemCrypt)
{
    std::string hash = SystemHash("secret", "$1$abcdefgh$");
    gSpwdUseSystemCryptForMD5 = 1;
    EXPECT_EQ(CheckPassword("secret", hash.c_str(), 0, 0), 0);
    EXPECT_EQ(CheckPassword("wrong", hash.c_str(), 0, 0), -1);
    gSpwdUseSystemCryptForMD5 = 0;
}

TEST(CheckPassword, DesThroughTheSystemCrypt)
{
    std::string hash = SystemHash("secret", "ab");
    ASSERT_EQ(hash.size(), 13u);
    EXPECT_EQ(ValidEncryptedPassword(hash.c_str()), 1);
    EXPECT_EQ(CheckPassword("secret", hash.c_str(), 0, 0), 0);
    EXPECT_EQ(CheckPassword("secreT", hash.c_str(), 0, 0), -1);
}

TEST(CheckPassword, Sha512ThroughTheSystemCrypt)
{
    std::string hash = SystemHash("correct horse", GenSalt("$6$"));
    ASSERT_EQ(hash.substr(0, 3), "$6$");
    const char *name = nullptr;
    EXPECT_EQ(ValidEncryptedPassword2(hash.c_str(), &name), 1);
    EXPECT_STREQ(name, "SHA-512");
    EXPECT_EQ(CheckPassword("correct horse", hash.c_str(), 0, 0), 0);
    EXPECT_EQ(CheckPassword("correct horse ", hash.c_str(), 0, 0), -1);
}

TEST(CheckPassword, YescryptIsAnUnknownDollarFormatVerifiedBySystemCrypt)
{
    std::string setting = GenSalt("$y$");
    ASSERT_FALSE(setting.empty());
    std::string hash = SystemHash("battery staple", setting);
    ASSERT_EQ(hash.substr(0, 3), "$y$");
    const char *name = nullptr;
    EXPECT_EQ(ValidEncryptedPassword2(hash.c_str(), &name), 1);
    EXPECT_STREQ(name, "unknown:$y");
    EXPECT_EQ(CheckPassword("battery staple", hash.c_str(), 0, 0), 0);
    EXPECT_EQ(CheckPassword("battery stapler", hash.c_str(), 0, 0), -1);
}

TEST(CheckPassword, FailureTokensOfTheSystemCryptNeverMatch)
{
    // libcrypt answers an unusable salt with "*0" or "*1", not NULL.
    EXPECT_EQ(Crypt("x", "$9$unsupported$", 0, 0), nullptr);
    EXPECT_EQ(CheckPassword("x", "$9$unsupported$", 0, 0), -1);
    for (const char *stored : {"*0", "*1", "*", "!", "", "x", "*LK*"}) {
        EXPECT_EQ(CheckPassword("", stored, 0, 0), -1) << stored;
        EXPECT_EQ(CheckPassword("*0", stored, 0, 0), -1) << stored;
    }
    EXPECT_EQ(CheckPassword("x", nullptr, 0, 0), -1);
}

TEST(CheckPassword, ComparesAnOverlongPasswordByItsFirst255Characters)
{
    std::string plain(300, 'p');
    plain[254] = 'q';
    std::string setting = GenSalt("$6$");
    std::string hashOf255 = SystemHash(plain.substr(0, 255), setting);
    std::string hashOf300 = SystemHash(plain, setting);
    EXPECT_EQ(CheckPassword(plain.c_str(), hashOf255.c_str(), 0, 0), 0);
    EXPECT_EQ(CheckPassword(plain.c_str(), hashOf300.c_str(), 0, 0), -1);
}

TEST(Crypt, RoutesMd5ToOwnCryptAndOthersToTheSystem)
{
    EXPECT_EQ(std::string(Crypt("pw", "$1$abc$", 0, 0)), std::string(Spwd_md5_crypt("pw", "$1$abc$")));
    EXPECT_EQ(std::string(Crypt("pw", "ab", 0, 0)), SystemHash("pw", "ab"));
}

} // namespace

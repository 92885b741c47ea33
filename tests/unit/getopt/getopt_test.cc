// The single-letter option parser shared by the server and the tools.
#include "getopt.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

constexpr const char *kServerOpts = "adn:p:k:uvVJqQbeY";

// An argv that Getopt may point into.
class Args {
  public:
    Args(std::initializer_list<const char *> args)
    {
        for (const char *a : args)
            store_.emplace_back(a);
        for (std::string &s : store_)
            argv_.push_back(s.data());
        argv_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(argv_.size()) - 1; }
    char **argv() { return argv_.data(); }

  private:
    std::vector<std::string> store_;
    std::vector<char *> argv_;
};

class GetoptTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        GetoptReset();
        gOptErr = 1;
    }
    // Every letter (and value) up to the end of the options, as "v q p=21".
    static std::string Scan(Args &a, const char *opts = kServerOpts)
    {
        std::string seen;
        int c;
        while ((c = Getopt(a.argc(), a.argv(), opts)) != -1) {
            if (!seen.empty())
                seen += ' ';
            seen += static_cast<char>(c);
            if (gOptArg != nullptr)
                seen += std::string("=") + gOptArg;
        }
        return seen;
    }
};

TEST_F(GetoptTest, LettersMayShareOneArgument)
{
    Args a{"zorvad", "-vq", "-d", "general.cf", "domain.cf"};
    EXPECT_EQ(Scan(a), "v q d");
    EXPECT_EQ(gOptInd, 3);
}

TEST_F(GetoptTest, ValuesAttachedOrInTheNextArgument)
{
    Args a{"zorvad", "-p2121", "-n", "10,5", "-vk0x1234", "general.cf"};
    EXPECT_EQ(Scan(a), "p=2121 n=10,5 v k=0x1234");
    EXPECT_EQ(gOptInd, 5);
}

TEST_F(GetoptTest, DoubleDashEndsTheOptions)
{
    Args a{"zorvad", "-v", "--", "-q", "general.cf"};
    EXPECT_EQ(Scan(a), "v");
    EXPECT_EQ(gOptInd, 3);
}

TEST_F(GetoptTest, TheFirstNonOptionEndsTheOptions)
{
    Args a{"zorvad", "-v", "general.cf", "-q"};
    EXPECT_EQ(Scan(a), "v");
    EXPECT_EQ(gOptInd, 2);

    GetoptReset();
    Args b{"zorvad", "-", "-v"};
    EXPECT_EQ(Scan(b), "");
    EXPECT_EQ(gOptInd, 1);
}

TEST_F(GetoptTest, AnUnknownLetterIsReported)
{
    Args a{"zorvad", "-vxq"};
    CaptureStderr();
    EXPECT_EQ(Scan(a), "v ? q");
    EXPECT_EQ(GetCapturedStderr(), "zorvad: illegal option -- x\n");
    EXPECT_EQ(gOptOpt, 'q');
}

TEST_F(GetoptTest, AMissingValueIsReported)
{
    Args a{"zorvad", "-v", "-p"};
    CaptureStderr();
    EXPECT_EQ(Scan(a), "v ?");
    EXPECT_EQ(GetCapturedStderr(), "zorvad: option requires an argument -- p\n");
    EXPECT_EQ(gOptInd, 3);
}

TEST_F(GetoptTest, NoMessagesWhenErrorPrintingIsOff)
{
    gOptErr = 0;
    Args a{"pwutil", "-:", "-p"};
    CaptureStderr();
    EXPECT_EQ(Scan(a), "? ?");
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(GetoptTest, ResetScansTheSameArgumentsAgain)
{
    Args a{"zorvad", "-Jb", "-p", "21", "g.cf", "d.cf"};
    const std::string first = Scan(a);
    GetoptReset();
    EXPECT_EQ(Scan(a), first);
    EXPECT_EQ(first, "J b p=21");
    EXPECT_EQ(gOptInd, 4);
}

TEST_F(GetoptTest, ResetInTheMiddleOfAGroup)
{
    Args a{"zorvad", "-vqd"};
    EXPECT_EQ(Getopt(a.argc(), a.argv(), kServerOpts), 'v');
    GetoptReset();
    EXPECT_EQ(Scan(a), "v q d");
}

}  // namespace

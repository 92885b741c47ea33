// TYPE A line ends in both directions, whole and split across blocks.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transfer/asciiconv.h"

namespace {

// Converts the blocks one after another, then the end.
std::string Send(int mode, const std::vector<std::string> &blocks)
{
    AsciiState st {};
    std::string out;
    for (const std::string &b : blocks) {
        std::string dst(AsciiSendBound(b.size()), '\0');
        dst.resize(AsciiToNetwork(mode, &st, b.data(), b.size(), dst.data()));
        out += dst;
    }
    char end[2];
    out.append(end, AsciiToNetworkEnd(mode, &st, end));
    return out;
}

std::string Receive(int mode, const std::vector<std::string> &blocks)
{
    AsciiState st {};
    std::string out;
    for (const std::string &b : blocks) {
        std::string dst(AsciiRecvBound(b.size()), '\0');
        dst.resize(AsciiFromNetwork(mode, &st, b.data(), b.size(), dst.data()));
        out += dst;
    }
    char end[2];
    out.append(end, AsciiFromNetworkEnd(mode, &st, end));
    return out;
}

// Every way to cut the text into two blocks gives the same result.
template <typename F>
void ExpectSplitInvariant(F convert, int mode, const std::string &text, const std::string &expected)
{
    for (size_t cut = 0; cut <= text.size(); cut++)
        EXPECT_EQ(convert(mode, {text.substr(0, cut), text.substr(cut)}), expected) << "cut at " << cut;
}

}  // namespace

TEST(AsciiSend, ModeZeroSendsTheBytesUnchanged)
{
    EXPECT_EQ(Send(0, {"a\nb\r\nc\r"}), "a\nb\r\nc\r");
}

TEST(AsciiSend, ModeOneEndsLinesWithCrLfAndLeavesLoneCarriageReturns)
{
    ExpectSplitInvariant(Send, 1, "a\nb\r\nc\rd\r\r\ne\r", "a\r\nb\r\nc\rd\r\r\ne\r");
}

TEST(AsciiSend, ModesTwoAndThreeTurnEveryLineEndIntoOneCrLf)
{
    for (int mode : {2, 3})
        ExpectSplitInvariant(Send, mode, "a\nb\r\nc\rd\r\r\ne", "a\r\nb\r\nc\r\nd\r\n\r\ne");
}

TEST(AsciiSend, ACarriageReturnAtTheVeryEndBecomesCrLf)
{
    EXPECT_EQ(Send(2, {"end\r"}), "end\r\n");
    EXPECT_EQ(Send(3, {"end", "\r", ""}), "end\r\n");
}

TEST(AsciiSend, AFileOfOnlyLineFeedsDoublesWithinTheBound)
{
    const std::string lfs(256, '\n');
    const std::string out = Send(3, {lfs});
    EXPECT_EQ(out.size(), 512u);
    EXPECT_LE(out.size(), AsciiSendBound(lfs.size()));
}

TEST(AsciiReceive, ModesZeroAndOneDropEveryCarriageReturn)
{
    for (int mode : {0, 1})
        ExpectSplitInvariant(Receive, mode, "a\r\nb\rc\r\r\n", "a\nbc\n");
}

TEST(AsciiReceive, ModeTwoMakesOneLineFeedOfCrLfAndCrCrLf)
{
    ExpectSplitInvariant(Receive, 2, "a\r\nb\r\r\nc\nd", "a\nb\nc\nd");
}

TEST(AsciiReceive, LoneCarriageReturnsBecomeLineFeedsEachOne)
{
    ExpectSplitInvariant(Receive, 2, "a\rb\r\rc", "a\nb\n\nc");
    ExpectSplitInvariant(Receive, 3, "x\r\r\r\ny", "x\n\ny");
}

TEST(AsciiReceive, CarriageReturnsAtTheEndOfTheDataBecomeLineFeeds)
{
    EXPECT_EQ(Receive(2, {"a\r", "\r"}), "a\n\n");
    EXPECT_EQ(Receive(1, {"a\r"}), "a");
}

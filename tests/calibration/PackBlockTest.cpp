#include "calibration/PackBlock.h"

#include <gtest/gtest.h>

namespace {

TEST(PackBlockParse, TextWithoutCrLfIsReturnedUnchanged) {
    for (bool fromFirst : {false, true}) {
        EXPECT_EQ(ParsePackBlock("abc", fromFirst), "abc");
        EXPECT_EQ(ParsePackBlock("a\nb", fromFirst), "a\nb");
        EXPECT_EQ(ParsePackBlock("x pack 12__  \n", fromFirst), "x pack 12__  \n");
        EXPECT_EQ(ParsePackBlock("", fromFirst), "");
    }
}

TEST(PackBlockParse, TrimsWhiteSpaceThenUnderscoresOnce) {
    EXPECT_EQ(ParsePackBlock("OK__  \r\n", false), "OK\r\n\r\n");
    EXPECT_EQ(ParsePackBlock("OK_ _\r\n", false), "OK_ \r\n\r\n");
    EXPECT_EQ(ParsePackBlock("a\t\v\f \r\n_b\r\n", false), "a\r\n_b\r\n\r\n");
    // A lone LF among CR LF lines still splits; the piece after the last LF is kept.
    EXPECT_EQ(ParsePackBlock("a\nb\r\nc", false), "a\r\nb\r\nc\r\n");
}

TEST(PackBlockParse, FromFirstPackStartsAtFirstMarkerLine) {
    const std::string text = "x\r\n pack 12__\r\nab 01 5\r\n";
    EXPECT_EQ(ParsePackBlock(text, true), " pack 12\r\nab 01 5\r\n\r\n");
    EXPECT_EQ(ParsePackBlock(text, false), "x\r\n pack 12\r\nab 01 5\r\n\r\n");
    EXPECT_EQ(ParsePackBlock("abc\r\ndef\r\n", true), "");
    EXPECT_EQ(ParsePackBlock("a\r\nPACK 1\r\nb\r\nPack 2\r\n", true), "PACK 1\r\nb\r\nPack 2\r\n\r\n");
}

TEST(PackBlockParse, MarkerNeedsItsSpaceAfterTrimmingAndExactCase) {
    // 'pack ' at a line end loses its space to trimming.
    EXPECT_EQ(ParsePackBlock("a\r\nthe pack \r\nb\r\n", true), "");
    EXPECT_EQ(ParsePackBlock("a\r\npACK 3\r\nb\r\n", true), "");
    EXPECT_EQ(ParsePackBlock("a\r\npack 3\r\nb", true), "pack 3\r\nb\r\n");
}

TEST(PackBlockComplete, CountMustOccurBetweenSpaces) {
    EXPECT_FALSE(IsPackBlockComplete(""));
    EXPECT_FALSE(IsPackBlockComplete("no header 12 here"));
    EXPECT_FALSE(IsPackBlockComplete(" pack 12\r\n"));
    EXPECT_FALSE(IsPackBlockComplete(" pack 12\r\n@AB 01 x\r\n"));
    EXPECT_TRUE(IsPackBlockComplete(" pack 12\r\n@AB 12 x\r\n"));
    // The search starts at the beginning of the text, not behind the header.
    EXPECT_TRUE(IsPackBlockComplete("a 12 b\r\n pack 12\r\n"));
    EXPECT_TRUE(IsPackBlockComplete(" pack 12 x"));
    // Only the first header counts.
    EXPECT_FALSE(IsPackBlockComplete(" pack 12\r\n pack 03 \r\n"));
    // A header cut short is not complete by itself.
    EXPECT_FALSE(IsPackBlockComplete("x pack 1"));
    EXPECT_FALSE(IsPackBlockComplete("x pack "));
}

TEST(PackBlockProgressTest, RecordAgainstCount) {
    EXPECT_FALSE(PackBlockProgress("@AB 05 x@CD 06").has_value());
    EXPECT_FALSE(PackBlockProgress(" pack 10\r\n").has_value());
    EXPECT_FALSE(PackBlockProgress("@pack 10 ").has_value());         // no " pack ", at-sign first
    EXPECT_FALSE(PackBlockProgress(" pack 10\r\n@AB ").has_value());  // only three after '@'
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 10\r\n@AB 05 rest\r\n"), 50.0);
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 04\r\n@AB 01 r\r\n@AB 03"), 75.0);
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 03\r\n@AB 01"), 100.0 / 3.0);
    // Four characters after the at-sign: a one-digit record number.
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 10\r\n@AB 7"), 70.0);
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 00\r\n@AB 07"), 0.0);
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack xx\r\n@AB 07"), 0.0);
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 02\r\n@AB 04"), 200.0);
    EXPECT_DOUBLE_EQ(*PackBlockProgress(" pack 10\r\n@AB  3"), 30.0);
}

TEST(TokenList, KeepsEmptyPiecesAndChecksBounds) {
    CTokenList list("a\n\nb\n", '\n');
    ASSERT_EQ(list.GetCount(), 4);
    EXPECT_EQ(list.GetToken(0), "a");
    EXPECT_EQ(list.GetToken(1), "");
    EXPECT_EQ(list.GetToken(2), "b");
    EXPECT_EQ(list.GetToken(3), "");
    EXPECT_EQ(CTokenList("", ',').GetCount(), 1);
    for (int bad : {-1, 4}) {
        try {
            (void)list.GetToken(bad);
            ADD_FAILURE() << "no error for index " << bad;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "Index out of Bounds");
        }
    }
}

}  // namespace

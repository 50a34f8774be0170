#include "ui/NameRules.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik {
namespace {

TEST(SafeFileName, ReplacesControlCodesUpTo1AAndTheNineCharacters) {
  EXPECT_EQ(SafeFileName("a\"b*c/d:e<f>g?h\\i|j"), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(SafeFileName("x\ty\r\nz\x01\x1A"), "x_y__z__");
  // 0x1B..0x1F, blanks and high codes stay; a zero byte is not a character to replace.
  const std::string kept("\x1B\x1F \x80\xFF.txt", 9);
  EXPECT_EQ(SafeFileName(kept), kept);
}

TEST(Trim, DropsCodesUpToBlankAtBothEndsOnly) {
  EXPECT_EQ(Trim(" \t\r\n two  words \x01\x20"), "two  words");
  EXPECT_EQ(Trim("\x21x\x21"), "\x21x\x21");
  EXPECT_EQ(Trim(" \t "), "");
}

TEST(ArchiveTitleFromPath, KeepsTextBeforeTheLastDotOfTheFileName) {
  EXPECT_EQ(ArchiveTitleFromPath("C:\\Archives\\page.mht"), "page");
  EXPECT_EQ(ArchiveTitleFromPath("C:\\Archives\\two.dots.mht"), "two.dots");
  // A dot in a folder name does not count.
  EXPECT_EQ(ArchiveTitleFromPath("C:\\my.folder\\noext"), "");
  EXPECT_EQ(ArchiveTitleFromPath("C:\\a\\.mht"), "");
  EXPECT_EQ(ArchiveTitleFromPath("page."), "page");
}

TEST(TextToBool, RecognisesTrueFalseAndNumbersElseDefault) {
  for (const char* on : {"True", "TRUE", "true", "1", "-1", "2.5", "1e3", "yes", "on", "", "0x0"})
    EXPECT_TRUE(TextToBool(on)) << on;
  for (const char* off : {"False", "fAlSe", "0", "00", "-0", "0.0", "0e5", " 0 "}) EXPECT_FALSE(TextToBool(off)) << off;
  EXPECT_FALSE(TextToBool("garbage", false));
  EXPECT_TRUE(TextToBool("1", false));
}

TEST(SuccessText, UsesTwoCarriageReturnsAndNoLineFeeds) {
  EXPECT_EQ(SuccessText("C:\\a b\\x.y.mht"),
            "Successfully saved to C:\\a b\\x.y.mht.\r\rDo you want to open it in a new window now?");
}

TEST(ProposedFileName, MakesASafeTrimmedNameWithTheArchiveExtension) {
  EXPECT_EQ(ProposedFileName("two words", 260), "two words.mht");
  EXPECT_EQ(ProposedFileName("News: a/b?", 260), "News_ a_b_.mht");
  EXPECT_EQ(ProposedFileName("line\r\nbreak\there", 260), "line__break_here.mht");
  // Control codes at the ends become "_" before trimming, so they stay.
  EXPECT_EQ(ProposedFileName("\x01x", 260), "_x.mht");
  EXPECT_EQ(ProposedFileName("   ", 260), "");
  // A tab is replaced before the trim, as in the middle of a selection.
  EXPECT_EQ(ProposedFileName(" \t ", 260), "_.mht");
}

TEST(ProposedFileName, IsCutToFitTheDialogBuffer) {
  const std::string longText(10000, 'a');
  const std::string name = ProposedFileName(longText, 260);
  ASSERT_EQ(name.size(), 259u);  // and the terminating zero
  EXPECT_EQ(name.substr(255), ".mht");
  EXPECT_EQ(ProposedFileName("abcdef", 8), "abc.mht");
  EXPECT_EQ(ProposedFileName("abcdef", 6), "a.mht");
  EXPECT_EQ(ProposedFileName("abcdef", 5), "");
  // A cut that ends on a blank leaves no blank before the extension.
  EXPECT_EQ(ProposedFileName("ab cdef", 8), "ab.mht");
}

TEST(ProposedFileName, NeverSplitsADoubleByteCharacter) {
  auto lead = [](unsigned char c) { return c >= 0x81 && c <= 0x9F; };
  // "a" then three two-byte characters; room for 4 bytes keeps "a" + one pair.
  const std::string text("a\x82\xA0\x82\xA1\x82\xA2", 7);
  EXPECT_EQ(ProposedFileName(text, 4 + 5, lead), std::string("a\x82\xA0.mht", 7));
  EXPECT_EQ(ProposedFileName(text, 5 + 5, lead), std::string("a\x82\xA0\x82\xA1.mht", 9));
  // The same bytes in a single-byte code page are cut anywhere.
  EXPECT_EQ(ProposedFileName(text, 4 + 5), std::string("a\x82\xA0\x82.mht", 8));
}

}  // namespace
}  // namespace tarvik

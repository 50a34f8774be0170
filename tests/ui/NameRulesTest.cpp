#include "ui/NameRules.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik {
namespace {

// Lead bytes of code page 932 (Japanese) and of 950 (Traditional Chinese).
bool Lead932(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool Lead950(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool NoLead(unsigned char) { return false; }

// Characters whose second byte is "\" (0x5C) or "|" (0x7C).
const std::string kSofuto932 = "\x83\x5C\x83\x74\x83\x67";           // ソフト
const std::string kRepooto932 = "\x83\x8C\x83\x7C\x81\x5B\x83\x67";  // レポート
const std::string kHyouji932 = "\x95\x5C\x8E\xA6";                   // 表示
const std::string kSeikou950 = "\xA6\xA8\xA5\x5C";                   // 成功

TEST(SafeFileName, ReplacesControlCodesAndTheNineCharacters) {
  EXPECT_EQ(SafeFileName("a\"b*c/d:e<f>g?h\\i|j", NoLead), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(SafeFileName("x\ty\r\nz\x01\x1A\x1B\x1F", NoLead), "x_y__z____");
  // Blanks and high codes stay.
  const std::string kept(" \x80\xFF.txt", 7);
  EXPECT_EQ(SafeFileName(kept, NoLead), kept);
}

TEST(SafeFileName, KeepsDoubleByteCharactersWhole) {
  EXPECT_EQ(SafeFileName(kRepooto932 + "|" + kHyouji932, Lead932), kRepooto932 + "_" + kHyouji932);
  EXPECT_EQ(SafeFileName(kSeikou950 + "\\", Lead950), kSeikou950 + "_");
  // A lead byte without its second byte would join the extension's dot.
  EXPECT_EQ(SafeFileName("a\x83", Lead932), "a_");
}

TEST(PathSplit, FindsTheLastSeparatorByWholeCharacters) {
  const std::string folder932 = "C:\\" + kHyouji932 + "\\";
  EXPECT_EQ(FolderOf(folder932 + kSofuto932 + ".mht", Lead932), folder932);
  EXPECT_EQ(FileNameOf(folder932 + kSofuto932 + ".mht", Lead932), kSofuto932 + ".mht");
  EXPECT_EQ(ArchiveTitleFromPath(folder932 + kSofuto932 + ".mht", Lead932), kSofuto932);
  EXPECT_EQ(ArchiveTitleFromPath("C:\\x\\" + kSeikou950 + ".mht", Lead950), kSeikou950);
  EXPECT_EQ(FolderOf(kSeikou950 + "/a", Lead950), kSeikou950 + "/");
  // Without a separator there is no folder; a name ending in a trail byte 0x5C has none either.
  EXPECT_EQ(FolderOf(kSofuto932, Lead932), "");
  EXPECT_EQ(FindLastOf(kSeikou950, "\\", Lead950), std::string::npos);
  EXPECT_EQ(FindLastOf("a\\" + kSeikou950, "\\", Lead950), 1u);
}

TEST(PathSplit, APathBesideAFileIsTakenInItsFolderUnlessAbsolute) {
  const std::string folder932 = "C:\\" + kHyouji932 + "\\";
  const std::pair<std::string, std::string> cases[] = {
      {"trace.log", folder932 + "trace.log"},
      {"logs\\t.log", folder932 + "logs\\t.log"},
      {"D:\\t.log", "D:\\t.log"},
      {"d:t.log", "d:t.log"},
      {"\\\\server\\share\\t.log", "\\\\server\\share\\t.log"},
      {"/tmp/t.log", "/tmp/t.log"},
  };
  for (const auto& [path, expected] : cases)
    EXPECT_EQ(PathBeside(folder932 + "Tarvik.ini", path, Lead932), expected) << path;
  // A name without a folder leaves the path as it is given.
  EXPECT_EQ(PathBeside("Tarvik.ini", "t.log", Lead932), "t.log");
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

// Parts whose bytes were too large to keep are named, never silently missing.
TEST(SuccessText, UsesTwoCarriageReturnsAndNamesWhatCouldNotBeKept) {
  for (const auto& [notKept, said] : {std::pair{0, ""}, std::pair{1, ", but 1 resource was too large to keep"},
                                      std::pair{3, ", but 3 resources were too large to keep"}})
    EXPECT_EQ(SuccessText("C:\\a b\\x.y.mht", notKept), std::string("Successfully saved to C:\\a b\\x.y.mht") + said +
                                                            ".\r\rDo you want to open it in a new window now?");
}

TEST(ProposedFileName, MakesASafeTrimmedNameWithTheArchiveExtension) {
  EXPECT_EQ(ProposedFileName("two words", 260, NoLead), "two words.mht");
  EXPECT_EQ(ProposedFileName("News: a/b?", 260, NoLead), "News_ a_b_.mht");
  EXPECT_EQ(ProposedFileName("line\r\nbreak\there", 260, NoLead), "line__break_here.mht");
  // Control codes at the ends become "_" before trimming, so they stay.
  EXPECT_EQ(ProposedFileName("\x01x\x1F", 260, NoLead), "_x_.mht");
  EXPECT_EQ(ProposedFileName("   ", 260, NoLead), "");
  // A tab is replaced before the trim, as in the middle of a selection.
  EXPECT_EQ(ProposedFileName(" \t ", 260, NoLead), "_.mht");
  EXPECT_EQ(ProposedFileName(kHyouji932 + " " + kRepooto932, 260, Lead932), kHyouji932 + " " + kRepooto932 + ".mht");
}

TEST(ProposedFileName, NeverProposesADeviceName) {
  for (const char* device : {"CON", "con", "Nul", "AUX", "PRN", "COM1", "com9", "LPT1", "lpt9"})
    EXPECT_EQ(ProposedFileName(device, 260, NoLead), std::string(device) + "_.mht") << device;
  // With an extension of its own, or blanks before it, it is still the device.
  EXPECT_EQ(ProposedFileName("CON.txt", 260, NoLead), "CON_.txt.mht");
  EXPECT_EQ(ProposedFileName("aux .x", 260, NoLead), "aux_ .x.mht");
  // Names that only look alike are names of files.
  for (const char* file : {"CONSOLE", "COM0", "COM10", "LPT", "NUL1", "XCON"})
    EXPECT_EQ(ProposedFileName(file, 260, NoLead), std::string(file) + ".mht") << file;
  // No room for the mark: nothing is proposed rather than a device.
  EXPECT_EQ(ProposedFileName("CON", 3 + 5, NoLead), "");
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
  EXPECT_EQ(ProposedFileName(text, 4 + 5, NoLead), std::string("a\x82\xA0\x82.mht", 8));
}

}  // namespace
}  // namespace tarvik

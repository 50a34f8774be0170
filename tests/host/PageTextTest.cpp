// The charset of a page, from its header, a <meta> or its bytes.
#include "PageText.h"

#include <gtest/gtest.h>

#include <string>

#include "HtmlScanner.h"

namespace tarvik::host {
namespace {

TEST(PageText, CharsetFromHeaderMetaOrBytes) {
  EXPECT_EQ(CharsetOfContentType("text/html; Charset=\"UTF-8\""), "utf-8");
  EXPECT_EQ(CharsetOfContentType("text/html"), "");
  EXPECT_EQ(SniffMetaCharset("<html><head><META charset=Windows-1251>"), "windows-1251");
  EXPECT_EQ(SniffMetaCharset("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"),
            "iso-8859-1");
  EXPECT_EQ(SniffMetaCharset("<body><meta charset=utf-8>"), "");

  // "Привет" in windows-1251, declared by the header, by a <meta>, or not at all.
  const std::string cyrillic = "\xCF\xF0\xE8\xE2\xE5\xF2";
  EXPECT_EQ(DecodePageText(cyrillic, "windows-1251", true), L"\x41F\x440\x438\x432\x435\x442");
  EXPECT_EQ(DecodePageText("<meta charset=windows-1251>" + cyrillic, "", true).substr(27),
            L"\x41F\x440\x438\x432\x435\x442");
  // Undeclared: valid UTF-8 is UTF-8, anything else Windows-1252.
  EXPECT_EQ(DecodePageText("caf\xC3\xA9", "", true), L"caf\xE9");
  EXPECT_EQ(DecodePageText("caf\xE9", "", true), L"caf\xE9");
  // A byte-order mark wins over every declaration.
  EXPECT_EQ(DecodePageText("\xEF\xBB\xBF\xC3\xA9", "windows-1251", true), L"\xE9");
  EXPECT_EQ(DecodePageText(std::string("\xFF\xFE\x41\x00\x42\x04", 6), "", true), L"A\x442");
  // An unknown charset name counts as none.
  EXPECT_EQ(DecodePageText("caf\xE9", "x-unknown", false), L"caf\xE9");
}

}  // namespace
}  // namespace tarvik::host

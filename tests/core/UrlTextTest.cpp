#include "core/UrlText.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarvik {
namespace {

// Addresses from the platform as the web writes them: nothing lost, nothing
// outside ASCII, and two different addresses never one.
TEST(AsciiUrl, EveryCharacterEntersAsTheWebWritesIt) {
  const struct {
    const char* What;
    std::u16string Given;
    std::string Written;
  } cases[] = {
      {"ASCII unchanged, controls and blanks too", u"http://h/a b?x=1&y=%41#f\t\r\n", "http://h/a b?x=1&y=%41#f\t\r\n"},
      {"Cyrillic", u"http://h/\u0444.png", "http://h/%D1%84.png"},
      {"CJK", u"http://h/\u753b\u50cf.png", "http://h/%E7%94%BB%E5%83%8F.png"},
      {"last of two bytes", u"http://h/\u07FF", "http://h/%DF%BF"},
      {"first of three bytes", u"http://h/\u0800", "http://h/%E0%A0%80"},
      {"last of three bytes", u"http://h/\uFFFF", "http://h/%EF%BF%BF"},
      {"first of four bytes", u"http://h/\U00010000", "http://h/%F0%90%80%80"},
      {"euro sign", u"http://h/\u20ac.png", "http://h/%E2%82%AC.png"},
      {"Latin-1 in a query", u"http://h/q.png?name=caf\u00e9", "http://h/q.png?name=caf%C3%A9"},
      {"host", u"http://\u0444.test/", "http://%D1%84.test/"},
      {"pair: one character, four bytes", u"http://h/\U0001F600", "http://h/%F0%9F%98%80"},
      {"the last pair of all", u"http://h/\U0010FFFF", "http://h/%F4%8F%BF%BF"},
      {"non-character", u"http://h/\uFFFF\uFDD0", "http://h/%EF%BF%BF%EF%B7%90"},
      {"lone high surrogate", u"http://h/\xD800.png", "http://h/%ED%A0%80.png"},
      {"lone low surrogate", u"http://h/\xDC00.png", "http://h/%ED%B0%80.png"},
      {"low before high", u"\xDC00\xD800", "%ED%B0%80%ED%A0%80"},
      {"high at the end", u"x\xDBFF", "x%ED%AF%BF"},
      {"embedded zero", std::u16string(u"a\0\u00e9", 3), std::string("a\0%C3%A9", 8)},
      {"empty", u"", ""},
  };
  std::set<std::string> written;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(AsciiUrl(c.Given), c.Written);
    EXPECT_TRUE(written.insert(c.Written).second);  // distinct addresses stay distinct
  }

  // A pre-escaped address and the raw one meet in one key; two names that a
  // code page would both turn into "?" stay apart.
  EXPECT_EQ(AsciiUrl(u"http://h/%D1%8F.png"), AsciiUrl(u"http://h/\u044f.png"));
  EXPECT_NE(AsciiUrl(u"http://h/\u0444.png"), AsciiUrl(u"http://h/\u0436.png"));

  // A 64 KiB address of escapes and lone surrogates: every unit accounted for.
  std::u16string big = u"http://h/";
  for (int i = 0; i < 64 * 1024 / 3; ++i) big += (i % 3 == 0) ? u'\xD800' : (i % 3 == 1) ? u'\u0444' : u'a';
  const std::string out = AsciiUrl(big);
  size_t escapes = 0, outside = 0;
  for (const char c : out) {
    outside += static_cast<unsigned char>(c) >= 0x80;
    escapes += c == '%';
  }
  EXPECT_EQ(outside, 0u);
  const size_t third = (64 * 1024 / 3 + 2) / 3;
  EXPECT_EQ(escapes, 3 * third + 2 * third);
}

}  // namespace
}  // namespace tarvik

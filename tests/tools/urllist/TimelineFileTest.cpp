#include "TimelineFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvik::urllist {
namespace {

TTarvikTimelineItems Parse(std::string_view text) {
  TTarvikTimelineItems timeline;
  std::string error;
  EXPECT_TRUE(ParseTimeline(text, timeline, error)) << error;
  return timeline;
}

std::string ParseError(std::string_view text, int32_t* parsed = nullptr) {
  TTarvikTimelineItems timeline;
  std::string error;
  EXPECT_FALSE(ParseTimeline(text, timeline, error));
  if (parsed) *parsed = timeline.Count();
  return error;
}

TEST(TimelineFile, ReadsFieldsCodesAndNames) {
  const auto timeline = Parse(
      "10\t100\t1A2B\tMainNavigation\tStart\thttp://u/\n"
      "-3\t4294967295\t0xffffffff\tframenavigation\tFINISH\t\r\n"
      "\r\n"
      "2147483647\t-2147483648\t0\t0\t1\tx\ty\n"
      "7\t1\t0\t255\t255\t");
  ASSERT_EQ(timeline.Count(), 4);
  EXPECT_EQ(timeline[0].SID, 10);
  EXPECT_EQ(timeline[0].TID, 100);
  EXPECT_EQ(timeline[0].OID, 0x1A2Bu);
  EXPECT_EQ(timeline[0].Category, CategoryMainNavigation);
  EXPECT_EQ(timeline[0].Event, EventStart);
  EXPECT_EQ(timeline[0].Value, "http://u/");
  EXPECT_EQ(timeline[1].SID, -3);
  EXPECT_EQ(timeline[1].TID, -1);  // the bits of an unsigned thread id
  EXPECT_EQ(timeline[1].OID, 0xFFFFFFFFu);
  EXPECT_EQ(timeline[1].Category, CategoryFrameNavigation);
  EXPECT_EQ(timeline[1].Event, EventFinish);
  EXPECT_EQ(timeline[1].Value, "");
  EXPECT_EQ(timeline[2].TID, -2147483647 - 1);
  EXPECT_EQ(timeline[2].Category, CategoryWebBrowser);
  EXPECT_EQ(timeline[2].Value, "x\ty");  // the value runs to the end of the line
  EXPECT_EQ(timeline[3].Category, 255);
  EXPECT_EQ(timeline[3].Event, 255);
}

TEST(TimelineFile, ValuesGetKeysWithSchemeAndHostLetterCaseIgnored) {
  const auto timeline = Parse(
      "1\t1\t0\tDownload\tStart\thttp://a/X\n"
      "2\t1\t0\tDownload\tStart\thttp://b/\n"
      "3\t1\t0\tDownload\tStart\tHTTP://A/X\n");
  ASSERT_EQ(timeline.Count(), 3);
  EXPECT_EQ(timeline[0].ValueKey, 0u);
  EXPECT_EQ(timeline[1].ValueKey, 1u);
  EXPECT_EQ(timeline[2].ValueKey, 0u);
  EXPECT_EQ(timeline.KeyCount(), 2u);
}

TEST(TimelineFile, ValuesKeepEveryByteButLineFeed) {
  std::string value;
  for (int b = 0; b < 256; ++b)
    if (b != '\n') value.push_back(static_cast<char>(b));
  const std::string huge(1 << 20, '\xFF');
  const auto timeline = Parse("1\t1\t0\t3\t0\t" + value + "\r\n2\t1\t0\t3\t0\t" + huge + "\n");
  ASSERT_EQ(timeline.Count(), 2);
  EXPECT_EQ(timeline[0].Value, value);  // the CR inside stays; only the one before LF goes
  EXPECT_EQ(timeline[1].Value, huge);
}

TEST(TimelineFile, BadLinesAreNamedAndStopTheRead) {
  int32_t parsed = -1;
  EXPECT_EQ(ParseError("1\t1\t0\t3\t0\ta\n\n1\t1\t0\t3\n", &parsed),
            "line 3: expected 6 TAB-separated fields (SID, TID, OID, category, event, value), found 4");
  EXPECT_EQ(parsed, 1);
  EXPECT_EQ(ParseError("x"),
            "line 1: expected 6 TAB-separated fields (SID, TID, OID, category, event, value), found 1");
  EXPECT_EQ(ParseError("2147483648\t1\t0\t3\t0\ta"), "line 1: bad SID \"2147483648\" (a decimal 32-bit number)");
  EXPECT_EQ(ParseError("+1\t1\t0\t3\t0\ta"), "line 1: bad SID \"+1\" (a decimal 32-bit number)");
  EXPECT_EQ(ParseError(" 1\t1\t0\t3\t0\ta"), "line 1: bad SID \" 1\" (a decimal 32-bit number)");
  EXPECT_EQ(ParseError("1\t4294967296\t0\t3\t0\ta"), "line 1: bad TID \"4294967296\" (a decimal 32-bit number)");
  EXPECT_EQ(ParseError("1\t-4294967295\t0\t3\t0\ta"), "line 1: bad TID \"-4294967295\" (a decimal 32-bit number)");
  EXPECT_EQ(ParseError("1\t1\t0x\t3\t0\ta"), "line 1: bad OID \"0x\" (a hexadecimal number)");
  EXPECT_EQ(ParseError("1\t1\t-1\t3\t0\ta"), "line 1: bad OID \"-1\" (a hexadecimal number)");
  EXPECT_EQ(ParseError("1\t1\t1" + std::string(2 * sizeof(uintptr_t), '0') + "\t3\t0\ta"),
            "line 1: bad OID \"1" + std::string(2 * sizeof(uintptr_t), '0') + "\" (a hexadecimal number)");
  EXPECT_EQ(ParseError("1\t1\t0\t256\t0\ta"),
            "line 1: unknown category \"256\" (a code 0-255 or WebBrowser, MainNavigation, FrameNavigation, Download)");
  EXPECT_EQ(
      ParseError("1\t1\t0\tStart\t0\ta"),
      "line 1: unknown category \"Start\" (a code 0-255 or WebBrowser, MainNavigation, FrameNavigation, Download)");
  EXPECT_EQ(ParseError("1\t1\t0\t3\tDownload\ta"),
            "line 1: unknown event \"Download\" (a code 0-255 or Start, Finish)");
  EXPECT_EQ(ParseError("1\t1\t0\t3\t\ta"), "line 1: unknown event \"\" (a code 0-255 or Start, Finish)");
  // A long bad field is cut short in the message.
  EXPECT_EQ(ParseError(std::string(100, '9') + "\t1\t0\t3\t0\ta"),
            "line 1: bad SID \"" + std::string(40, '9') + "...\" (a decimal 32-bit number)");
}

TEST(TimelineFile, PlatformVersions) {
  EXPECT_EQ(ParsePlatformVersion("5.0"), (TPlatformVersion{5, 0}));
  EXPECT_EQ(ParsePlatformVersion("10.0"), (TPlatformVersion{10, 0}));
  EXPECT_EQ(ParsePlatformVersion("4.90"), (TPlatformVersion{4, 90}));
  for (const char* bad : {"5", "5.", ".0", "5.0.1", "a.b", "-5.0", ""}) EXPECT_FALSE(ParsePlatformVersion(bad)) << bad;
}

}  // namespace
}  // namespace tarvik::urllist

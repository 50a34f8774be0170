#include "core/UrlList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/AnsiCase.h"
#include "core/PlatformVersion.h"
#include "core/UrlKey.h"
#include "framework/Trace.h"
#include "support/GoldenTrace.h"
#include "support/PlainUrlListWalk.h"
#include "support/TraceRecorder.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarvik {
namespace {

using Strings = std::vector<std::string>;
constexpr uintptr_t W = 0x1A2B;  // the window's browser object
constexpr uintptr_t Frame = 0xF0;
constexpr int32_t T = 100, S = 200, U = 300;  // the asking thread and two others

struct Timeline {
  TTarvikTimelineItems Items;
  Timeline& Add(int32_t sid, int32_t tid, uintptr_t oid, uint8_t category, uint8_t event, const std::string& value) {
    Items.Append(sid, tid, oid, category, event, value);
    return *this;
  }
};

struct Lists {
  Strings URLs;
  Strings Bases;
};

Lists Generate(const Timeline& timeline, int32_t tid, int32_t mark, Strings bases = {}) {
  Lists result{{"left over"}, std::move(bases)};
  GenerateList(timeline.Items, tid, mark, &result.URLs, &result.Bases);
  return result;
}

// The walk's messages (every line of the walk has the same source).
Strings Messages(const test::TraceRecorder& trace) {
  Strings messages;
  for (const auto& line : trace.Lines()) {
    EXPECT_EQ(line.Source, "Runtime.GenerateList");
    EXPECT_EQ(line.Extra, 0);
    EXPECT_EQ(line.Level, 50);
    messages.push_back(line.Message);
  }
  return messages;
}

// The lines of the items only, without the opening and closing lines.
Strings ItemLines(const test::TraceRecorder& trace) {
  Strings lines;
  for (const std::string& message : Messages(trace))
    if (message.rfind('[', 0) == 0) lines.push_back(message);
  return lines;
}

class UrlList : public ::testing::Test {
 protected:
  ScopedPlatformVersion FVersion{{5, 1}};
};

TEST_F(UrlList, WorkedExampleGivesTheListsAndTheTraceLinesOfTheListTool) {
  Timeline timeline;
  timeline.Add(9, S, 0, CategoryDownload, EventStart, "http://s/first")
      .Add(10, T, W, CategoryMainNavigation, EventStart, "http://u/")
      .Add(11, T, 0, CategoryDownload, EventStart, "http://u/")
      .Add(12, T, 0, CategoryDownload, EventStart, "http://u/i.png")
      .Add(13, T, W, CategoryMainNavigation, EventFinish, "http://u2/")
      .Add(14, S, 0, CategoryDownload, EventStart, "http://s/j.png");
  test::TraceRecorder trace;
  const Lists lists = Generate(timeline, T, 15);
  EXPECT_EQ(lists.URLs, (Strings{"http://u/", "http://u/i.png"}));
  EXPECT_EQ(lists.Bases, (Strings{"http://u2/", ""}));
  // The same scenario as the list tool's worked example, and the same lines.
  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "tools/urllist/worked_example.trace"));
}

// What letting go of captured bytes spares: every window's current page
// (its last main navigation on), not an earlier page of it.
TEST_F(UrlList, PagesInViewAreEveryWindowsLastPage) {
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://t/old")
      .Add(2, T, 0, CategoryDownload, EventStart, "http://t/old")
      .Add(3, T, 0, CategoryDownload, EventStart, "http://t/old.png")
      .Add(4, S, 7, CategoryMainNavigation, EventStart, "http://s/")
      .Add(5, S, 0, CategoryDownload, EventStart, "http://s/")
      .Add(6, T, W, CategoryMainNavigation, EventStart, "http://t/new")
      .Add(7, T, 0, CategoryDownload, EventStart, "http://t/new")
      .Add(8, S, 0, CategoryDownload, EventStart, "http://s/a.css")
      .Add(9, T, 0, CategoryDownload, EventStart, "http://t/new.png")
      .Add(10, U, 0, CategoryDownload, EventStart, "http://u/no-window");
  Strings pages = PagesInView(timeline.Items);
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  // As a capture would take them: threads that showed up later count with a window.
  EXPECT_EQ(pages, (Strings{"http://s/", "http://s/a.css", "http://t/new", "http://t/new.png", "http://u/no-window"}));
}

TEST_F(UrlList, FramesGiveTheirDocumentAndTheirOwnFinishAsBase) {
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://a/")
      .Add(2, T, 0, CategoryDownload, EventStart, "http://a/")
      .Add(3, T, Frame, CategoryFrameNavigation, EventStart, "http://a/frame")
      .Add(4, T, 0, CategoryDownload, EventStart, "http://a/frame?x")
      // The main window's finish must not be taken for the frame's.
      .Add(5, T, W, CategoryFrameNavigation, EventFinish, "http://wrong-oid/")
      .Add(6, T, Frame, CategoryMainNavigation, EventFinish, "http://wrong-category/")
      .Add(7, T, Frame, CategoryFrameNavigation, EventFinish, "http://a/frame-final")
      .Add(8, T, W, CategoryMainNavigation, EventFinish, "http://a/final")
      .Add(9, T, 0, CategoryDownload, EventStart, "http://a/page#anchor");
  const Lists lists = Generate(timeline, T, 100);
  EXPECT_EQ(lists.URLs, (Strings{"http://a/", "http://a/frame?x", "http://a/page#anchor"}));
  EXPECT_EQ(lists.Bases, (Strings{"http://a/final", "http://a/frame-final", ""}));
}

TEST_F(UrlList, NavigationWithoutDownloadAddsNothingAndWithoutFinishAddsAnEmptyBase) {
  {
    Timeline timeline;
    timeline.Add(1, S, 0, CategoryDownload, EventStart, "http://other-window/")
        .Add(2, T, W, CategoryMainNavigation, EventStart, "http://a/")
        .Add(3, S, 0, CategoryDownload, EventStart, "http://other-window/later")  // not this window's
        .Add(4, T, W, CategoryMainNavigation, EventFinish, "http://a/");
    test::TraceRecorder trace;
    const Lists lists = Generate(timeline, T, 10);
    EXPECT_TRUE(lists.URLs.empty());
    EXPECT_TRUE(lists.Bases.empty());
    EXPECT_EQ(ItemLines(trace)[1], "[1] SID[#   2/TID[ 100]/OID[1A2B]:MainNavigation.Start = http://a/");
    EXPECT_EQ(Messages(trace).back(), "Base list generated: \r\n");
  }
  {
    // The finish comes before the download: it is not the finish looked for.
    Timeline timeline;
    timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://a/")
        .Add(2, T, W, CategoryMainNavigation, EventFinish, "http://early/")
        .Add(3, T, 0, CategoryDownload, EventStart, "http://a/doc")
        .Add(4, T, 0, CategoryDownload, EventStart, "http://a/img");
    const Lists lists = Generate(timeline, T, 10);
    EXPECT_EQ(lists.URLs, (Strings{"http://a/doc", "http://a/img"}));
    EXPECT_EQ(lists.Bases, (Strings{"", ""}));
  }
}

TEST_F(UrlList, OnlySchemeAndHostLetterCaseMakeDuplicates) {
  const std::string accented = "http://a/caf\xE9";  // e acute in code page 1252
  const std::string accentedUpper = AnsiUpperCase(accented);
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://a/Page")
      .Add(2, T, 0, CategoryDownload, EventStart, "http://a/Page")
      .Add(3, T, 0, CategoryDownload, EventStart, "HTTP://A/Page")        // the same resource
      .Add(4, T, 0, CategoryDownload, EventStart, "http://a/page")        // another file
      .Add(5, T, W, CategoryMainNavigation, EventStart, "http://A/Page")  // a navigation too
      .Add(6, T, 0, CategoryDownload, EventStart, accented)
      .Add(7, T, 0, CategoryDownload, EventStart, accentedUpper)
      .Add(8, T, 0, CategoryDownload, EventStart, "http://a/page#top");  // its own address
  test::TraceRecorder trace;
  const Lists lists = Generate(timeline, T, 2);
  EXPECT_EQ(lists.URLs, (Strings{"http://a/Page", "http://a/page", accented, accentedUpper, "http://a/page#top"}));
  EXPECT_EQ(lists.Bases, (Strings{"", "", "", "", ""}));
  const Strings lines = ItemLines(trace);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2].substr(0, 3), "[0]");
  EXPECT_EQ(lines[3].substr(0, 3), "[1]");
  EXPECT_EQ(lines[4].substr(0, 3), "[0]");
}

TEST_F(UrlList, OnlyTheLastNavigationBeforeTheMarkCountsAndEventsAfterTheMarkToo) {
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://old/")
      .Add(2, T, 0, CategoryDownload, EventStart, "http://old/")
      .Add(3, T, W, CategoryMainNavigation, EventFinish, "http://old/")
      .Add(4, T, W, CategoryMainNavigation, EventStart, "http://new/")
      .Add(5, T, 0, CategoryDownload, EventStart, "http://new/")
      .Add(7, T, 0, CategoryDownload, EventStart, "http://new/late.png")  // after the mark 6
      .Add(8, T, W, CategoryMainNavigation, EventStart, "http://next/")   // after the mark: not the recent one
      .Add(9, T, 0, CategoryDownload, EventStart, "http://next/");
  test::TraceRecorder trace;
  const Lists lists = Generate(timeline, T, 6);
  EXPECT_EQ(lists.URLs, (Strings{"http://new/", "http://new/late.png", "http://next/"}));
  EXPECT_EQ(lists.Bases, (Strings{"", "", ""}));
  EXPECT_EQ(Messages(trace)[0], "SID of Recent Navigation is #4");
  // Items before the recent navigation are traced but never selected.
  const Strings lines = ItemLines(trace);
  ASSERT_EQ(lines.size(), 8u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lines[i].substr(0, 3), "[0]") << lines[i];
}

TEST_F(UrlList, NothingBeforeTheMarkGivesAnEmptyListAndLeavesTheBaseList) {
  Timeline timeline;
  timeline.Add(5, T, W, CategoryMainNavigation, EventStart, "http://a/")
      .Add(6, T, 0, CategoryDownload, EventStart, "http://a/")
      .Add(7, S, W, CategoryMainNavigation, EventStart, "http://s/")   // before the mark, wrong thread
      .Add(8, T, W, CategoryFrameNavigation, EventStart, "http://f/")  // wrong category
      .Add(9, T, 0, CategoryDownload, EventStart, "http://b/");
  for (int32_t mark : {5, 4, 0, -1}) {
    test::TraceRecorder trace;
    const Lists lists = Generate(timeline, T, mark, {"kept"});
    EXPECT_TRUE(lists.URLs.empty());
    EXPECT_EQ(lists.Bases, Strings{"kept"});
    EXPECT_EQ(Messages(trace), Strings{"Recent Navigation not found. Exit with empty URL list."});
  }
  Timeline empty;
  test::TraceRecorder trace;
  EXPECT_TRUE(Generate(empty, T, 100).URLs.empty());
  EXPECT_EQ(Messages(trace), Strings{"Recent Navigation not found. Exit with empty URL list."});
}

TEST_F(UrlList, TheBaseListIsAppendedToAndTheURLListCleared) {
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://a/")
      .Add(2, T, 0, CategoryDownload, EventStart, "http://a/")
      .Add(3, T, W, CategoryMainNavigation, EventFinish, "http://a/done");
  test::TraceRecorder trace;
  const Lists lists = Generate(timeline, T, 10, {"old 1", "old 2"});
  EXPECT_EQ(lists.URLs, Strings{"http://a/"});
  EXPECT_EQ(lists.Bases, (Strings{"old 1", "old 2", "http://a/done"}));
  EXPECT_EQ(Messages(trace).back(), "Base list generated: \r\nold 1\r\nold 2\r\nhttp://a/done\r\n");

  // Absent lists: nothing happens at all.
  std::vector<std::string> urls = {"kept"}, bases = {"kept"};
  test::TraceRecorder quiet;
  GenerateList(timeline.Items, T, 10, nullptr, &bases);
  GenerateList(timeline.Items, T, 10, &urls, nullptr);
  EXPECT_EQ(urls, Strings{"kept"});
  EXPECT_EQ(bases, Strings{"kept"});
  EXPECT_TRUE(quiet.Lines().empty());
}

TEST_F(UrlList, FinishAndUnknownEventsAreNeverSelected) {
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://a/")
      .Add(2, T, 0, CategoryDownload, EventFinish, "http://finish/")
      .Add(3, T, W, CategoryFrameNavigation, EventFinish, "http://frame-finish/")
      .Add(4, T, 0, CategoryDownload, 2, "http://event-2/")
      .Add(5, T, 0, CategoryDownload, 255, "http://event-255/");
  test::TraceRecorder trace;
  const Lists lists = Generate(timeline, T, 10);
  EXPECT_TRUE(lists.URLs.empty());
  const Strings lines = ItemLines(trace);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "[0] SID[#   2/TID[ 100]/OID[0]:Download.Finish = http://finish/");
  EXPECT_EQ(lines[3], "[0] SID[#   4/TID[ 100]/OID[0]:Download.? = http://event-2/");
  EXPECT_EQ(lines[4], "[0] SID[#   5/TID[ 100]/OID[0]:Download.? = http://event-255/");
}

// S shows up before T, U after T: on 5.0 and later S's items are left out
// and U's taken in; on older platforms threads are not told apart at all.
Timeline ThreeWindows() {
  Timeline timeline;
  timeline.Add(1, S, 0xAA, CategoryMainNavigation, EventStart, "http://s/")
      .Add(2, T, W, CategoryMainNavigation, EventStart, "http://t/")
      .Add(3, S, 0, CategoryDownload, EventStart, "http://s/doc")
      .Add(4, T, 0, CategoryDownload, EventStart, "http://t/doc")
      .Add(5, S, W, CategoryMainNavigation, EventFinish, "http://s/finish-same-oid")
      .Add(6, U, 0, CategoryDownload, EventStart, "http://u/res")
      .Add(7, T, W, CategoryMainNavigation, EventFinish, "http://t/finish")
      .Add(8, S, 0, CategoryDownload, EventStart, "http://s/late");
  return timeline;
}

TEST_F(UrlList, LaterThreadsAreTakenInAndEarlierOnesLeftOut) {
  test::TraceRecorder trace;
  const Lists lists = Generate(ThreeWindows(), T, 100);
  EXPECT_EQ(lists.URLs, (Strings{"http://t/doc", "http://u/res"}));
  EXPECT_EQ(lists.Bases, (Strings{"http://t/finish", ""}));
  const Strings lines = ItemLines(trace);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], "[0] SID[#   3/TID[ 200]/OID[0]:Download.Start = http://s/doc");
  EXPECT_EQ(lines[5], "[1] SID[#   6/TID[ 300]/OID[0]:Download.Start = http://u/res");
  EXPECT_EQ(lines[7], "[0] SID[#   8/TID[ 200]/OID[0]:Download.Start = http://s/late");
}

TEST_F(UrlList, OlderPlatformsTakeEveryThreadAndSearchAcrossThreads) {
  for (TPlatformVersion older : {TPlatformVersion{4, 0}, TPlatformVersion{4, 90}}) {
    ScopedPlatformVersion version(older);
    const Lists lists = Generate(ThreeWindows(), T, 100);
    // The navigation's download and finish are the first ones after it in
    // any thread: S's download, and S's finish of an object with the same OID.
    EXPECT_EQ(lists.URLs, (Strings{"http://s/doc", "http://t/doc", "http://u/res", "http://s/late"}));
    EXPECT_EQ(lists.Bases, (Strings{"http://s/finish-same-oid", "", "", ""}));
  }
  ScopedPlatformVersion version({5, 0});
  EXPECT_EQ(Generate(ThreeWindows(), T, 100).URLs, (Strings{"http://t/doc", "http://u/res"}));
}

TEST_F(UrlList, OddValuesPassThroughWhole) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  const std::string huge = "http://big/" + std::string(3 << 20, 'x');
  Timeline timeline;
  timeline.Add(-7, T, ~uintptr_t{0}, CategoryMainNavigation, EventStart, "")
      .Add(123456, T, 0, CategoryDownload, EventStart, "")  // the empty URL is a key like any other
      .Add(123457, T, 0, CategoryDownload, EventStart, everyByte)
      .Add(123458, T, 0, CategoryDownload, EventStart, everyByte)
      .Add(123459, T, 0, CategoryDownload, EventStart, huge)
      .Add(123460, T, 0, CategoryDownload, EventStart, "HTTP://BIG/" + huge.substr(11))
      .Add(123461, T, 0, 0, EventStart, "http://category-0/")
      .Add(123462, T, 0, 7, EventStart, "http://category-7/")
      .Add(123463, T, 0, 255, EventStart, "http://category-255/")
      .Add(123464, T, ~uintptr_t{0}, CategoryMainNavigation, EventFinish, "");
  test::TraceRecorder trace;
  const Lists lists = Generate(timeline, T, -6);
  EXPECT_EQ(lists.URLs, (Strings{"", everyByte, huge}));
  EXPECT_EQ(lists.Bases, (Strings{"", "", ""}));
  const Strings lines = ItemLines(trace);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], Format("[1] SID[#  -7/TID[ 100]/OID[%llX]:MainNavigation.Start = ",
                             static_cast<unsigned long long>(~uintptr_t{0})));
  EXPECT_EQ(lines[1], "[0] SID[#123456/TID[ 100]/OID[0]:Download.Start = ");
  // Zero bytes included: the trace carries the whole value.
  EXPECT_EQ(lines[2], "[1] SID[#123457/TID[ 100]/OID[0]:Download.Start = " + everyByte);
  EXPECT_EQ(lines[3].substr(0, 3), "[0]");
  EXPECT_EQ(lines[4].size(), std::string("[1] SID[#123459/TID[ 100]/OID[0]:Download.Start = ").size() + huge.size());
  EXPECT_EQ(lines[5].substr(0, 3), "[0]");
  // Categories without a branch are selected but add nothing.
  EXPECT_EQ(lines[6], "[1] SID[#123461/TID[ 100]/OID[0]:WebBrowser.Start = http://category-0/");
  EXPECT_EQ(lines[7], "[1] SID[#123462/TID[ 100]/OID[0]:?.Start = http://category-7/");
  EXPECT_EQ(lines[8], "[1] SID[#123463/TID[ 100]/OID[0]:?.Start = http://category-255/");
}

// Without a sink the walk builds no lines and skips the items before the
// recent navigation; with one it traces every item, and the lists agree.
TEST_F(UrlList, TraceLinesComeWithASinkForEveryItemAndTheListsStayTheSame) {
  Timeline timeline;
  timeline.Add(1, T, W, CategoryMainNavigation, EventStart, "http://old/")
      .Add(2, T, 0, CategoryDownload, EventStart, "http://old/doc")
      .Add(3, S, 0, CategoryDownload, EventStart, "http://s/")
      .Add(4, T, W, CategoryMainNavigation, EventStart, "http://new/")
      .Add(5, T, 0, CategoryDownload, EventStart, "http://NEW/doc")
      .Add(6, T, 0, CategoryDownload, EventStart, "HTTP://new/doc")
      .Add(7, T, W, CategoryMainNavigation, EventFinish, "http://new/final");
  ASSERT_FALSE(TraceActive());
  const Lists quiet = Generate(timeline, T, 8);
  EXPECT_EQ(quiet.URLs, (Strings{"http://NEW/doc"}));
  EXPECT_EQ(quiet.Bases, (Strings{"http://new/final"}));

  test::TraceRecorder trace;
  ASSERT_TRUE(TraceActive());
  const Lists traced = Generate(timeline, T, 8);
  EXPECT_EQ(traced.URLs, quiet.URLs);
  EXPECT_EQ(traced.Bases, quiet.Bases);
  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "core/traces/list_with_a_sink.trace"));
}

// SIDs out of array order (a timeline file): the recent navigation is still
// the last qualifying item from the end, not found by bisecting the SIDs.
TEST_F(UrlList, SIDsOutOfOrderStillFindTheLastNavigationBeforeTheMark) {
  Timeline timeline;
  timeline.Add(9, S, 0, CategoryDownload, EventStart, "http://s/")
      .Add(1, T, W, CategoryMainNavigation, EventStart, "http://first/")
      .Add(8, T, 0, CategoryDownload, EventStart, "http://first/doc")
      .Add(2, T, W, CategoryMainNavigation, EventStart, "http://second/")
      .Add(20, T, 0, CategoryDownload, EventStart, "http://second/doc")
      .Add(3, T, 0, CategoryDownload, EventStart, "http://second/img");
  EXPECT_FALSE(timeline.Items.SIDsAscending());
  EXPECT_EQ(Generate(timeline, T, 5).URLs, (Strings{"http://second/doc", "http://second/img"}));
  EXPECT_EQ(Generate(timeline, T, 2).URLs, (Strings{"http://first/doc", "http://second/doc", "http://second/img"}));
  EXPECT_TRUE(Generate(timeline, T, 1).URLs.empty());
}

TEST(UrlListTrace, ItemLineMatchesThePrintfLayout) {
  std::string line;
  const struct {
    int32_t SID, TID;
    uintptr_t OID;
  } cases[] = {{0, 0, 0}, {5, -3, 0xABCDEF}, {12345, 2147483647, 0x80000000u}, {-2147483647 - 1, 9999, 1}};
  for (const auto& c : cases) {
    TTarvikTimelineItem item{c.SID, c.TID, c.OID, CategoryFrameNavigation, EventFinish, "v"};
    FormatListItemTrace(line, true, item);
    EXPECT_EQ(line, Format("[1] SID[#%4d/TID[%4d]/OID[%llX]:FrameNavigation.Finish = v", c.SID, c.TID,
                           static_cast<unsigned long long>(c.OID)));
  }
}

// --- The searches and the walk against plain scans, on random timelines ---

// ascending: SIDs in array order, as InformEvent numbers them; otherwise at
// random, as a timeline file may hold them.
Timeline RandomTimeline(std::mt19937& random, int count, bool ascending = true) {
  const char* const hosts[] = {"http://a/", "http://A/", "HTTP://b/", "http://b/"};
  // Letters of code page 1252 (e acute) and, in pairs, full-width letters of
  // double-byte code pages such as 932.
  const char* const paths[] = {"x", "X", "y", "\xE9", "\xC9", "", "z#n", "\x82\x81", "\x82\x60"};
  Timeline timeline;
  int32_t sid = 0;
  for (int i = 0; i < count; ++i) {
    sid = ascending ? sid + 1 + static_cast<int32_t>(random() % 2) : static_cast<int32_t>(random() % (2 * count));
    const int32_t tid = 1 + static_cast<int32_t>(random() % 4);
    const uint8_t category = static_cast<uint8_t>(random() % 10 < 6 ? 3 : random() % 5);
    const uint8_t event = static_cast<uint8_t>(random() % 4 == 0 ? 1 : 0);
    const uintptr_t oid = category == 3 && random() % 8 ? 0 : random() % 3;
    timeline.Add(sid, tid, oid, category, event, std::string(hosts[random() % 4]) + paths[random() % 9]);
  }
  return timeline;
}

#ifdef _WIN32
// Letter case follows the system's code page; the same tests also run under a
// double-byte one, where upper-casing goes by characters, not bytes.
TEST(UrlListCodePage, NamesTheCodePageTheTestsRanUnder) {
  CPINFO info{};
  ASSERT_TRUE(::GetCPInfo(CP_ACP, &info));
  std::printf("ANSI code page %u, up to %u bytes a character\n", ::GetACP(), info.MaxCharSize);
  EXPECT_EQ(AnsiUpperTable() != nullptr, info.MaxCharSize == 1);
  // The random timelines below hold full-width a and A: one letter in two
  // cases there, two unrelated byte pairs in single-byte code pages.
  EXPECT_EQ(AnsiSameText("\x82\x81", "\x82\x60"), ::GetACP() == 932);
}
#endif

TEST(UrlListSearch, SearchesAnswerLikePlainScansWhetherScanningOrIndexed) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    const Timeline timeline = RandomTimeline(random, 60);
    for (bool compareThreads : {true, false}) {
      const test::PlainWalk plain{timeline.Items, compareThreads};
      for (int64_t budget : {int64_t{0}, int64_t{5}, int64_t{-1}}) {
        TTimelineSearch search(timeline.Items, compareThreads, budget);
        for (int32_t from = -1; from <= 61; ++from)
          for (uint8_t category = 0; category < 4; ++category)
            for (uintptr_t oid = 0; oid < 3; ++oid)
              for (int32_t tid = 1; tid <= 4; ++tid)
                ASSERT_EQ(search.FindEvent(category, static_cast<uint8_t>(from & 1), oid, tid, from),
                          plain.FindEvent(category, static_cast<uint8_t>(from & 1), oid, tid, from));
        if (budget == 0) {
          EXPECT_TRUE(search.Indexed());
        }
        for (int32_t tid : {3, 0, 1, 4, 2, 9}) EXPECT_EQ(search.FirstIndexOfThread(tid), plain.FirstIndexOfThread(tid));
        for (int32_t a = 0; a <= 5; ++a)
          for (int32_t b = 0; b <= 5; ++b)
            EXPECT_EQ(search.StartedAfter(a, b), plain.FirstIndexOfThread(a) > plain.FirstIndexOfThread(b));
      }
    }
  }
}

TEST(UrlListSearch, WalkGivesThePlainWalksListsOnRandomTimelines) {
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    const Timeline timeline = RandomTimeline(random, 5 + round, round % 3 != 2);
    const int32_t tid = 1 + static_cast<int32_t>(random() % 4);
    const int32_t mark = static_cast<int32_t>(random() % (3 * (5 + round)));
    for (TPlatformVersion version : {TPlatformVersion{4, 0}, TPlatformVersion{6, 1}}) {
      ScopedPlatformVersion scoped(version);
      const test::PlainLists expected = test::PlainWalk{timeline.Items, version >= Windows2000}.Run(tid, mark);
      Lists actual;
      GenerateList(timeline.Items, tid, mark, &actual.URLs, &actual.Bases);
      ASSERT_EQ(actual.URLs, expected.URLs) << "round " << round;
      ASSERT_EQ(actual.Bases, expected.Bases) << "round " << round;
      // Traced, the walk visits every item and still gives the same lists.
      test::TraceRecorder trace;
      Lists traced;
      GenerateList(timeline.Items, tid, mark, &traced.URLs, &traced.Bases);
      ASSERT_EQ(traced.URLs, expected.URLs) << "round " << round;
      ASSERT_EQ(traced.Bases, expected.Bases) << "round " << round;
      const size_t lines = ItemLines(trace).size();
      ASSERT_TRUE(lines == 0 || lines == static_cast<size_t>(timeline.Items.Count())) << "round " << round;
    }
  }
}

// Many navigations that never finish and never download: the searches go
// to the index instead of scanning to the end for each of them.
TEST(UrlListSearch, UnfinishedNavigationsGiveTheSameListsThroughTheIndex) {
  ScopedPlatformVersion version({5, 1});
  Timeline timeline;
  int32_t sid = 0;
  timeline.Add(++sid, T, W, CategoryMainNavigation, EventStart, "http://start/");
  timeline.Add(++sid, T, 0, CategoryDownload, EventStart, "http://start/");
  for (int i = 0; i < 20000; ++i) {
    timeline.Add(++sid, T, static_cast<uintptr_t>(i + 1), CategoryFrameNavigation, EventStart,
                 "http://f/" + std::to_string(i));
    timeline.Add(++sid, T, 0, CategoryDownload, EventStart, "http://d/" + std::to_string(i));
  }
  timeline.Add(++sid, T, W, CategoryMainNavigation, EventFinish, "http://start/final");
  Lists lists;
  GenerateList(timeline.Items, T, sid + 1, &lists.URLs, &lists.Bases);
  ASSERT_EQ(lists.URLs.size(), 20001u);
  ASSERT_EQ(lists.Bases.size(), 20001u);
  EXPECT_EQ(lists.URLs[0], "http://start/");
  EXPECT_EQ(lists.Bases[0], "http://start/final");
  for (int i : {0, 777, 19999}) {
    EXPECT_EQ(lists.URLs[static_cast<size_t>(i + 1)], "http://d/" + std::to_string(i));
    EXPECT_EQ(lists.Bases[static_cast<size_t>(i + 1)], "");
  }

  TTimelineSearch search(timeline.Items, true);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(search.FindEvent(CategoryFrameNavigation, EventFinish, 5, T, i), -1);
  EXPECT_TRUE(search.Indexed());
}

// Pruning drops only what no capture can select any more. On random
// timelines (windows that navigate, frames, downloads, captures begun at
// random moments) pruned now and then, every capture still possible lists
// what it lists on the whole timeline: a mark not taken yet, or one of the
// newest pending ones, for every thread.
TEST(UrlListPrune, CapturesStillPossibleListWhatTheWholeTimelineGives) {
  const char* const values[] = {"http://a/x", "http://A/x", "http://b/y", "http://b/Y", "http://c/z#f", "http://c/"};
  int64_t whole = 0, kept = 0;
  for (int round = 0; round < 300; ++round) {
    for (TPlatformVersion version : {TPlatformVersion{4, 0}, TPlatformVersion{5, 1}}) {
      ScopedPlatformVersion scoped(version);
      std::mt19937 random(static_cast<uint32_t>(round));
      Timeline all, pruned;
      std::vector<int32_t> marks;  // captures begun
      int32_t sid = 0;
      auto expectSameLists = [&] {
        std::vector<int32_t> possible{sid + 1, sid + 5};
        const size_t pending = std::min(marks.size(), TTarvikTimelineItems::PendingMarks);
        possible.insert(possible.end(), marks.end() - static_cast<ptrdiff_t>(pending), marks.end());
        for (int32_t tid = 1; tid <= 5; ++tid)
          for (const int32_t mark : possible) {
            const Lists expected = Generate(all, tid, mark), actual = Generate(pruned, tid, mark);
            ASSERT_EQ(actual.URLs, expected.URLs) << "round " << round << " thread " << tid << " mark " << mark;
            ASSERT_EQ(actual.Bases, expected.Bases) << "round " << round << " thread " << tid << " mark " << mark;
          }
      };
      const int count = 10 + round / 2;
      for (int i = 0; i < count; ++i) {
        if (random() % 8 == 0) marks.push_back(++sid);
        const int32_t tid = 1 + static_cast<int32_t>(random() % 4);
        const uint32_t kind = random() % 12;
        const uint8_t event = kind % 2 && kind < 4 ? EventFinish : EventStart;
        const uint8_t category = kind < 2   ? CategoryMainNavigation
                                 : kind < 4 ? CategoryFrameNavigation
                                            : CategoryDownload;
        const uintptr_t oid = category == CategoryDownload ? (kind == 11 ? 7 : 0) : 1 + random() % 2;
        const std::string value = values[random() % 6];
        all.Add(++sid, tid, oid, category, event, value);
        pruned.Add(sid, tid, oid, category, event, value);
        if (random() % 6 == 0) {
          pruned.Items.Prune(version >= Windows2000);
          ASSERT_NO_FATAL_FAILURE(expectSameLists());
        }
      }
      pruned.Items.Prune(version >= Windows2000);
      ASSERT_NO_FATAL_FAILURE(expectSameLists());
      whole += all.Items.Count();
      kept += pruned.Items.Count();
      for (int32_t i = 0; i < pruned.Items.Count(); ++i) ASSERT_LT(pruned.Items[i].ValueKey, pruned.Items.KeyCount());
    }
  }
  // Not a vacuous pass: a third of the items went.
  EXPECT_LT(kept, whole * 3 / 4);
}

}  // namespace
}  // namespace tarvik

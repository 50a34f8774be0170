#include "core/TarvikTimeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/AnsiCase.h"
#include "core/PlatformVersion.h"
#include "core/TarvikDataBuffer.h"
#include "core/UrlKey.h"
#include "core/UrlList.h"
#include "support/TraceRecorder.h"

namespace tarvik {
namespace {

TEST(SIDCounter, FirstNumberAfterLoadIsOneAndNumbersAreUniqueAcrossThreads) {
  ResetSIDCounter();
  EXPECT_EQ(NextSID(), 1);
  EXPECT_EQ(NextSID(), 2);

  constexpr int Threads = 8, PerThread = 5000;
  std::vector<std::vector<int32_t>> taken(Threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < PerThread; ++i) taken[t].push_back(NextSID());
    });
  for (auto& w : workers) w.join();
  std::set<int32_t> all;
  for (auto& list : taken) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(Threads * PerThread));
  EXPECT_EQ(*all.begin(), 3);
  EXPECT_EQ(*all.rbegin(), 2 + Threads * PerThread);
}

TEST(TimelineNames, CategoriesThenEvents) {
  EXPECT_STREQ(TimelineNames[0], "WebBrowser");
  EXPECT_STREQ(CategoryName(CategoryMainNavigation), "MainNavigation");
  EXPECT_STREQ(CategoryName(CategoryFrameNavigation), "FrameNavigation");
  EXPECT_STREQ(CategoryName(CategoryDownload), "Download");
  EXPECT_STREQ(EventName(EventStart), "Start");
  EXPECT_STREQ(EventName(EventFinish), "Finish");
  EXPECT_STREQ(TimelineNames[4 + EventFinish], "Finish");
  // Out-of-range codes cannot read past the table.
  EXPECT_STREQ(CategoryName(200), "?");
  EXPECT_STREQ(EventName(2), "?");
}

TEST(Timeline, InformEventAppendsACopyNumberedAndTraced) {
  test::TraceRecorder trace;
  TTarvikTimeline timeline;
  std::string value = "http://a/";
  timeline.InformEvent(7, 0x1234, CategoryMainNavigation, EventStart, value);
  value = "changed";
  const int32_t mark = NextSID();
  timeline.InformEvent(7, 0, CategoryDownload, EventStart, "http://a/img");
  const auto items = timeline.Snapshot();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].TID, 7);
  EXPECT_EQ(items[0].OID, 0x1234u);
  EXPECT_EQ(items[0].Category, CategoryMainNavigation);
  EXPECT_EQ(items[0].Event, EventStart);
  EXPECT_EQ(items[0].Value, "http://a/");
  // The mark taken between two events leaves a gap of one number.
  EXPECT_EQ(mark, items[0].SID + 1);
  EXPECT_EQ(items[1].SID, items[0].SID + 2);
  EXPECT_TRUE(trace.Contains("Runtime.InformEvent(#" + std::to_string(items[0].SID) + "/MainNavigation:Start)", ""));
  EXPECT_TRUE(trace.Contains("Runtime.InformEvent(#" + std::to_string(items[1].SID) + "/Download:Start)", ""));
}

TEST(Timeline, GrowsInStepsAndKeepsEveryItem) {
  TTarvikTimeline timeline;
  for (int i = 0; i < 1000; ++i) timeline.InformEvent(1, 0, CategoryDownload, EventStart, std::to_string(i));
  ASSERT_EQ(timeline.Count(), 1000);
  const auto items = timeline.Snapshot();
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(items[i].Value, std::to_string(i));
}

// A window that reloads one page every second for a day, the server giving
// each reload new addresses, and a session that never captures: the
// timeline keeps a few pages' items, the store a bounded number of
// records, and a capture still lists the last page whole.
TEST(TimelinePrune, AWindowReloadingForADayStaysWithinBounds) {
  for (TPlatformVersion version : {TPlatformVersion{4, 0}, TPlatformVersion{5, 1}}) {
    ScopedPlatformVersion scoped(version);
    TTarvikTimeline timeline;
    TTarvikDataBuffer store;
    store.SetNeeded([&](std::string_view url) { return timeline.Selectable(url); });
    constexpr int32_t T = 7;
    constexpr uintptr_t W = 0x10;
    int32_t mostItems = 0, mostRecords = 0;
    std::vector<std::string> lastPage;
    for (int i = 0; i < 86400; ++i) {
      const std::string page = "http://news/?t=" + std::to_string(i);
      lastPage = {page, page + "&img=1", page + "&img=2", page + "&img=3"};
      timeline.InformEvent(T, W, CategoryMainNavigation, EventStart, page);
      for (const std::string& url : lastPage) {
        timeline.InformEvent(T, 0, CategoryDownload, EventStart, url);
        store.GetURLContent(url)->SetContent("body", 4);
      }
      timeline.InformEvent(T, W, CategoryMainNavigation, EventFinish, page);
      mostItems = std::max(mostItems, timeline.Count());
      mostRecords = std::max(mostRecords, store.Count());
    }
    EXPECT_LE(mostItems, TTarvikTimeline::PruneFrom);
    EXPECT_LE(static_cast<size_t>(mostRecords), TTarvikDataBuffer::IdleRecords + TTarvikDataBuffer::IdleRecords / 4 +
                                                    TTarvikDataBuffer::TrimEvery + TTarvikTimeline::PruneFrom);
    for (const std::string& url : lastPage) {
      EXPECT_TRUE(timeline.Selectable(url)) << url;
      EXPECT_EQ(*store.GetURLContent(url)->Content(), "body");
    }
    EXPECT_FALSE(timeline.Selectable("http://news/?t=0"));
    std::vector<std::string> urls, bases;
    std::lock_guard<std::recursive_mutex> guard(timeline.Mutex());
    GenerateList(timeline.Items(), T, NextSID(), &urls, &bases);
    EXPECT_EQ(urls, lastPage);
  }
}

// --- Keys of values with letter case ignored ---

// Items are read-only once appended, so no key can go stale.
static_assert(std::is_const_v<std::remove_reference_t<decltype(std::declval<TTarvikTimelineItems&>()[0])>>);

// Appends values and checks each key against numbering by UrlKey text:
// equal keys exactly for values that name the same resource, numbered in
// order of first appearance.
void ExpectKeysFollowLetterCase(const std::vector<std::string>& values) {
  TTarvikTimelineItems items;
  std::map<std::string, uint32_t> numbers;
  for (size_t i = 0; i < values.size(); ++i) {
    const uint32_t expected = numbers.try_emplace(UrlKey(values[i]), numbers.size()).first->second;
    const TTarvikTimelineItem& item =
        items.Append(static_cast<int32_t>(i), 1, 0, CategoryDownload, EventStart, values[i]);
    ASSERT_EQ(item.ValueKey, expected) << "value " << i << " of " << values.size();
  }
  EXPECT_EQ(items.KeyCount(), numbers.size());
  for (int32_t i = 0; i < items.Count(); ++i) ASSERT_EQ(items[i].Value, values[static_cast<size_t>(i)]);
}

TEST(TimelineValueKeys, LetterCaseVariantsShareAKeyAndOtherValuesDoNot) {
  const std::string accented = "http://a/caf\xE9";  // e acute in code page 1252
  ExpectKeysFollowLetterCase({"http://a/Page", "HTTP://A/PAGE", "http://a/page", "http://a/page ", "http://a/pag", "",
                              accented, AnsiUpperCase(accented), "http://b/page", "http://a/Page"});
  TTarvikTimelineItems items;
  EXPECT_EQ(items.Append(1, 1, 0, CategoryDownload, EventStart, "http://x/A").ValueKey, 0u);
  EXPECT_EQ(items.Append(2, 1, 0, CategoryDownload, EventStart, "http://y/").ValueKey, 1u);
  EXPECT_EQ(items.Append(3, 1, 0, CategoryDownload, EventStart, "HTTP://X/A").ValueKey, 0u);
  EXPECT_EQ(items.Append(4, 1, 0, CategoryDownload, EventStart, "http://x/a").ValueKey, 2u);
  EXPECT_EQ(items.KeyCount(), 3u);
}

TEST(TimelineValueKeys, EveryByteValueInEveryPlaceOfAWord) {
  // Each byte value alone, and at each of the eight places of a word in the
  // host (folded) and in the path (exact), in an address as it is and
  // upper-cased; zero bytes included.
  std::vector<std::string> values;
  for (int b = 0; b < 256; ++b) {
    values.push_back(std::string(1, static_cast<char>(b)));
    for (size_t place = 0; place < 8; ++place) {
      for (const size_t at : {size_t{8}, size_t{24}}) {
        std::string value = "http://abcdefghijklmn/pqrstuvwxyzabcdef";
        value[at + place] = static_cast<char>(b);
        values.push_back(value);
        values.push_back(AnsiUpperCase(value));
      }
    }
  }
  ExpectKeysFollowLetterCase(values);
}

TEST(TimelineValueKeys, RandomValuesWithManyCollisionsAndTableGrowth) {
  // Few letters in both cases, accented ones, double-byte pairs and the
  // delimiters of an address: many values name one resource in scheme and
  // host letter case; over 512 keys grow the table.
  const char* const pieces[] = {"a", "A", "b", "B", "\xE9", "\xC9", "\x82\x60", "/", "-", "://", "@", "#", "?", "H:"};
  std::mt19937 random(5);
  std::vector<std::string> values;
  for (int i = 0; i < 6000; ++i) {
    std::string value;
    for (unsigned n = random() % 12; n; --n) value += pieces[random() % 14];
    values.push_back(value);
  }
  ExpectKeysFollowLetterCase(values);
}

TEST(TimelineValueKeys, EveryWayOfAppendingGivesKeys) {
  TTarvikTimeline timeline;
  timeline.InformEvent(1, 0xA, CategoryMainNavigation, EventStart, "http://a/");
  timeline.InformEvent(1, 0, CategoryDownload, EventStart, "HTTP://A/");
  timeline.InformEvent(2, 0, CategoryDownload, EventStart, "http://b/");
  {
    std::lock_guard<std::recursive_mutex> guard(timeline.Mutex());
    const TTarvikTimelineItems& items = timeline.Items();
    EXPECT_EQ(items[0].ValueKey, 0u);
    EXPECT_EQ(items[1].ValueKey, 0u);
    EXPECT_EQ(items[2].ValueKey, 1u);
    EXPECT_EQ(items.KeyCount(), 2u);
    EXPECT_TRUE(items.SIDsAscending());
  }
  // Copies keep the keys.
  const auto snapshot = timeline.Snapshot();
  EXPECT_EQ(snapshot[1].ValueKey, 0u);
  EXPECT_EQ(snapshot[2].ValueKey, 1u);

  // Clearing starts the numbering again.
  timeline.Clear();
  timeline.InformEvent(1, 0, CategoryDownload, EventStart, "http://b/");
  timeline.InformEvent(1, 0, CategoryDownload, EventStart, "http://a/");
  std::lock_guard<std::recursive_mutex> guard(timeline.Mutex());
  EXPECT_EQ(timeline.Items()[0].ValueKey, 0u);
  EXPECT_EQ(timeline.Items()[1].ValueKey, 1u);
  EXPECT_EQ(timeline.Items().KeyCount(), 2u);
}

// Runs append(thread, i) for i below perThread on each of threads threads.
template <typename Append>
void AppendOnThreads(int threads, int perThread, Append append) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) append(t, i);
    });
  for (auto& w : workers) w.join();
}

TEST(TimelineValueKeys, ConcurrentAppendsGiveEqualValuesEqualKeys) {
  TTarvikTimeline timeline;
  timeline.InformEvent(-1, 1, CategoryMainNavigation, EventStart, "http://h/0");  // keeps all below
  AppendOnThreads(4, 3000, [&](int t, int i) {
    const std::string value = "http://h/" + std::to_string(i % 700);
    timeline.InformEvent(t, 0, CategoryDownload, EventStart, t % 2 ? AnsiUpperCase(value) : value);
  });
  std::map<std::string, uint32_t> keyOf;
  std::set<uint32_t> keys;
  for (const auto& item : timeline.Snapshot()) {
    EXPECT_EQ(keyOf.try_emplace(UrlKey(item.Value), item.ValueKey).first->second, item.ValueKey);
    keys.insert(item.ValueKey);
  }
  EXPECT_EQ(keyOf.size(), 700u);
  EXPECT_EQ(keys.size(), 700u);
}

// Events appended from many threads: array order must equal SID order, and
// every event must be there once.
TEST(TimelineConcurrency, SIDOrderEqualsArrayOrderUnderConcurrentAppends) {
  TTarvikTimeline timeline;
  // A window's page that every later thread's events belong to: pruning keeps them all.
  timeline.InformEvent(-1, 1, CategoryMainNavigation, EventStart, "-1:page");
  constexpr int Threads = 8, PerThread = 2000;
  AppendOnThreads(Threads, PerThread, [&](int t, int i) {
    timeline.InformEvent(t, static_cast<uintptr_t>(i), CategoryDownload, EventStart,
                         std::to_string(t) + ":" + std::to_string(i));
    if (i % 100 == 0) NextSID();  // marks taken meanwhile do not append
  });
  const auto items = timeline.Snapshot();
  ASSERT_EQ(items.size(), static_cast<size_t>(Threads * PerThread) + 1);
  for (size_t i = 1; i < items.size(); ++i) ASSERT_LT(items[i - 1].SID, items[i].SID) << "at " << i;
  std::set<std::string> values;
  for (const auto& item : items) {
    values.insert(item.Value);
    EXPECT_EQ(item.Value.substr(0, item.Value.find(':')), std::to_string(item.TID));
  }
  EXPECT_EQ(values.size(), items.size());
}

// A capture's mark keeps the page it began on only while the capture may
// still make its list: not once it has, whether or not an item came between,
// and not for ever when it never does (cancelled, its window closed).
TEST(TimelinePrune, MarksOfCapturesDoneOrLongAbandonedKeepNothing) {
  auto page = [](TTarvikTimeline& timeline, int p) {
    const std::string url = "http://p/" + std::to_string(p);
    timeline.InformEvent(5, 0x10, CategoryMainNavigation, EventStart, url);
    timeline.InformEvent(5, 0, CategoryDownload, EventStart, url);
    timeline.InformEvent(5, 0x10, CategoryMainNavigation, EventFinish, url);
  };
  for (const bool usedAtOnce : {true, false}) {
    TTarvikTimeline timeline;
    page(timeline, 0);
    const int32_t mark = NextSID();
    if (usedAtOnce) timeline.MarkUsed(mark);
    page(timeline, 1);
    timeline.Prune();
    EXPECT_EQ(timeline.Selectable("http://p/0"), !usedAtOnce);
    if (!usedAtOnce) timeline.MarkUsed(mark);
    page(timeline, 2);
    timeline.Prune();
    EXPECT_FALSE(timeline.Selectable("http://p/0")) << usedAtOnce;
    EXPECT_TRUE(timeline.Selectable("http://p/2"));
  }
  TTarvikTimeline timeline;
  page(timeline, 0);
  NextSID();
  int p = 1;
  for (; p <= TTarvikTimelineItems::MarkLifetime / 3 - 1; ++p) page(timeline, p);
  timeline.Prune();
  EXPECT_TRUE(timeline.Selectable("http://p/0"));
  for (int more = 0; more < 2; ++more) page(timeline, p++);
  timeline.Prune();
  EXPECT_FALSE(timeline.Selectable("http://p/0"));
  EXPECT_LT(timeline.Count(), 10);
}

// Letting go at the quota prunes first: a page left behind is no longer
// selectable even while the timeline is far below its pruning count, the
// page in view still is.
TEST(TimelinePrune, PruningOnDemandLeavesOnlyWhatACaptureCanList) {
  TTarvikTimeline timeline;
  for (const char* page : {"http://a/", "http://b/"}) {
    timeline.InformEvent(3, 0x10, CategoryMainNavigation, EventStart, page);
    timeline.InformEvent(3, 0, CategoryDownload, EventStart, page);
    timeline.InformEvent(3, 0, CategoryDownload, EventStart, std::string(page) + "big.bin");
    timeline.InformEvent(3, 0x10, CategoryMainNavigation, EventFinish, page);
  }
  EXPECT_TRUE(timeline.Selectable("http://a/big.bin"));  // not pruned yet: 8 items
  timeline.Prune();
  EXPECT_EQ(timeline.Count(), 4);
  EXPECT_FALSE(timeline.Selectable("http://a/big.bin"));
  EXPECT_TRUE(timeline.Selectable("http://b/big.bin"));
}

}  // namespace
}  // namespace tarvik

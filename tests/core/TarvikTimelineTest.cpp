#include "core/TarvikTimeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

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

// Events appended from many threads: array order must equal SID order, and
// every event must be there once.
TEST(TimelineConcurrency, SIDOrderEqualsArrayOrderUnderConcurrentAppends) {
  TTarvikTimeline timeline;
  constexpr int Threads = 8, PerThread = 2000;
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < PerThread; ++i) {
        timeline.InformEvent(t, static_cast<uintptr_t>(i), CategoryDownload, EventStart,
                             std::to_string(t) + ":" + std::to_string(i));
        if (i % 100 == 0) NextSID();  // marks taken meanwhile do not append
      }
    });
  for (auto& w : workers) w.join();
  const auto items = timeline.Snapshot();
  ASSERT_EQ(items.size(), static_cast<size_t>(Threads * PerThread));
  for (size_t i = 1; i < items.size(); ++i) ASSERT_LT(items[i - 1].SID, items[i].SID) << "at " << i;
  std::set<std::string> values;
  for (const auto& item : items) {
    values.insert(item.Value);
    EXPECT_EQ(item.Value.substr(0, item.Value.find(':')), std::to_string(item.TID));
  }
  EXPECT_EQ(values.size(), items.size());
}

}  // namespace
}  // namespace tarvik

#include "core/TarvikDataBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarvik {
namespace {

TEST(TarvikDataBuffer, SchemeAndHostIgnoreLetterCaseThePathDoesNot) {
  TTarvikDataBuffer store;
  TURLContent& first = *store.GetURLContent("http://Example.com/Page.HTML?Q=A");
  first.SetContent("upper", 5);
  TURLContent& second = *store.GetURLContent("HTTP://EXAMPLE.COM/Page.HTML?Q=A");
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(second.URL(), "http://Example.com/Page.HTML?Q=A");
  // Paths and queries are case-sensitive on the web: another file, its own bytes.
  for (const char* other : {"http://example.com/page.html?Q=A", "http://example.com/Page.HTML?q=a",
                            "http://Example.com/Page.HTML?Q=A#Part", "http://User@example.com/Page.HTML?Q=A"}) {
    EXPECT_EQ(store.IndexOf(other), -1) << other;
    EXPECT_NE(store.GetURLContent(other).get(), &first) << other;
  }
  EXPECT_EQ(*first.Content(), "upper");
  EXPECT_EQ(store.Count(), 5);
  EXPECT_EQ(store.IndexOf("http://user@EXAMPLE.com/Page.HTML?Q=A"), -1);
  EXPECT_EQ(store.IndexOf("http://User@EXAMPLE.com/Page.HTML?Q=A"), 4);
  EXPECT_EQ(store.IndexOf("http://Example.com/Page.HTML?Q=A#part"), -1);
}

TEST(TarvikDataBuffer, UnknownUrlGetsAnEmptyRecordAndPositionsFollowCreationOrder) {
  TTarvikDataBuffer store;
  EXPECT_FALSE(store.Exists("http://a/"));
  EXPECT_EQ(store.IndexOf("http://a/"), -1);
  TURLContent& record = *store.GetURLContent("http://a/");
  EXPECT_EQ(record.URL(), "http://a/");
  EXPECT_EQ(record.ContentType(), "");
  EXPECT_EQ(record.LocalFilename(), "");
  ASSERT_NE(record.Content(), nullptr);
  EXPECT_EQ(*record.Content(), "");
  EXPECT_EQ(record.ReadLength(), 0);
  store.Add("http://b/");
  store.Add("http://a/");  // exists: nothing
  store.Add("http://c/");
  EXPECT_EQ(store.Count(), 3);
  EXPECT_EQ(store.IndexOf("http://c/"), 2);
  EXPECT_EQ(store.Items(1)->URL(), "http://b/");
}

TEST(TarvikDataBuffer, RecordsHandedOutEarlierStayValidAsTheStoreGrows) {
  TTarvikDataBuffer store;
  std::vector<TURLContent*> records;
  for (int i = 0; i < 1000; ++i) {
    TURLContent& r = *store.GetURLContent("http://host/" + std::to_string(i));
    r.SetContent("body " + std::to_string(i), i);
    r.SetContentType("type/" + std::to_string(i));
    records.push_back(&r);
    if (i == 33) {
      // 33 adds crossed the first growth step; the first record is intact.
      EXPECT_EQ(*records[0]->Content(), "body 0");
    }
  }
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(records[i], store.GetURLContent("http://host/" + std::to_string(i)).get());
    EXPECT_EQ(*records[i]->Content(), "body " + std::to_string(i));
    EXPECT_EQ(records[i]->ReadLength(), i);
    EXPECT_EQ(records[i]->ContentType(), "type/" + std::to_string(i));
  }
  EXPECT_EQ(store.Count(), 1000);
}

TEST(TarvikDataBuffer, AnyBytesAreKeysAndContent) {
  TTarvikDataBuffer store;
  const std::string empty;
  const std::string withZeros("http://h/\0a\0b", 13);
  const std::string otherZeros("http://h/\0a\0c", 13);
  const std::string huge = "http://" + std::string(64 * 1024, 'u');
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes.push_back(static_cast<char>(b));

  store.GetURLContent(empty)->SetContent(std::string("\0\0\x01", 3), 3);
  store.GetURLContent(withZeros)->SetContent(allBytes, 256);
  store.GetURLContent(otherZeros);
  store.GetURLContent(huge)->SetLocalFilename("C:\\cache\\x");
  store.GetURLContent(allBytes);

  EXPECT_EQ(store.Count(), 5);
  EXPECT_EQ(*store.GetURLContent("")->Content(), std::string("\0\0\x01", 3));
  EXPECT_EQ(*store.GetURLContent(withZeros)->Content(), allBytes);
  EXPECT_EQ(store.GetURLContent(withZeros)->URL().size(), 13u);
  EXPECT_NE(store.IndexOf(withZeros), store.IndexOf(otherZeros));
  EXPECT_EQ(store.GetURLContent("HTTP://" + std::string(64 * 1024, 'U'))->LocalFilename(), "C:\\cache\\x");
  EXPECT_EQ(store.IndexOf(allBytes), 4);
  EXPECT_EQ(store.Count(), 5);
}

TEST(TarvikDataBuffer, ContentAndReadLengthAreReplacedTogether) {
  TTarvikDataBuffer store;
  TURLContent& r = *store.GetURLContent("http://x/");
  r.SetContent("first", 5);
  const TURLContent::Bytes held = r.Content();
  r.SetContent("second!", 7);
  EXPECT_EQ(*held, "first");  // a reader's copy is not disturbed
  const TURLContent::Snapshot s = r.Read();
  EXPECT_EQ(*s.Content, "second!");
  EXPECT_EQ(s.ReadLength, 7);
  EXPECT_EQ(s.URL, "http://x/");
}

// At the quota the store lets go of spilled bytes nobody needs: those a cache
// file still holds first, then the least recently asked for; never those of
// a page in view, bytes in memory, or bytes that a later read replaced. A
// record let go is forgotten, unless someone asked for it meanwhile (it may
// be written again); a reader keeps what it took.
TEST(TarvikDataBuffer, LettingGoSparesPagesInViewAndForgetsCachedThenOldestFirst) {
  TTarvikDataBuffer store;
  const auto area = std::make_shared<TSpillArea>(TSpillArea::TOptions{0, {}});
  auto spill = [&](const std::string& url, const std::string& cache) {
    std::string bytes(1000, url.back());
    TSpillExtent where;
    EXPECT_TRUE(area->Write(bytes.data(), bytes.size(), where));
    TURLContent& r = *store.GetURLContent(url);
    r.SetContentType("image/png");
    r.SetLocalFilename(cache);
    r.SetContent(std::make_shared<const TCapturedBytes>(area, std::vector<TSpillExtent>{where}), 1000);
  };
  for (const char* name : {"old", "view", "cached", "recent", "asked"})
    spill(std::string("http://h/") + name, std::string(name) == "cached" ? "C:\\cache\\c.png" : "");
  store.GetURLContent("http://h/memory")->SetContent(std::string(1000, 'm'), 1000);
  const TURLContent::Snapshot taken = store.GetURLContent("http://h/old")->Read();
  store.GetURLContent("http://h/recent");  // asked for last
  // Asked for while the pass looks at the pages in view, outside the lock.
  TTarvikDataBuffer::Record asked;
  const auto needed = [&](std::string_view url) {
    if (url == "http://h/view" && !asked) asked = store.GetURLContent("http://h/asked");
    return url == "http://h/view";
  };
  const auto cacheHolds = [](const TURLContent::Snapshot& r) { return !r.LocalFilename.empty(); };
  struct TStep {
    uint64_t Wanted;
    std::vector<std::string> Held;  // records the store still holds after it; * marks those with bytes
  };
  for (const TStep& step : {TStep{1, {"*old", "*view", "*recent", "*asked", "*memory"}},
                            TStep{1, {"*view", "*recent", "*asked", "*memory"}},
                            TStep{5000, {"*view", "asked", "*memory"}}, TStep{5000, {"*view", "asked", "*memory"}}}) {
    asked = nullptr;
    store.LetGo(step.Wanted, needed, cacheHolds);
    std::vector<std::string> held;
    for (int i = 0; i < store.Count(); ++i)
      held.push_back((store.Items(i)->Content()->empty() ? "" : "*") + store.Items(i)->URL().substr(9));
    EXPECT_EQ(held, step.Held) << step.Wanted;
    EXPECT_EQ(store.IndexOf("http://h/memory"), store.Count() - 1);
  }
  EXPECT_FALSE(store.Exists("http://h/cached"));
  EXPECT_EQ(store.GetURLContent("http://h/old")->ContentType(), "");  // a first request again
  EXPECT_TRUE(*taken.Content == std::string(1000, 'd'));
  // Bytes that replaced the ones taken for letting go stay.
  TURLContent& view = *store.GetURLContent("http://h/view");
  const TURLContent::Bytes before = view.Content();
  view.SetContent(std::string(10, 'n'), 10);
  EXPECT_FALSE(view.LetGoOf(before));
  EXPECT_EQ(view.Content()->Text(), std::string(10, 'n'));
}

// Spilled records of 1000 bytes each, asked for in the order named.
struct SpilledStore {
  TTarvikDataBuffer Store;
  std::shared_ptr<TSpillArea> Area = std::make_shared<TSpillArea>(TSpillArea::TOptions{0, {}});
  explicit SpilledStore(std::initializer_list<const char*> names) {
    for (const char* name : names) Spill(std::string("http://h/") + name, 1000);
  }
  void Spill(const std::string& url, size_t size) {
    std::string bytes(size, url.back());
    TSpillExtent where;
    ASSERT_TRUE(Area->Write(bytes.data(), bytes.size(), where));
    Store.GetURLContent(url)->SetContent(std::make_shared<const TCapturedBytes>(Area, std::vector<TSpillExtent>{where}),
                                         static_cast<int32_t>(size));
  }
  std::vector<std::string> Held() const {
    std::vector<std::string> held;
    for (int i = 0; i < Store.Count(); ++i) held.push_back(Store.Items(i)->URL().substr(9));
    return held;
  }
};

// Letting go stops as soon as what went reaches what was wanted, not one
// record later.
TEST(TarvikDataBuffer, LettingGoTakesJustEnoughOldestFirst) {
  const struct {
    uint64_t Wanted, Gone;
    std::vector<std::string> Held;
  } cases[] = {
      {0, 0, {"a", "b", "c", "d"}},  {1, 1000, {"b", "c", "d"}}, {999, 1000, {"b", "c", "d"}},
      {1000, 1000, {"b", "c", "d"}}, {1001, 2000, {"c", "d"}},   {2000, 2000, {"c", "d"}},
      {3000, 3000, {"d"}},           {4000, 4000, {}},           {UINT64_MAX, 4000, {}},
  };
  for (const auto& c : cases) {
    SpilledStore spilled{"a", "b", "c", "d"};
    EXPECT_EQ(spilled.Store.LetGo(c.Wanted, nullptr, nullptr), c.Gone) << c.Wanted;
    EXPECT_EQ(spilled.Held(), c.Held) << c.Wanted;
  }
}

// Asking whether a cache file holds a record is a call into the system on
// the browser's read thread: the files are asked oldest first, only until
// enough is let go, and the order stays cached first, then oldest.
TEST(TarvikDataBuffer, LettingGoAsksTheCacheFilesOnlyUntilEnoughIsLetGo) {
  const struct {
    const char* Cached;  // the records a cache file holds
    uint64_t Wanted;
    size_t Asked;
    std::vector<std::string> Held;
  } cases[] = {
      {"abcdefgh", 2000, 2, {"c", "d", "e", "f", "g", "h"}},
      {"abcdefgh", 1, 1, {"b", "c", "d", "e", "f", "g", "h"}},
      {"g", 1000, 7, {"a", "b", "c", "d", "e", "f", "h"}},
      {"ceg", 2000, 5, {"a", "b", "d", "f", "g", "h"}},
      {"", 3000, 8, {"d", "e", "f", "g", "h"}},
      {"abcdefgh", UINT64_MAX, 8, {}},
  };
  for (const auto& c : cases) {
    SpilledStore spilled{"a", "b", "c", "d", "e", "f", "g", "h"};
    size_t asked = 0;
    const std::string cached = c.Cached;
    const auto cacheHolds = [&](const TURLContent::Snapshot& r) {
      ++asked;
      return cached.find(r.URL.back()) != std::string::npos;
    };
    spilled.Store.LetGo(c.Wanted, nullptr, cacheHolds);
    EXPECT_EQ(asked, c.Asked) << c.Cached << " " << c.Wanted;
    EXPECT_EQ(spilled.Held(), c.Held) << c.Cached << " " << c.Wanted;
  }
}

// The end of a download takes the record, then sets its bytes; a letting go
// between the two must not forget the record, or the bytes land where no
// save finds them.
TEST(TarvikDataBuffer, BytesSetOnARecordTakenBeforeALettingGoStayFindable) {
  SpilledStore spilled{"page", "other"};
  const TTarvikDataBuffer::Record taken = spilled.Store.GetURLContent("http://h/page");
  spilled.Store.GetURLContent("http://h/other");  // the page is not the most recent one
  EXPECT_EQ(spilled.Store.LetGo(UINT64_MAX, nullptr, nullptr), 2000u);
  taken->SetContent(std::string(70000, 'p'), 70000);
  ASSERT_TRUE(spilled.Store.Exists("http://h/page"));
  EXPECT_EQ(spilled.Store.GetURLContent("http://h/page")->Content()->size(), 70000u);
  EXPECT_FALSE(spilled.Store.Exists("http://h/other"));
}

// Records no capture needs are forgotten beyond a count and a memory bound,
// least recently asked for first; needed ones and held ones stay whatever
// their number. The inputs: a page of 100,000 tiny resources, a server that
// answers every request at a new address, and bodies of pages left behind.
TEST(TarvikDataBuffer, RecordsNoCaptureNeedsStayWithinBounds) {
  // Between passes a quarter of what is held may come in.
  constexpr size_t Bound = (100001 + TTarvikDataBuffer::IdleRecords) * 5 / 4 + TTarvikDataBuffer::TrimEvery;
  TTarvikDataBuffer store;
  store.SetNeeded([](std::string_view url) { return url.substr(0, 12) == "http://view/"; });
  const TTarvikDataBuffer::Record held = store.GetURLContent("http://gone/held");
  for (int i = 0; i < 100000; ++i) store.GetURLContent("http://view/" + std::to_string(i))->SetContent("x", 1);
  for (int i = 0; i < 100000; ++i) {
    store.GetURLContent("http://gone/" + std::to_string(i));
    ASSERT_LE(static_cast<size_t>(store.Count()), Bound) << i;
  }
  EXPECT_TRUE(store.Exists("http://gone/held"));
  EXPECT_TRUE(store.Exists("http://gone/99999"));
  EXPECT_FALSE(store.Exists("http://gone/0"));
  for (int i : {0, 50000, 99999}) EXPECT_EQ(*store.GetURLContent("http://view/" + std::to_string(i))->Content(), "x");

  // Bodies in memory of pages left: the most recent that fit in IdleMemory stay.
  TTarvikDataBuffer bodies;
  bodies.SetNeeded([](std::string_view url) { return url == "http://view/big"; });
  bodies.GetURLContent("http://view/big")->SetContent(std::string(TTarvikDataBuffer::IdleMemory, 'v'), 1);
  constexpr size_t MiB = size_t{1} << 20;
  for (int i = 0; i < 40; ++i)
    bodies.GetURLContent("http://gone/" + std::to_string(i))->SetContent(std::string(MiB, 'g'), 1);
  for (size_t i = 0; i < TTarvikDataBuffer::TrimEvery; ++i) bodies.GetURLContent("http://new/" + std::to_string(i));
  uint64_t idle = 0;
  for (int i = 0; i < bodies.Count(); ++i)
    if (bodies.Items(i)->URL() != "http://view/big") idle += bodies.Items(i)->Content()->size();
  EXPECT_EQ(idle, TTarvikDataBuffer::IdleMemory);
  EXPECT_TRUE(bodies.Exists("http://gone/39"));
  EXPECT_FALSE(bodies.Exists("http://gone/27"));
  EXPECT_EQ(bodies.GetURLContent("http://view/big")->Content()->size(), TTarvikDataBuffer::IdleMemory);
}

// Eight threads look up overlapping URLs (hosts in mixed letter case), write fields
// and read them back at once. Every value read must be one that some thread
// wrote whole, and no record may be lost or doubled. Every other value is
// written to a temporary file of no memory budget and read back from it.
TEST(TarvikDataBufferConcurrency, OverlappingLookupsAndWritesNeverTearOrLose) {
  TTarvikDataBuffer store;
  const auto area = std::make_shared<TSpillArea>(TSpillArea::TOptions{0, {}});
  constexpr int Threads = 8;
  constexpr int Urls = 200;
  constexpr int Rounds = 40;
  std::atomic<int> torn{0};
  auto valueOf = [](int thread, int round) {
    return std::string(100 + thread, static_cast<char>('a' + thread)) + std::to_string(round);
  };
  auto isWhole = [&](const std::string& v) {
    if (v.empty()) return true;
    const int thread = v[0] - 'a';
    if (thread < 0 || thread >= Threads || v.size() < static_cast<size_t>(100 + thread)) return false;
    return v.find_first_not_of(v[0]) == static_cast<size_t>(100 + thread);
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < Rounds; ++round) {
        for (int u = 0; u < Urls; ++u) {
          std::string url = "http://host/" + std::to_string(u);
          if ((t + u) % 2) url = "HTTP://HoST/" + std::to_string(u);
          TURLContent& r = *store.GetURLContent(url);
          const std::string value = valueOf(t, round);
          if ((u + round) % 3 == t % 3) {
            r.SetContentType(value);
            std::string copy = value;
            TSpillExtent where;
            if (round % 2 && area->Write(copy.data(), copy.size(), where))
              r.SetContent(std::make_shared<const TCapturedBytes>(area, std::vector<TSpillExtent>{where}),
                           static_cast<int32_t>(value.size()));
            else
              r.SetContent(value, static_cast<int32_t>(value.size()));
          }
          const TURLContent::Snapshot s = r.Read();
          if (!isWhole(s.ContentType) || !isWhole(s.Content->Text()) ||
              s.ReadLength != static_cast<int32_t>(s.Content->size()))
            ++torn;
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(store.Count(), Urls);
  std::set<std::string> keys;
  for (int i = 0; i < store.Count(); ++i) keys.insert(store.Items(i)->URL().substr(12));
  EXPECT_EQ(keys.size(), static_cast<size_t>(Urls));
  EXPECT_GT(area->Written(), 0u);
}

// Threads each take a record, then many of new addresses, past the bound on
// idle records, while the passes that enforce it forget the old ones; the
// record each holds all along is not forgotten, so its late write stays
// where the next request finds it.
TEST(TarvikDataBufferConcurrency, HeldRecordsSurviveTheBoundsWhileOthersGo) {
  TTarvikDataBuffer store;
  constexpr int Threads = 4, PerThread = 2 * TTarvikDataBuffer::IdleRecords / Threads + 500;
  std::atomic<int> lost{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t)
    workers.emplace_back([&, t] {
      const std::string mine = "http://held/" + std::to_string(t);
      const TTarvikDataBuffer::Record held = store.GetURLContent(mine);
      for (int i = 0; i < PerThread; ++i)
        store.GetURLContent("http://h/" + std::to_string(t) + "/" + std::to_string(i))->SetContent("x", 1);
      held->SetContent(mine, static_cast<int32_t>(mine.size()));
      if (store.GetURLContent(mine) != held || held->Content()->Text() != mine) ++lost;
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_LT(static_cast<size_t>(store.Count()), Threads * PerThread);
}

}  // namespace
}  // namespace tarvik

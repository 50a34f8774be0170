// GenerateList over a long browsing session (1,000,000 timeline items, 100,000
// distinct URLs, letter case ignored) against plain passes over the same
// timeline, in the same run; the trace has no sink here, as by default, so the
// walk builds no trace lines. Also the cost of InformEvent per event, which
// gives each value its key for letter case ignored.
#include <benchmark/benchmark.h>

#include <cctype>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/AnsiCase.h"
#include "core/PlatformVersion.h"
#include "core/TarvikDataBuffer.h"
#include "core/TarvikTimeline.h"
#include "core/UrlKey.h"
#include "core/UrlList.h"
#include "framework/Trace.h"

namespace {

using namespace tarvik;

constexpr int32_t ItemCount = 1000000;
constexpr size_t DistinctURLs = 100000;
constexpr int32_t Asking = 1001, Earlier = 1000, Later = 1002;

struct Session {
  TTarvikTimelineItems Items;
  int32_t FirstNavigationSID = 0;  // the asking window's first main navigation
  int32_t LastNavigationSID = 0;   // ... and its last one
};

std::string URL(size_t index) {
  return "http://www.site" + std::to_string(index % 500) + ".example.com/assets/dir" + std::to_string(index % 37) +
         "/resource-" + std::to_string(index) + ".png?v=" + std::to_string(index * 7919);
}

// Three browser windows loading pages one after another: the asking window
// (about 60% of the items), one that showed up before it and one after it.
// Each page: the navigation start, its document, its resources, sometimes a
// frame with its own document, resources and finish, and the finish (a few
// navigations are cancelled and never finish). New URLs keep coming in over
// the whole session; the rest are URLs seen before, one in ten in other
// letter case.
const Session& TheSession() {
  static const Session session = [] {
    Session s;
    std::mt19937 random(2024);
    std::vector<size_t> fresh(DistinctURLs);
    for (size_t i = 0; i < DistinctURLs; ++i) fresh[i] = i;
    std::shuffle(fresh.begin(), fresh.end(), random);
    size_t introduced = 0, downloads = 0;
    auto nextURL = [&]() {
      ++downloads;
      if (introduced < DistinctURLs && (downloads % 8 == 0 || introduced == 0)) return URL(fresh[introduced++]);
      std::string url = URL(fresh[random() % introduced]);
      // A host spelt in capitals now and then: the same resource.
      if (random() % 10 == 0) {
        for (size_t i = 0, slashes = 0; i < url.size() && slashes < 3; ++i) {
          if (url[i] == '/')
            ++slashes;
          else
            url[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(url[i])));
        }
      }
      return url;
    };
    int32_t sid = 0;
    uintptr_t nextFrame = 0x100000;
    auto add = [&](int32_t tid, uintptr_t oid, uint8_t category, uint8_t event, const std::string& value) {
      s.Items.Append(++sid, tid, oid, category, event, value);
    };
    bool laterStarted = false;
    while (s.Items.Count() < ItemCount - 64) {
      int32_t tid = Asking;
      const unsigned pick = random() % 100;
      if (s.Items.Count() == 0 || pick < 25)
        tid = Earlier;
      else if (pick < 40 && (laterStarted || s.Items.Count() > ItemCount / 10)) {
        tid = Later;
        laterStarted = true;
      }
      const uintptr_t window = 0x7000 + static_cast<uintptr_t>(tid);
      const std::string document = nextURL();
      if (tid == Asking) {
        if (!s.FirstNavigationSID) s.FirstNavigationSID = sid + 1;
        s.LastNavigationSID = sid + 1;
      }
      add(tid, window, CategoryMainNavigation, EventStart, document);
      add(tid, 0, CategoryDownload, EventStart, document);
      for (unsigned r = 5 + random() % 16; r; --r) add(tid, 0, CategoryDownload, EventStart, nextURL());
      if (random() % 10 < 3) {
        const uintptr_t frame = nextFrame++;
        const std::string frameDocument = nextURL();
        add(tid, frame, CategoryFrameNavigation, EventStart, frameDocument);
        add(tid, 0, CategoryDownload, EventStart, frameDocument);
        for (int r = 0; r < 3; ++r) add(tid, 0, CategoryDownload, EventStart, nextURL());
        add(tid, frame, CategoryFrameNavigation, EventFinish, frameDocument);
      }
      if (random() % 20 != 0) add(tid, window, CategoryMainNavigation, EventFinish, document);
    }
    while (s.Items.Count() < ItemCount) add(Later, 0, CategoryDownload, EventStart, nextURL());
    return s;
  }();
  return session;
}

// The baseline: one plain pass reading SID, TID, Category and Event of every
// item (what the walk's tests read, besides the value's key).
void BM_PlainPass(benchmark::State& state) {
  const TTarvikTimelineItems& items = TheSession().Items;
  for (auto _ : state) {
    uint64_t sum = 0;
    for (int32_t i = 0; i < items.Count(); ++i) {
      const TTarvikTimelineItem& item = items[i];
      sum += static_cast<uint64_t>(item.SID) + static_cast<uint64_t>(item.TID) + item.Category + item.Event;
    }
    benchmark::DoNotOptimize(sum);
  }
}

// The same, also reading every byte of every URL.
void BM_PlainPassReadingURLs(benchmark::State& state) {
  const TTarvikTimelineItems& items = TheSession().Items;
  for (auto _ : state) {
    uint64_t sum = 0;
    for (int32_t i = 0; i < items.Count(); ++i) {
      const TTarvikTimelineItem& item = items[i];
      sum += static_cast<uint64_t>(item.SID) + static_cast<uint64_t>(item.TID) + item.OID + item.Category + item.Event;
      for (char c : item.Value) sum += static_cast<unsigned char>(c);
    }
    benchmark::DoNotOptimize(sum);
  }
}

// What any walk must do for the whole-session mark besides passing over the
// timeline: copy each listed URL out of its timeline item into a new list
// (the same items the walk copies from, cold in cache as the walk finds them).
void BM_CopyListedURLs(benchmark::State& state) {
  const TTarvikTimelineItems& items = TheSession().Items;
  static const std::vector<int32_t> sources = [&] {
    ScopedPlatformVersion version({5, 1});
    std::vector<std::string> urls, bases;
    GenerateList(items, Asking, TheSession().FirstNavigationSID + 1, &urls, &bases);
    std::unordered_map<std::string, int32_t> first;
    for (int32_t i = items.Count() - 1; i >= 0; --i) first[items[i].Value] = i;
    std::vector<int32_t> positions;
    for (const std::string& url : urls) positions.push_back(first.at(url));
    return positions;
  }();
  for (auto _ : state) {
    std::vector<std::string> urls;
    for (int32_t position : sources) urls.push_back(items[position].Value);
    benchmark::DoNotOptimize(urls.data());
    state.PauseTiming();
    urls = {};
    state.ResumeTiming();
  }
  state.counters["listed"] = static_cast<double>(sources.size());
}

// Building and passing on the trace line of every item, nothing else.
void BM_TraceLinesOnly(benchmark::State& state) {
  const TTarvikTimelineItems& items = TheSession().Items;
  std::string line;
  for (auto _ : state) {
    for (int32_t i = 0; i < items.Count(); ++i) {
      FormatListItemTrace(line, (i & 1) != 0, items[i]);
      Log("Runtime.GenerateList", line);
    }
    benchmark::DoNotOptimize(line.data());
  }
}

// Appending the session's items through InformEvent, as the monitors report
// them, into a timeline of its own (reported per pass of ItemCount appends).
void BM_InformEvent(benchmark::State& state) {
  const TTarvikTimelineItems& items = TheSession().Items;
  for (auto _ : state) {
    state.PauseTiming();
    auto timeline = std::make_unique<TTarvikTimeline>();
    state.ResumeTiming();
    for (int32_t i = 0; i < items.Count(); ++i) {
      const TTarvikTimelineItem& item = items[i];
      timeline->InformEvent(item.TID, item.OID, item.Category, item.Event, item.Value);
    }
    state.PauseTiming();
    timeline.reset();
    state.ResumeTiming();
  }
}

// wholeSession: the mark right after the asking window's first navigation,
// so that every later item is a candidate; otherwise the usual capture, of
// the window's last page.
void BM_GenerateList(benchmark::State& state, bool wholeSession) {
  const Session& session = TheSession();
  ScopedPlatformVersion version({5, 1});
  const int32_t mark = (wholeSession ? session.FirstNavigationSID : session.LastNavigationSID) + 1;
  size_t listed = 0;
  for (auto _ : state) {
    // The caller's lists, empty as the caller passes them; freeing them
    // afterwards is the caller's work, not the walk's.
    std::vector<std::string> urls, bases;
    GenerateList(session.Items, Asking, mark, &urls, &bases);
    listed = urls.size();
    benchmark::DoNotOptimize(urls.data());
    state.PauseTiming();
    urls = {};
    bases = {};
    state.ResumeTiming();
  }
  state.counters["listed"] = static_cast<double>(listed);
}

BENCHMARK(BM_PlainPass)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_PlainPassReadingURLs)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_CopyListedURLs)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_TraceLinesOnly)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK_CAPTURE(BM_GenerateList, WholeSession, true)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK_CAPTURE(BM_GenerateList, LastPage, false)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_InformEvent)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1);

// Prints the ratios after the regular report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      std::string name = run.run_name.function_name;
      if (name.rfind("BM_", 0) == 0) name = name.substr(3);
      // The fastest repetition: the machine may be busy with other work.
      // Adjusted times are in the benchmark's unit (ms); keep nanoseconds.
      const double ns = run.GetAdjustedRealTime() * 1e6;
      if (!FTimes.count(name) || ns < FTimes[name]) FTimes[name] = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double plain = Time("PlainPass"), reading = Time("PlainPassReadingURLs");
    if (plain <= 0 || reading <= 0) return;
    std::printf("\nfastest of the repetitions, per pass over %d items; ratio to PlainPass, to PlainPassReadingURLs:\n",
                ItemCount);
    for (const auto& [name, ns] : FTimes)
      std::printf("  %-26s %14.0f ns  %7.2fx  %7.2fx\n", name.c_str(), ns, ns / plain, ns / reading);
    const double whole = Time("GenerateList/WholeSession"), last = Time("GenerateList/LastPage");
    const double copy = Time("CopyListedURLs"), inform = Time("InformEvent");
    std::printf("PlainPass reads SID, TID, Category and Event of every item. No trace sink is installed.\n");
    if (last > 0)
      std::printf("GenerateList, the last page: %.0f ns, %.2fx PlainPass (target <= 2)\n", last, last / plain);
    if (whole > 0)
      std::printf("GenerateList, the whole session: %.0f ns, %.2fx PlainPass (target <= 2)\n", whole, whole / plain);
    if (whole > 0 && copy > 0)
      std::printf("  against PlainPass + CopyListedURLs (%.0f ns, the copies of its output alone): %.2fx\n",
                  plain + copy, whole / (plain + copy));
    if (inform > 0)
      std::printf("InformEvent: %.1f ns per event (%d events, %zu distinct values)\n", inform / ItemCount, ItemCount,
                  DistinctURLs);
  }

 private:
  double Time(const std::string& name) const {
    const auto found = FTimes.find(name);
    return found == FTimes.end() ? 0 : found->second;
  }
  std::map<std::string, double> FTimes;
};

}  // namespace

// A week of browsing in one window, 2,000 pages of 100 resources of 4 KiB,
// through the timeline and the store as the browser feeds them: what they
// hold at the end, and the walk of a capture of the last page against one of
// the first.
void WeekOfBrowsing() {
  constexpr int Pages = 2000, PerPage = 100;
  constexpr int32_t Window = 4242;
  constexpr uintptr_t Browser = 0x10;
  TTarvikTimeline timeline;
  TTarvikDataBuffer store;
  store.SetNeeded([&](std::string_view url) { return timeline.Selectable(url); });
  const std::string body(4096, 'x');
  auto walk = [&] {
    std::vector<std::string> urls, bases;
    const auto began = std::chrono::steady_clock::now();
    constexpr int Rounds = 200;
    for (int r = 0; r < Rounds; ++r) {
      urls.clear();
      bases.clear();
      std::lock_guard<std::recursive_mutex> guard(timeline.Mutex());
      const int32_t mark = NextSID();
      GenerateList(timeline.Items(), Window, mark, &urls, &bases);
      timeline.MarkUsed(mark);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return std::make_pair(seconds / Rounds, urls.size());
  };
  std::pair<double, size_t> first;
  const auto began = std::chrono::steady_clock::now();
  for (int p = 0; p < Pages; ++p) {
    const std::string page = "http://week.test/page/" + std::to_string(p);
    timeline.InformEvent(Window, Browser, CategoryMainNavigation, EventStart, page);
    timeline.InformEvent(Window, 0, CategoryDownload, EventStart, page);
    store.GetURLContent(page)->SetContent(body, static_cast<int32_t>(body.size()));
    for (int r = 0; r < PerPage; ++r) {
      const std::string url = page + "/res/" + std::to_string(r);
      timeline.InformEvent(Window, 0, CategoryDownload, EventStart, url);
      store.GetURLContent(url)->SetContent(body, static_cast<int32_t>(body.size()));
    }
    timeline.InformEvent(Window, Browser, CategoryMainNavigation, EventFinish, page);
    if (p == 0) first = walk();
  }
  const double browsing = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const std::pair<double, size_t> last = walk();
  std::printf(
      "a week of browsing (%d pages of %d resources of 4 KiB, %.1f s): %d records in the store, %d timeline "
      "items; a capture's walk on the last page %.1f us (%zu URLs), on the first %.1f us (%zu URLs): "
      "%.2f x (goal <= 1.2 x)\n",
      Pages, PerPage, browsing, store.Count(), timeline.Count(), last.first * 1e6, last.second, first.first * 1e6,
      first.second, last.first / first.first);
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  WeekOfBrowsing();
  const Session& session = TheSession();
  std::unordered_set<std::string> distinct;
  for (int32_t i = 0; i < session.Items.Count(); ++i) distinct.insert(UrlKey(session.Items[i].Value));
  std::printf("timeline: %d items, %zu distinct URLs (scheme and host in any case)\n", session.Items.Count(),
              distinct.size());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}

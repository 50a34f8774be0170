#include "core/UrlList.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "core/PlatformVersion.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

constexpr const char* TraceSource = "Runtime.GenerateList";

void AppendPadded(std::string& out, int32_t value, size_t width) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  const size_t length = static_cast<size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, length);
}

void AppendUpperHex(std::string& out, uintptr_t value) {
  char digits[2 * sizeof(uintptr_t)];
  char* p = digits + sizeof(digits);
  do {
    *--p = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value);
  out.append(p, static_cast<size_t>(digits + sizeof(digits) - p));
}

std::string ListAsText(const std::vector<std::string>& list) {
  size_t size = 0;
  for (const std::string& entry : list) size += entry.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& entry : list) text.append(entry).append("\r\n");
  return text;
}

}  // namespace

// --- TTimelineSearch ---

TTimelineSearch::TTimelineSearch(const TTarvikTimelineItems& timeline, bool compareThreads, int64_t scanBudget)
    : FTimeline(timeline),
      FCompareThreads(compareThreads),
      FScanBudget(scanBudget >= 0 ? scanBudget : 2 * int64_t{timeline.Count()}) {}

int32_t TTimelineSearch::FindRecentNavigation(int32_t TID, int32_t SIDMark) const {
  int32_t end = FTimeline.Count();
  if (FTimeline.SIDsAscending()) {
    // Every item from the first with a SID at or above the mark on fails the
    // SID test: start from there instead of walking back over them.
    int32_t low = 0;
    while (low < end) {
      const int32_t middle = low + (end - low) / 2;
      if (FTimeline[middle].SID < SIDMark)
        low = middle + 1;
      else
        end = middle;
    }
  }
  for (int32_t i = end - 1; i >= 0; --i) {
    const TTarvikTimelineItem& item = FTimeline[i];
    if (item.SID < SIDMark && item.TID == TID && item.Category == CategoryMainNavigation && item.Event == EventStart)
      return i;
  }
  return -1;
}

size_t TTimelineSearch::EventKeyHash::operator()(const EventKey& key) const noexcept {
  uint64_t h = (uint64_t{key.Category} << 40) ^ (uint64_t{key.Event} << 32) ^ static_cast<uint32_t>(key.TID);
  h = (h ^ static_cast<uint64_t>(key.OID)) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h ^ (h >> 31));
}

TTimelineSearch::EventKey TTimelineSearch::KeyOf(uint8_t Category, uint8_t Event, uintptr_t OID,
                                                 int32_t TID) const noexcept {
  return {Category, Event, OID, FCompareThreads ? TID : 0};
}

void TTimelineSearch::BuildIndex() {
  for (int32_t i = 0; i < FTimeline.Count(); ++i) {
    const TTarvikTimelineItem& item = FTimeline[i];
    FIndex[KeyOf(item.Category, item.Event, item.OID, item.TID)].push_back(i);
  }
  FIndexed = true;
}

int32_t TTimelineSearch::FindEvent(uint8_t Category, uint8_t Event, uintptr_t OID, int32_t TID, int32_t From) {
  const int32_t count = FTimeline.Count();
  if (From < 0) From = 0;
  if (From >= count) return -1;
  if (!FIndexed) {
    // Matches are usually a few items away: scan, but only while the whole
    // walk has scanned less than its budget, so that searches that find
    // nothing for long cannot make the walk quadratic.
    const int32_t limit = static_cast<int32_t>(std::min<int64_t>(count, From + std::max<int64_t>(FScanBudget, 0)));
    for (int32_t i = From; i < limit; ++i) {
      const TTarvikTimelineItem& item = FTimeline[i];
      if (item.Category == Category && item.Event == Event && item.OID == OID &&
          (!FCompareThreads || item.TID == TID)) {
        FScanBudget -= i - From + 1;
        return i;
      }
    }
    FScanBudget -= limit - From;
    if (limit == count) return -1;
    BuildIndex();
  }
  const auto found = FIndex.find(KeyOf(Category, Event, OID, TID));
  if (found == FIndex.end()) return -1;
  const std::vector<int32_t>& positions = found->second;
  const auto next = std::lower_bound(positions.begin(), positions.end(), From);
  return next == positions.end() ? -1 : *next;
}

int64_t TTimelineSearch::FirstIndexOfThread(int32_t TID) const { return FTimeline.FirstOfThread(TID); }

bool TTimelineSearch::StartedAfter(int32_t A, int32_t B) const { return FirstIndexOfThread(A) > FirstIndexOfThread(B); }

// --- trace line ---

void FormatListItemTrace(std::string& line, bool selected, const TTarvikTimelineItem& item) {
  line.assign(selected ? "[1] SID[#" : "[0] SID[#");
  AppendPadded(line, item.SID, 4);
  line.append("/TID[");
  AppendPadded(line, item.TID, 4);
  line.append("]/OID[");
  AppendUpperHex(line, item.OID);
  line.append("]:").append(CategoryName(item.Category)).append(".").append(EventName(item.Event)).append(" = ");
  // The whole value, zero bytes included.
  line.append(item.Value);
}

// --- the walk ---

void GenerateList(const TTarvikTimelineItems& timeline, int32_t TID, int32_t SIDMark, std::vector<std::string>* URLList,
                  std::vector<std::string>* BaseList) {
  if (!URLList || !BaseList) return;
  URLList->clear();

  TTimelineSearch search(timeline, IsWindows2000OrLater());
  const int32_t recent = search.FindRecentNavigation(TID, SIDMark);
  if (recent == -1) {
    Log(TraceSource, "Recent Navigation not found. Exit with empty URL list.");
    return;
  }
  // Without a sink the lines would be dropped: they are built only for one.
  const bool tracing = TraceActive();
  if (tracing) {
    Log(TraceSource, "SID of Recent Navigation is #" + std::to_string(timeline[recent].SID));
    Log(TraceSource, "Begin traverse event list...");
  }

  // The values in the URL list, by key: the timeline gave values that name
  // the same resource (SameUrl) the same key.
  std::vector<uint64_t> listed((size_t{timeline.KeyCount()} + 63) / 64);
  auto isListed = [&](uint32_t key) { return (listed[key / 64] >> (key % 64)) & 1; };
  auto addURL = [&](const TTarvikTimelineItem& source, const std::string& base) {
    // A navigation adds its download's URL, which may be listed already.
    listed[source.ValueKey / 64] |= uint64_t{1} << (source.ValueKey % 64);
    URLList->push_back(source.Value);
    BaseList->push_back(base);
  };
  // The thread test answers the same for a thread all walk long; items come
  // in runs of one thread, so the last answer is kept.
  int32_t lastTID = TID;
  bool lastPasses = true;
  auto threadPasses = [&](int32_t itemTID) {
    if (!search.CompareThreads() || itemTID == TID) return true;
    if (itemTID != lastTID) {
      lastTID = itemTID;
      lastPasses = search.StartedAfter(itemTID, TID);
    }
    return lastPasses;
  };

  const std::string NoBase;
  std::string line;
  const int32_t count = timeline.Count();
  // Items before the recent navigation only have their trace line.
  for (int32_t i = tracing ? 0 : recent; i < count; ++i) {
    const TTarvikTimelineItem& item = timeline[i];
    // The two tests that only read the item come first, the thread test last.
    const bool startNotListed = (item.Event == EventStart) & !isListed(item.ValueKey);
    const bool selected = startNotListed && i >= recent && threadPasses(item.TID);
    if (tracing) {
      FormatListItemTrace(line, selected, item);
      Log(TraceSource, line);
    }
    if (!selected) continue;

    switch (item.Category) {
      case CategoryMainNavigation:
      case CategoryFrameNavigation: {
        // The navigated document is the first download after the start in
        // its thread; its base is what the window showed when it finished.
        const int32_t download = search.FindEvent(CategoryDownload, EventStart, 0, item.TID, i + 1);
        if (download == -1) break;
        const int32_t finish = search.FindEvent(item.Category, EventFinish, item.OID, item.TID, download + 1);
        addURL(timeline[download], finish == -1 ? NoBase : timeline[finish].Value);
        break;
      }
      case CategoryDownload:
        addURL(item, NoBase);
        break;
      default:
        break;
    }
  }

  if (tracing) {
    Log(TraceSource, "URL list generated. [1] selected [0] not selected");
    Log(TraceSource, "URL list generated: \r\n" + ListAsText(*URLList));
    Log(TraceSource, "Base list generated: \r\n" + ListAsText(*BaseList));
  }
}

std::vector<std::string> PagesInView(const TTarvikTimelineItems& timeline) {
  std::vector<int32_t> threads;
  for (int32_t i = 0; i < timeline.Count(); ++i) {
    const TTarvikTimelineItem& item = timeline[i];
    if (item.Category == CategoryMainNavigation && item.Event == EventStart &&
        std::find(threads.begin(), threads.end(), item.TID) == threads.end())
      threads.push_back(item.TID);
  }
  std::vector<std::string> pages, urls, bases;
  for (const int32_t tid : threads) {
    GenerateList(timeline, tid, INT32_MAX, &urls, &bases);
    pages.insert(pages.end(), urls.begin(), urls.end());
  }
  return pages;
}

}  // namespace tarvik

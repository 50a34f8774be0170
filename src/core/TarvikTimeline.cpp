#include "core/TarvikTimeline.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <new>

#include "core/PlatformVersion.h"
#include "core/UrlKey.h"
#include "framework/Trace.h"

namespace tarvik {

const char* const TimelineNames[6] = {"WebBrowser", "MainNavigation", "FrameNavigation", "Download", "Start", "Finish"};

const char* CategoryName(uint8_t category) noexcept { return category < 4 ? TimelineNames[category] : "?"; }
const char* EventName(uint8_t event) noexcept { return event < 2 ? TimelineNames[4 + event] : "?"; }

namespace {
std::atomic<int32_t> GSIDCounter{0};
}

int32_t NextSID() noexcept { return GSIDCounter.fetch_add(1, std::memory_order_acq_rel) + 1; }
void ResetSIDCounter() noexcept { GSIDCounter.store(0, std::memory_order_release); }

const TTarvikTimelineItem& TTarvikTimelineItems::Append(int32_t SID, int32_t TID, uintptr_t OID, uint8_t Category,
                                                        uint8_t Event, std::string_view Value) {
  const int32_t position = FCount;
  if (FItems.size() <= static_cast<size_t>(position) + 1) FItems.resize(FItems.size() + GrowthStep);
  TTarvikTimelineItem& item = FItems[static_cast<size_t>(position)];
  item.SID = SID;
  item.TID = TID;
  item.OID = OID;
  item.Category = Category;
  item.Event = Event;
  item.Value.assign(Value);
  // Counted in only once it is complete: nothing half made is seen if this throws.
  item.ValueKey = FKeys.KeyOf(item.Value);
  if (Category == CategoryDownload && Event == EventStart) ++FDownloads[UrlKey(item.Value)];
  FFirstOfThread.try_emplace(TID, FAppended);
  if (FAppended > 0) {
    if (SID < FLastSID) FSIDsAscending = false;
    // Numbers skipped were taken by others: marks of captures begun.
    if (int64_t{SID} > int64_t{FLastSID} + 1) {
      // A run whose every mark was used already is pending no more.
      const int32_t first = FLastSID + 1, last = SID - 1;
      const auto used =
          std::remove_if(FUsedAhead.begin(), FUsedAhead.end(), [&](int32_t m) { return m >= first && m <= last; });
      const bool allUsed = FUsedAhead.end() - used == int64_t{last} - first + 1;
      FUsedAhead.erase(used, FUsedAhead.end());
      if (!allUsed) {
        if (FMarks.size() == PendingMarks) FMarks.erase(FMarks.begin());
        FMarks.push_back({first, last, FAppended});
      }
    }
    while (!FMarks.empty() && FAppended - FMarks.front().AppendedAt > MarkLifetime) FMarks.erase(FMarks.begin());
  }
  FLastSID = SID;
  ++FAppended;
  FCount = position + 1;
  return item;
}

void TTarvikTimelineItems::Clear() {
  FItems.clear();
  FCount = 0;
  FSIDsAscending = true;
  FKeys.Clear();
  FAppended = 0;
  FLastSID = 0;
  FFirstOfThread.clear();
  FDownloads.clear();
  FMarks.clear();
  FUsedAhead.clear();
}

void TTarvikTimelineItems::MarkUsed(int32_t SIDMark) {
  // A run stands for every mark in it (no item lies between them, so their
  // walks start alike): it goes with the last of them.
  for (auto it = FMarks.begin(); it != FMarks.end(); ++it) {
    if (SIDMark < it->First || SIDMark > it->Last) continue;
    if (it->First == it->Last)
      FMarks.erase(it);
    else if (SIDMark == it->First)
      ++it->First;
    else if (SIDMark == it->Last)
      --it->Last;
    return;
  }
  // Taken after the last item: its run is not seen yet.
  if (SIDMark > FLastSID && FUsedAhead.size() < PendingMarks) FUsedAhead.push_back(SIDMark);
}

int64_t TTarvikTimelineItems::FirstOfThread(int32_t TID) const {
  const auto found = FFirstOfThread.find(TID);
  return found == FFirstOfThread.end() ? -1 : found->second;
}

bool TTarvikTimelineItems::HasDownload(std::string_view url) const { return FDownloads.count(UrlKey(url)) > 0; }

void TTarvikTimelineItems::Prune(bool compareThreads) {
  if (!FSIDsAscending || FCount == 0) return;
  // Each thread's earliest walk start: its last navigation start before the
  // oldest pending mark it has one before, else its last one.
  std::unordered_map<int32_t, int32_t> start, lastNavigation;
  size_t mark = 0;
  for (int32_t i = 0; i < FCount; ++i) {
    const TTarvikTimelineItem& item = FItems[static_cast<size_t>(i)];
    for (; mark < FMarks.size() && FMarks[mark].First <= item.SID; ++mark)
      for (const auto& [tid, position] : lastNavigation) start.try_emplace(tid, position);
    if (item.Category == CategoryMainNavigation && item.Event == EventStart) lastNavigation[item.TID] = i;
  }
  for (const auto& [tid, position] : lastNavigation) start.try_emplace(tid, position);

  // The first position from which some walk may select a thread's items.
  constexpr int32_t Never = INT32_MAX;
  std::unordered_map<int32_t, int32_t> keepFrom;
  if (compareThreads) {
    // A walk selects its own thread's items and those of threads that began
    // after it: a thread's items from the earliest start of its own and of
    // the threads that began before it.
    std::vector<std::pair<int64_t, int32_t>> order;  // (first item ever, thread)
    order.reserve(FFirstOfThread.size());
    for (const auto& [tid, first] : FFirstOfThread) order.emplace_back(first, tid);
    std::sort(order.begin(), order.end());
    int32_t earlier = Never;
    for (const auto& [first, tid] : order) {
      const auto own = start.find(tid);
      earlier = std::min(earlier, own == start.end() ? Never : own->second);
      keepFrom.emplace(tid, earlier);
    }
  } else {
    int32_t earliest = Never;
    for (const auto& [tid, position] : start) earliest = std::min(earliest, position);
    for (const auto& [tid, first] : FFirstOfThread) keepFrom.emplace(tid, earliest);
  }

  std::vector<int32_t> kept;
  for (int32_t i = 0; i < FCount; ++i)
    if (i >= keepFrom.at(FItems[static_cast<size_t>(i)].TID)) kept.push_back(i);
  if (kept.size() == static_cast<size_t>(FCount)) return;
  // Keys are numbered anew from 0, so that the walk's table of listed keys
  // stays as small as the timeline. All that can fail comes first: a
  // pruning that runs out of memory leaves the timeline as it was.
  TValueKeys keys;
  std::unordered_map<std::string, uint32_t> downloads;
  std::vector<uint32_t> valueKeys;
  valueKeys.reserve(kept.size());
  for (const int32_t i : kept) {
    const TTarvikTimelineItem& item = FItems[static_cast<size_t>(i)];
    valueKeys.push_back(keys.KeyOf(item.Value));
    if (item.Category == CategoryDownload && item.Event == EventStart) ++downloads[UrlKey(item.Value)];
  }
  std::vector<TTarvikTimelineItem> items;
  items.reserve(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    items.push_back(std::move(FItems[static_cast<size_t>(kept[k])]));
    items.back().ValueKey = valueKeys[k];
  }
  FItems.swap(items);
  FCount = static_cast<int32_t>(FItems.size());
  std::swap(FKeys, keys);
  FDownloads.swap(downloads);
}

void TTarvikTimeline::InformEvent(int32_t TID, uintptr_t OID, uint8_t category, uint8_t event, std::string_view value) {
  int32_t sid;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    // Numbered under the lock, so SID order equals array order.
    sid = NextSID();
    FItems.Append(sid, TID, OID, category, event, value);
    if (FItems.Count() >= FPruneAt) Prune();
  }
  // Built only for a listening sink: nothing else would see it.
  Log([&] { return Format("Runtime.InformEvent(#%d/%s:%s)", sid, CategoryName(category), EventName(event)); }, "");
}

int32_t TTarvikTimeline::Count() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FItems.Count();
}

std::vector<TTarvikTimelineItem> TTarvikTimeline::Snapshot() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  std::vector<TTarvikTimelineItem> items;
  items.reserve(static_cast<size_t>(FItems.Count()));
  for (int32_t i = 0; i < FItems.Count(); ++i) items.push_back(FItems[i]);
  return items;
}

void TTarvikTimeline::Clear() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.Clear();
  FPruneAt = PruneFrom;
}

void TTarvikTimeline::MarkUsed(int32_t SIDMark) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.MarkUsed(SIDMark);
}

void TTarvikTimeline::Prune() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  try {
    FItems.Prune(IsWindows2000OrLater());
  } catch (const std::bad_alloc&) {
    // Everything stays until the next pruning.
  }
  FPruneAt = std::max(PruneFrom, 2 * FItems.Count());
}

bool TTarvikTimeline::Selectable(std::string_view url) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FItems.HasDownload(url);
}

}  // namespace tarvik

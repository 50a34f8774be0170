#include "core/TarvikTimeline.h"

#include <atomic>

#include "core/Trace.h"

namespace tarvik {

const char* const TimelineNames[6] = {"WebBrowser", "MainNavigation", "FrameNavigation", "Download", "Start", "Finish"};

const char* CategoryName(uint8_t category) noexcept { return category < 4 ? TimelineNames[category] : "?"; }
const char* EventName(uint8_t event) noexcept { return event < 2 ? TimelineNames[4 + event] : "?"; }

namespace {
std::atomic<int32_t> GSIDCounter{0};
}

int32_t NextSID() noexcept { return GSIDCounter.fetch_add(1, std::memory_order_acq_rel) + 1; }
void ResetSIDCounter() noexcept { GSIDCounter.store(0, std::memory_order_release); }

TTarvikTimelineItem& TTarvikTimelineItems::Append() {
  ++FCount;
  if (FItems.size() <= static_cast<size_t>(FCount)) FItems.resize(FItems.size() + GrowthStep);
  TTarvikTimelineItem& item = FItems[static_cast<size_t>(FCount - 1)];
  item = TTarvikTimelineItem{};
  return item;
}

void TTarvikTimelineItems::Clear() {
  FItems.clear();
  FCount = 0;
}

void TTarvikTimeline::InformEvent(int32_t TID, uintptr_t OID, uint8_t category, uint8_t event,
                                  std::string_view value) {
  int32_t sid;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    TTarvikTimelineItem& item = FItems.Append();
    // Numbered under the lock, so SID order equals array order.
    item.SID = sid = NextSID();
    item.TID = TID;
    item.OID = OID;
    item.Category = category;
    item.Event = event;
    item.Value.assign(value);
  }
  TraceLog(Format("Runtime.InformEvent(#%d/%s:%s)", sid, CategoryName(category), EventName(event)), "");
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
}

}  // namespace tarvik

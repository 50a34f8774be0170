#include "core/TarvikTimeline.h"

#include <atomic>

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
  if (position > 0 && SID < FItems[static_cast<size_t>(position) - 1].SID) FSIDsAscending = false;
  FCount = position + 1;
  return item;
}

void TTarvikTimelineItems::Clear() {
  FItems.clear();
  FCount = 0;
  FSIDsAscending = true;
  FKeys.Clear();
}

void TTarvikTimeline::InformEvent(int32_t TID, uintptr_t OID, uint8_t category, uint8_t event, std::string_view value) {
  int32_t sid;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    // Numbered under the lock, so SID order equals array order.
    sid = NextSID();
    FItems.Append(sid, TID, OID, category, event, value);
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
}

}  // namespace tarvik

#pragma once
// The timeline of browser events and the process-wide sequence numbers.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/UrlListKeys.h"

namespace tarvik {

enum TimelineCategory : uint8_t {
  CategoryWebBrowser = 0,
  CategoryMainNavigation = 1,
  CategoryFrameNavigation = 2,
  CategoryDownload = 3,
};
enum TimelineEvent : uint8_t {
  EventStart = 0,
  EventFinish = 1,
};

// The four category names, then the two event names.
extern const char* const TimelineNames[6];
// Names for trace lines; codes outside the table print as "?".
const char* CategoryName(uint8_t category) noexcept;
const char* EventName(uint8_t event) noexcept;

// Atomically takes the next sequence number; the first of a process is 1.
int32_t NextSID() noexcept;
// Sets the counter back to 0, as at library load.
void ResetSIDCounter() noexcept;

struct TTarvikTimelineItem {
  int32_t SID = 0;
  int32_t TID = 0;
  uintptr_t OID = 0;
  uint8_t Category = 0;
  uint8_t Event = 0;
  std::string Value;
  // The same number for every value of the timeline that names the same
  // resource as this one (SameUrl), and a different
  // one for any other value: numbered 0, 1, ... as new values come in. Set
  // by the timeline when the item is appended; the walk for the URL list
  // tells duplicates by it without reading the text.
  uint32_t ValueKey = 0;
};

// A growable array of items with its count in use; grows 64 items at a time.
// Items are only appended, never changed, so that each keeps the ValueKey
// that Append gave it.
class TTarvikTimelineItems {
 public:
  static constexpr size_t GrowthStep = 64;

  int32_t Count() const noexcept { return FCount; }
  const TTarvikTimelineItem& operator[](int32_t index) const { return FItems[static_cast<size_t>(index)]; }
  // Appends an item with these fields and its ValueKey.
  const TTarvikTimelineItem& Append(int32_t SID, int32_t TID, uintptr_t OID, uint8_t Category, uint8_t Event,
                                    std::string_view Value);
  // Keys given so far: every item's ValueKey is below it.
  uint32_t KeyCount() const noexcept { return FKeys.Count(); }
  // Whether no item has a smaller SID than the one before it, as in every
  // timeline that InformEvent numbers (then the SIDs below a mark are a prefix).
  bool SIDsAscending() const noexcept { return FSIDsAscending; }
  void Clear();

 private:
  std::vector<TTarvikTimelineItem> FItems;
  int32_t FCount = 0;
  bool FSIDsAscending = true;
  TValueKeys FKeys;
};

// The timeline with the runtime's re-entrant lock that guards it.
class TTarvikTimeline {
 public:
  // Appends an item numbered by NextSID under the lock, then traces it.
  void InformEvent(int32_t TID, uintptr_t OID, uint8_t category, uint8_t event, std::string_view value);

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  std::recursive_mutex& Mutex() noexcept { return FLock; }

  // Callers hold the lock while they read the items.
  const TTarvikTimelineItems& Items() const noexcept { return FItems; }
  int32_t Count() const;
  // A copy of every item, taken under the lock.
  std::vector<TTarvikTimelineItem> Snapshot() const;
  void Clear();

 private:
  mutable std::recursive_mutex FLock;
  TTarvikTimelineItems FItems;
};

}  // namespace tarvik

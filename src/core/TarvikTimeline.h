#pragma once
// The timeline of browser events and the process-wide sequence numbers.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
};

// A growable array of items with its count in use; grows 64 items at a time.
class TTarvikTimelineItems {
 public:
  static constexpr size_t GrowthStep = 64;

  int32_t Count() const noexcept { return FCount; }
  const TTarvikTimelineItem& operator[](int32_t index) const { return FItems[static_cast<size_t>(index)]; }
  TTarvikTimelineItem& operator[](int32_t index) { return FItems[static_cast<size_t>(index)]; }
  // Makes room for one more item and returns it (zeroed).
  TTarvikTimelineItem& Append();
  void Clear();

 private:
  std::vector<TTarvikTimelineItem> FItems;
  int32_t FCount = 0;
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

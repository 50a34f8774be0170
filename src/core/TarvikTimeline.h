#pragma once
// The timeline of browser events and the process-wide sequence numbers.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
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
// Items are appended, never changed, so that each keeps the ValueKey that
// Append gave it, until Prune drops those no capture can select any more
// (then the rest are keyed anew).
class TTarvikTimelineItems {
 public:
  static constexpr size_t GrowthStep = 64;
  // Captures begun but not saved yet that Prune still serves: the newest
  // marks seen (see Prune). Older ones are taken as given up.
  static constexpr size_t PendingMarks = 4;
  // A capture begun and then neither saved nor seen again (cancelled, or
  // its window closed) would keep every later item of its window: a mark
  // counts as pending for this many appended items at the most.
  static constexpr int64_t MarkLifetime = 65536;

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

  // Where thread TID's first item ever appended stands among all appended,
  // dropped ones included (its position while nothing was dropped), or -1.
  // The walk compares threads by it, so it outlives the thread's items.
  int64_t FirstOfThread(int32_t TID) const;
  // Whether a download of url (as UrlKey compares it) is among the items:
  // every URL a walk can list is one.
  bool HasDownload(std::string_view url) const;

  // Drops the items that no walk can select any more, in timelines whose
  // SIDs ascend. A walk starts at its thread's last main navigation start
  // before its mark: for a mark not taken yet that is the thread's last one;
  // for one taken and not yet used, a number that InformEvent skipped
  // before an item, the last before that item (the newest PendingMarks such
  // gaps count). From its start a walk selects its own thread's items and
  // those of threads that began later (compareThreads), or every item, and
  // searches only forward. An item stays when some walk may reach it.
  void Prune(bool compareThreads);
  // A capture with this mark has made its list: the mark is pending no more.
  void MarkUsed(int32_t SIDMark);

 private:
  std::vector<TTarvikTimelineItem> FItems;
  int32_t FCount = 0;
  bool FSIDsAscending = true;
  TValueKeys FKeys;
  int64_t FAppended = 0;
  int32_t FLastSID = 0;
  std::unordered_map<int32_t, int64_t> FFirstOfThread;
  std::unordered_map<std::string, uint32_t> FDownloads;  // UrlKey -> download starts among the items
  // Numbers skipped between two items, each run of them taken as marks of
  // captures begun and not used yet, the newest PendingMarks, ascending.
  struct TMarks {
    int32_t First = 0, Last = 0;
    int64_t AppendedAt = 0;  // FAppended when the run was seen
  };
  std::vector<TMarks> FMarks;
  std::vector<int32_t> FUsedAhead;  // marks used before any item came after them
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
  // Whether a capture may still list url (HasDownload under the lock).
  bool Selectable(std::string_view url) const;
  // A capture with this mark has made its list (MarkUsed under the lock).
  void MarkUsed(int32_t SIDMark);
  // Prunes now, whatever the count: before letting go of what no capture
  // can list, the items of pages left behind must be gone too.
  void Prune();

  // The timeline prunes itself (TTarvikTimelineItems::Prune) once it holds
  // this many items, then again each time it doubles what the last pruning
  // kept: a window reloading one page keeps a few pages' items, and the
  // walk each pruning costs is repaid by the appends before it.
  static constexpr int32_t PruneFrom = 1024;

 private:
  mutable std::recursive_mutex FLock;
  TTarvikTimelineItems FItems;
  int32_t FPruneAt = PruneFrom;
};

}  // namespace tarvik

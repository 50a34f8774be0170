#pragma once
// Choosing the URLs of an archive from the timeline.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/TarvikTimeline.h"

namespace tarvik {

// Walks timeline (the caller holds its lock) for the window of thread TID
// and the capture mark SIDMark: clears URLList, appends to BaseList. Threads
// are told apart from platform version 5.0 on (PlatformVersion).
void GenerateList(const TTarvikTimelineItems& timeline, int32_t TID, int32_t SIDMark, std::vector<std::string>* URLList,
                  std::vector<std::string>* BaseList);

// The URLs of the pages the windows show now: the URL list of every
// thread's last main navigation (the caller holds the timeline's lock).
// Every one of them is among the downloads TTarvikTimeline::Selectable
// answers for, which letting go of captured bytes spares.
std::vector<std::string> PagesInView(const TTarvikTimelineItems& timeline);

// The searches of one walk over a timeline that does not change meanwhile
// (the caller holds its lock). Answers are those of plain scans; what the
// searches learn on the way is kept so that a walk stays linear.
class TTimelineSearch {
 public:
  // compareThreads: whether FindEvent compares TIDs (platform 5.0 and later).
  // scanBudget: items that FindEvent may scan one by one before it indexes
  // the timeline instead; negative means twice the timeline's length.
  TTimelineSearch(const TTarvikTimelineItems& timeline, bool compareThreads, int64_t scanBudget = -1);

  // Last position (scanning back from the end) of a "MainNavigation" "Start"
  // of thread TID with a SID below SIDMark, or -1.
  int32_t FindRecentNavigation(int32_t TID, int32_t SIDMark) const;
  // First position at or after From with that Category, Event, OID and (when
  // threads are compared) TID, or -1.
  int32_t FindEvent(uint8_t Category, uint8_t Event, uintptr_t OID, int32_t TID, int32_t From);
  // Position of thread TID's first item (counting items pruned since), or -1.
  int64_t FirstIndexOfThread(int32_t TID) const;
  // Whether thread A first showed up in the timeline after thread B.
  bool StartedAfter(int32_t A, int32_t B) const;

  bool CompareThreads() const noexcept { return FCompareThreads; }
  bool Indexed() const noexcept { return FIndexed; }

 private:
  struct EventKey {
    uint8_t Category;
    uint8_t Event;
    uintptr_t OID;
    int32_t TID;
    friend bool operator==(const EventKey&, const EventKey&) = default;
  };
  struct EventKeyHash {
    size_t operator()(const EventKey& key) const noexcept;
  };
  EventKey KeyOf(uint8_t Category, uint8_t Event, uintptr_t OID, int32_t TID) const noexcept;
  void BuildIndex();

  const TTarvikTimelineItems& FTimeline;
  const bool FCompareThreads;
  int64_t FScanBudget;
  // Positions of every item by key, ascending; built once the budget is spent.
  bool FIndexed = false;
  std::unordered_map<EventKey, std::vector<int32_t>, EventKeyHash> FIndex;
};

// The walk's trace line for one item, written into line (replacing it):
// "[%d] SID[#%4d/TID[%4d]/OID[%x]:%s.%s = %s" with the whole value.
void FormatListItemTrace(std::string& line, bool selected, const TTarvikTimelineItem& item);

}  // namespace tarvik

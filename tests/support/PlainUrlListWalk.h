#pragma once
// The URL list walk as plain scans: FirstIndexOfThread from 0, a linear
// search of the URL list, FindEvent to the end each time. The reference that
// the tests and the fuzz target hold the real walk to.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/TarvikTimeline.h"
#include "core/UrlKey.h"

namespace tarvik::test {

struct PlainLists {
  std::vector<std::string> URLs, Bases;
};

struct PlainWalk {
  const TTarvikTimelineItems& Items;
  bool CompareThreads;

  int32_t FirstIndexOfThread(int32_t tid) const {
    for (int32_t i = 0; i < Items.Count(); ++i)
      if (Items[i].TID == tid) return i;
    return -1;
  }
  int32_t FindEvent(uint8_t category, uint8_t event, uintptr_t oid, int32_t tid, int32_t from) const {
    for (int32_t i = std::max(from, 0); i < Items.Count(); ++i)
      if (Items[i].Category == category && Items[i].Event == event && Items[i].OID == oid &&
          (!CompareThreads || Items[i].TID == tid))
        return i;
    return -1;
  }
  PlainLists Run(int32_t tid, int32_t mark) const {
    PlainLists lists;
    int32_t recent = -1;
    for (int32_t i = Items.Count() - 1; i >= 0 && recent < 0; --i)
      if (Items[i].SID < mark && Items[i].TID == tid && Items[i].Category == 1 && Items[i].Event == 0) recent = i;
    if (recent < 0) return lists;
    for (int32_t i = recent; i < Items.Count(); ++i) {
      const TTarvikTimelineItem& x = Items[i];
      if (x.Event != 0) continue;
      if (CompareThreads && x.TID != tid && !(FirstIndexOfThread(x.TID) > FirstIndexOfThread(tid))) continue;
      bool listed = false;
      for (const std::string& url : lists.URLs) listed = listed || SameUrl(url, x.Value);
      if (listed) continue;
      if (x.Category == 1 || x.Category == 2) {
        const int32_t f = FindEvent(3, 0, 0, x.TID, i + 1);
        if (f < 0) continue;
        const int32_t g = FindEvent(x.Category, 1, x.OID, x.TID, f + 1);
        lists.URLs.push_back(Items[f].Value);
        lists.Bases.push_back(g < 0 ? "" : Items[g].Value);
      } else if (x.Category == 3) {
        lists.URLs.push_back(x.Value);
        lists.Bases.push_back("");
      }
    }
    return lists;
  }
};

}  // namespace tarvik::test

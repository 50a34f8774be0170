// Walks random timelines for the URL list and checks the result against a
// plain reading of the rules: the last main navigation of the thread before
// the mark, then every start from there of this thread (or of a thread that
// showed up after it), each address once as SameUrl tells them apart, a
// navigation adding its first download and the base its finish shows.
#include <cstdint>
#include <string>
#include <vector>

#include "core/PlatformVersion.h"
#include "core/UrlKey.h"
#include "core/UrlList.h"
#include "fuzz/FuzzInput.h"

namespace {

using namespace tarvik;
using fuzz::Check;
using fuzz::Reader;

struct TLists {
  std::vector<std::string> URLs, Bases;
};

TLists Reference(const TTarvikTimelineItems& items, int32_t tid, int32_t mark, bool threads) {
  TLists lists;
  const int32_t count = items.Count();
  auto firstOf = [&](int32_t t) {
    for (int32_t i = 0; i < count; ++i)
      if (items[i].TID == t) return i;
    return -1;
  };
  auto find = [&](uint8_t category, uint8_t event, uintptr_t oid, int32_t t, int32_t from) {
    for (int32_t i = from; i < count; ++i)
      if (items[i].Category == category && items[i].Event == event && items[i].OID == oid && (!threads || items[i].TID == t))
        return i;
    return -1;
  };
  int32_t recent = -1;
  for (int32_t i = count - 1; i >= 0 && recent < 0; --i)
    if (items[i].SID < mark && items[i].TID == tid && items[i].Category == 1 && items[i].Event == 0) recent = i;
  if (recent < 0) return lists;
  for (int32_t i = recent; i < count; ++i) {
    const TTarvikTimelineItem& x = items[i];
    if (x.Event != 0) continue;
    if (threads && x.TID != tid && !(firstOf(x.TID) > firstOf(tid))) continue;
    bool listed = false;
    for (const std::string& url : lists.URLs) listed = listed || SameUrl(url, x.Value);
    if (listed) continue;
    if (x.Category == 1 || x.Category == 2) {
      const int32_t f = find(3, 0, 0, x.TID, i + 1);
      if (f < 0) continue;
      const int32_t g = find(x.Category, 1, x.OID, x.TID, f + 1);
      lists.URLs.push_back(items[f].Value);
      lists.Bases.push_back(g < 0 ? "" : items[g].Value);
    } else if (x.Category == 3) {
      lists.URLs.push_back(x.Value);
      lists.Bases.push_back("");
    }
  }
  return lists;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const Values[] = {"http://a/", "HTTP://A/", "http://a/x", "http://a/X", "http://A/x#f",
                                       "http://a/x#f", "http://b/%20", "http://b/ ", ""};
  Reader in{data, size};
  const bool threads = in.Byte() % 2;
  SetPlatformVersion(threads ? TPlatformVersion{5, 1} : TPlatformVersion{4, 0});
  TTarvikTimelineItems items;
  int32_t sid = 0;
  while (!in.Empty() && items.Count() < 400) {
    const uint8_t shape = in.Byte();
    sid += shape & 1 ? 1 : 2;
    const int32_t tid = 1 + (shape >> 1) % 3;
    const uint8_t category = static_cast<uint8_t>((shape >> 3) % 4);
    const uint8_t event = static_cast<uint8_t>((shape >> 5) % 3 == 0);
    const uintptr_t oid = category == 3 ? 0 : 1 + (shape >> 6);
    const uint8_t pick = in.Byte();
    items.Append(sid, tid, oid, category, event, pick < 240 ? std::string(Values[pick % 9]) : in.Text());
  }
  const int32_t tid = 1 + in.Byte() % 3;
  const int32_t mark = static_cast<int32_t>(in.Byte()) * 2;
  TLists got;
  got.Bases.push_back("kept");
  GenerateList(items, tid, mark, &got.URLs, &got.Bases);
  const TLists want = Reference(items, tid, mark, threads);
  Check(got.URLs == want.URLs);
  Check(got.Bases.size() == want.Bases.size() + 1 && got.Bases[0] == "kept");
  Check(std::vector<std::string>(got.Bases.begin() + 1, got.Bases.end()) == want.Bases);
  return 0;
}

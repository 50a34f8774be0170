// Walks random timelines for the URL list and checks the result against the
// walk as plain scans (the same reference the unit tests use).
#include <cstdint>
#include <string>
#include <vector>

#include "core/PlatformVersion.h"
#include "core/UrlKey.h"
#include "core/UrlList.h"
#include "fuzz/FuzzInput.h"
#include "tests/support/PlainUrlListWalk.h"

namespace {

using namespace tarvik;
using fuzz::Check;
using fuzz::Reader;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const Values[] = {"http://a/",    "HTTP://A/",    "http://a/x",
                                       "http://a/X",   "http://A/x#f", "http://a/x#f",
                                       "http://b/%20", "http://b/ ",   ""};
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
  test::PlainLists got;
  got.Bases.push_back("kept");
  GenerateList(items, tid, mark, &got.URLs, &got.Bases);
  const test::PlainLists want = test::PlainWalk{items, threads}.Run(tid, mark);
  Check(got.URLs == want.URLs);
  Check(got.Bases.size() == want.Bases.size() + 1 && got.Bases[0] == "kept");
  Check(std::vector<std::string>(got.Bases.begin() + 1, got.Bases.end()) == want.Bases);
  return 0;
}

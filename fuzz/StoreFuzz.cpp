// Drives the content store and the timeline with arbitrary operations and
// URLs, and checks them against a plain model after every step.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/TarvikDataBuffer.h"
#include "core/TarvikTimeline.h"
#include "core/UrlKey.h"
#include "fuzz/FuzzInput.h"

using tarvik::fuzz::Check;
using tarvik::fuzz::Reader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  tarvik::TTarvikDataBuffer store;
  // Every record needed: the model has no bounds.
  store.SetNeeded([](std::string_view) { return true; });
  tarvik::TTarvikTimeline timeline;
  std::map<std::string, int32_t> model;  // folded URL -> position
  std::vector<std::string> firstSpelling;
  std::vector<std::string> contents;
  int32_t lastSID = 0;

  while (!in.Empty()) {
    const uint8_t op = in.Byte() % 5;
    const std::string url = in.Text();
    const std::string folded = tarvik::UrlKey(url);
    auto known = model.find(folded);
    switch (op) {
      case 0:
        store.Add(url);
        break;
      case 1: {
        const std::string body = in.Text();
        tarvik::TURLContent& record = *store.GetURLContent(url);
        record.SetContent(body, static_cast<int32_t>(body.size()));
        if (known == model.end()) contents.resize(firstSpelling.size() + 1);
        contents[known == model.end() ? firstSpelling.size() : static_cast<size_t>(known->second)] = body;
        break;
      }
      case 2:
        Check(store.IndexOf(url) == (known == model.end() ? -1 : known->second));
        Check(store.Exists(url) == (known != model.end()));
        continue;
      case 3:
        timeline.InformEvent(in.Byte(), in.Byte(), in.Byte(), in.Byte(), url);
        // A pruning may have dropped the new item with the others no capture
        // can select; an item still there is the new one.
        Check(timeline.Items().SIDsAscending());
        if (const int32_t count = timeline.Count(); count > 0 && timeline.Items()[count - 1].SID > lastSID) {
          lastSID = timeline.Items()[count - 1].SID;
          Check(timeline.Items()[count - 1].Value == url);
        }
        continue;
      default:
        tarvik::CategoryName(in.Byte());
        tarvik::EventName(in.Byte());
        continue;
    }
    if (known == model.end()) {
      model.emplace(folded, static_cast<int32_t>(firstSpelling.size()));
      firstSpelling.push_back(url);
      if (contents.size() < firstSpelling.size()) contents.resize(firstSpelling.size());
    }
    Check(store.Count() == static_cast<int32_t>(firstSpelling.size()));
  }
  for (int32_t i = 0; i < store.Count(); ++i) {
    Check(store.Items(i)->URL() == firstSpelling[static_cast<size_t>(i)]);
    Check(*store.Items(i)->Content() == contents[static_cast<size_t>(i)]);
    Check(store.Items(i)->ReadLength() == static_cast<int32_t>(contents[static_cast<size_t>(i)].size()));
  }
  return 0;
}

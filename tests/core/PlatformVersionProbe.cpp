// Prints the platform version this process sees and the URL list that the
// walk gives for two browser windows: the thread test follows the version.
#include <cstdio>
#include <string>
#include <vector>

#include "core/PlatformVersion.h"
#include "core/UrlList.h"

int main() {
  using namespace tarvik;
  TTarvikTimelineItems timeline;
  auto add = [&](int32_t sid, int32_t tid, uint8_t category, const char* value) {
    timeline.Append(sid, tid, category == CategoryMainNavigation ? 0x10u : 0u, category, EventStart, value);
  };
  // Window S shows up first; window T asks.
  add(1, 2, CategoryDownload, "s-early");
  add(2, 1, CategoryMainNavigation, "t-page");
  add(3, 2, CategoryDownload, "s-doc");
  add(4, 1, CategoryDownload, "t-doc");
  std::vector<std::string> urls, bases;
  GenerateList(timeline, 1, 5, &urls, &bases);
  const TPlatformVersion version = PlatformVersion();
  std::printf("platform %u.%u, threads %s, urls:", static_cast<unsigned>(version.Major),
              static_cast<unsigned>(version.Minor), IsWindows2000OrLater() ? "compared" : "not compared");
  for (const std::string& url : urls) std::printf(" %s", url.c_str());
  std::printf("\n");
  return 0;
}

// Placeholder walk: replaced by the archive URL list work.
#include "core/UrlList.h"

namespace tarvik {

void GenerateList(const TTarvikTimelineItems& timeline, int32_t TID, int32_t SIDMark,
                  std::vector<std::string>* URLList, std::vector<std::string>* BaseList) {
  if (URLList) URLList->clear();
}

}  // namespace tarvik

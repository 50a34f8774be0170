#pragma once
// Choosing the URLs of an archive from the timeline.
#include <cstdint>
#include <string>
#include <vector>

#include "core/TarvikTimeline.h"

namespace tarvik {

// Walks timeline (the caller holds its lock) for the window of thread TID
// and the capture mark SIDMark: clears URLList, appends to BaseList.
void GenerateList(const TTarvikTimelineItems& timeline, int32_t TID, int32_t SIDMark,
                  std::vector<std::string>* URLList, std::vector<std::string>* BaseList);

}  // namespace tarvik

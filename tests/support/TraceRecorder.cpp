#include "support/TraceRecorder.h"

namespace tarvik::test {

TraceRecorder::TraceRecorder() : FPrevious(SetTraceSink(this)) {}
TraceRecorder::~TraceRecorder() { SetTraceSink(FPrevious); }

void TraceRecorder::Write(std::string_view source, std::string_view message, int32_t extra, int32_t level) {
  std::lock_guard<std::mutex> guard(FLock);
  FLines.push_back({std::string(source), std::string(message), extra, level});
}

std::vector<TraceLine> TraceRecorder::Lines() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLines;
}

int TraceRecorder::Find(const std::string& source, size_t from) const {
  const std::vector<TraceLine> lines = Lines();
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].Source == source) return static_cast<int>(i);
  return -1;
}

bool TraceRecorder::Contains(const std::string& source, const std::string& message) const {
  for (const TraceLine& line : Lines())
    if (line.Source == source && line.Message == message) return true;
  return false;
}

void TraceRecorder::Clear() {
  std::lock_guard<std::mutex> guard(FLock);
  FLines.clear();
}

}  // namespace tarvik::test

#pragma once
// Collects trace lines while it lives, for tests that check what was traced.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "framework/Trace.h"

namespace tarvik::test {

struct TraceLine {
  std::string Source;
  std::string Message;
  int32_t Extra = 0;
  int32_t Level = 0;
};

class TraceRecorder : public TraceSink {
 public:
  TraceRecorder();
  ~TraceRecorder() override;
  TraceRecorder(const TraceRecorder&) = delete;
  TraceRecorder& operator=(const TraceRecorder&) = delete;

  void Write(std::string_view source, std::string_view message, int32_t extra, int32_t level) override;

  std::vector<TraceLine> Lines() const;
  // Index of the first line with this source at or after from, or -1.
  int Find(const std::string& source, size_t from = 0) const;
  bool Contains(const std::string& source, const std::string& message) const;
  void Clear();

 private:
  mutable std::mutex FLock;
  std::vector<TraceLine> FLines;
  TraceSink* FPrevious;
};

}  // namespace tarvik::test

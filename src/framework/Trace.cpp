#include "framework/Trace.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace tarvik {

namespace {
std::atomic<TraceSink*> GTraceSink{nullptr};
}  // namespace

TraceSink* SetTraceSink(TraceSink* sink) noexcept { return GTraceSink.exchange(sink, std::memory_order_acq_rel); }

bool TraceActive() noexcept { return GTraceSink.load(std::memory_order_acquire) != nullptr; }

void WriteToTraceSink(std::string_view source, std::string_view message, int32_t extra, int32_t level) {
  if (TraceSink* sink = GTraceSink.load(std::memory_order_acquire)) sink->Write(source, message, extra, level);
}

std::string FormatV(const char* format, va_list args) {
  char stackBuffer[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(stackBuffer, sizeof(stackBuffer), format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof(stackBuffer)) return std::string(stackBuffer, static_cast<size_t>(needed));
  std::string result(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(result.data(), result.size(), format, args);
  result.resize(static_cast<size_t>(needed));
  return result;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = FormatV(format, args);
  va_end(args);
  return result;
}

}  // namespace tarvik

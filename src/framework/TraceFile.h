#pragma once
// The trace file that support can ask a user to switch on: the sink of every
// trace line, one text line each with the local time, the thread and the
// tag, kept under a size bound by dropping its oldest half. Off unless the
// settings name a file; nothing here runs while it is off.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "framework/Trace.h"

namespace tarvik {

// The platform's half: one open file that only this process writes.
class TTraceStore {
 public:
  virtual ~TTraceStore() = default;
  virtual uint64_t Size() noexcept = 0;
  virtual bool Append(std::string_view bytes) noexcept = 0;
  // Throws std::bad_alloc when the copy does not fit in memory.
  virtual bool ReadAll(std::string& bytes) = 0;
  // Makes bytes the whole file.
  virtual bool Replace(std::string_view bytes) noexcept = 0;
};

// Opens path (a path in the system's code page), creating it or appending to
// what it holds; others may read it meanwhile but not write it. nullptr when
// it cannot be opened.
std::unique_ptr<TTraceStore> OpenTraceStore(const std::string& path) noexcept;
// "yyyy-mm-dd hh:mm:ss.mmm" of the local clock now.
std::string TraceClockText();
uint32_t TraceThreadId() noexcept;
uint32_t TraceProcessId() noexcept;

// The file's line of one trace call: time, thread (eight hexadecimal
// digits), the tag and the message, and Extra and Level where they differ
// from the usual 0 and 50. Line breaks inside become spaces, and a line
// longer than maxBytes is cut there and marked, so that one line stays one
// line and no line can fill the file.
std::string TraceFileLine(std::string_view time, uint32_t thread, std::string_view source, std::string_view message,
                          int32_t extra, int32_t level, size_t maxBytes);

// "name.<pid>.ext": where a second process traces when the named file is in use.
std::string TracePathForProcess(const std::string& path, uint32_t pid);

class TTraceFile final : public TraceSink {
 public:
  static constexpr uint64_t DefaultLimit = uint64_t{8} << 20;

  // The file at path, or at its per-process name when another process holds
  // it; nullptr when neither opens. Writes a first line that says which
  // process traces.
  static std::unique_ptr<TTraceFile> Open(const std::string& path, uint64_t limit = DefaultLimit);
  TTraceFile(std::unique_ptr<TTraceStore> store, uint64_t limit);

  // Never throws; a line the file cannot take is lost, and the caller goes on.
  void Write(std::string_view source, std::string_view message, int32_t extra, int32_t level) override;

  uint64_t Limit() const noexcept { return FLimit; }

 private:
  // Keeps the newest lines that fill at most half the bound.
  bool DropOldestHalf() noexcept;

  std::mutex FLock;
  std::unique_ptr<TTraceStore> FStore;
  const uint64_t FLimit;
  uint64_t FSize = 0;
};

}  // namespace tarvik

#include "framework/TraceFile.h"

#include <algorithm>

namespace tarvik {

namespace {
constexpr std::string_view LineEnd = "\r\n";
constexpr std::string_view CutMark = " [...]";
}  // namespace

std::string TraceFileLine(std::string_view time, uint32_t thread, std::string_view source, std::string_view message,
                          int32_t extra, int32_t level, size_t maxBytes) {
  std::string line;
  line.reserve(time.size() + source.size() + message.size() + 32);
  line.append(time);
  line += Format(" %08X ", static_cast<unsigned>(thread));
  line.append(source);
  if (!message.empty()) {
    line += ": ";
    line.append(message);
  }
  if (extra != 0 || level != 50)
    line += Format(" {Extra=%d Level=%d}", static_cast<int>(extra), static_cast<int>(level));
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  const size_t room = maxBytes > CutMark.size() + LineEnd.size() ? maxBytes - LineEnd.size() : CutMark.size();
  if (line.size() > room) {
    line.resize(room - CutMark.size());
    line += CutMark;
  }
  line += LineEnd;
  return line;
}

std::string TracePathForProcess(const std::string& path, uint32_t pid) {
  const size_t separator = path.find_last_of("\\/");
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = path.size();
  return path.substr(0, dot) + "." + std::to_string(pid) + path.substr(dot);
}

std::unique_ptr<TTraceFile> TTraceFile::Open(const std::string& path, uint64_t limit) {
  const uint32_t pid = TraceProcessId();
  std::unique_ptr<TTraceStore> store = OpenTraceStore(path);
  if (!store) store = OpenTraceStore(TracePathForProcess(path, pid));
  if (!store) return nullptr;
  auto file = std::make_unique<TTraceFile>(std::move(store), limit);
  file->Write("TraceFile", Format("Tracing process %u", static_cast<unsigned>(pid)), 0, 50);
  return file;
}

TTraceFile::TTraceFile(std::unique_ptr<TTraceStore> store, uint64_t limit)
    : FStore(std::move(store)), FLimit(std::max<uint64_t>(limit, 256)), FSize(FStore->Size()) {}

void TTraceFile::Write(std::string_view source, std::string_view message, int32_t extra, int32_t level) {
  NoThrow([&] {
    // A quarter of the bound at most, so that dropping half always makes room.
    const size_t maxLine = static_cast<size_t>(std::min<uint64_t>(4096, FLimit / 4));
    std::lock_guard<std::mutex> guard(FLock);
    // Stamped under the lock: the file's lines are in the order of their times.
    const std::string line = TraceFileLine(TraceClockText(), TraceThreadId(), source, message, extra, level, maxLine);
    if (FSize + line.size() > FLimit && !DropOldestHalf()) return;
    if (FStore->Append(line))
      FSize += line.size();
    else
      FSize = FStore->Size();  // a part may have been written
  });
}

bool TTraceFile::DropOldestHalf() noexcept {
  bool dropped = false;
  NoThrow([&] {  // the copy of the file may not fit in memory
    std::string bytes;
    if (!FStore->ReadAll(bytes)) return;
    const uint64_t keep = FLimit / 2;
    if (bytes.size() > keep) {
      // Start at the first whole line within the newest half.
      const size_t end = bytes.find('\n', bytes.size() - static_cast<size_t>(keep) - 1);
      bytes.erase(0, end == std::string::npos ? bytes.size() : end + 1);
    }
    if (!FStore->Replace(bytes)) {
      FSize = FStore->Size();
      return;
    }
    FSize = bytes.size();
    dropped = true;
  });
  return dropped;
}

}  // namespace tarvik

// The trace file's platform half on POSIX systems: an advisory lock stands
// for the Windows share mode, so that a second process takes its own file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "framework/TraceFile.h"

namespace tarvik {

namespace {

class TNativeTraceStore final : public TTraceStore {
 public:
  explicit TNativeTraceStore(int fd) : FFd(fd) {}
  TNativeTraceStore(const TNativeTraceStore&) = delete;
  TNativeTraceStore& operator=(const TNativeTraceStore&) = delete;
  ~TNativeTraceStore() override { ::close(FFd); }

  uint64_t Size() noexcept override {
    struct stat st {};
    return ::fstat(FFd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  bool Append(std::string_view bytes) noexcept override { return WriteAt(static_cast<off_t>(Size()), bytes); }
  bool ReadAll(std::string& bytes) override {
    bytes.resize(static_cast<size_t>(Size()));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pread(FFd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool Replace(std::string_view bytes) noexcept override {
    return WriteAt(0, bytes) && ::ftruncate(FFd, static_cast<off_t>(bytes.size())) == 0;
  }

 private:
  bool WriteAt(off_t offset, std::string_view bytes) noexcept {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pwrite(FFd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  const int FFd;
};

}  // namespace

std::unique_ptr<TTraceStore> OpenTraceStore(const std::string& path) noexcept {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  try {
    return std::make_unique<TNativeTraceStore>(fd);
  } catch (...) {
    ::close(fd);
    return nullptr;
  }
}

std::string TraceClockText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis));
}

uint32_t TraceThreadId() noexcept { return static_cast<uint32_t>(::syscall(SYS_gettid)); }
uint32_t TraceProcessId() noexcept { return static_cast<uint32_t>(::getpid()); }

}  // namespace tarvik

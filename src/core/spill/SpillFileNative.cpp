// The spill file of the native build: a file made with owner-only access and
// unlinked at once, so nothing of it outlives the process however it ends.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/spill/SpillFile.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

class TNativeSpillFile final : public TSpillFile {
 public:
  TNativeSpillFile(int fd, std::string path) : FFd(fd), FPath(std::move(path)) {}
  TNativeSpillFile(const TNativeSpillFile&) = delete;
  TNativeSpillFile& operator=(const TNativeSpillFile&) = delete;
  ~TNativeSpillFile() override { ::close(FFd); }

  bool WriteAt(uint64_t offset, const void* data, size_t size) noexcept override {
    return Transfer(::pwrite, offset, const_cast<void*>(data), size);
  }
  bool ReadAt(uint64_t offset, void* data, size_t size) noexcept override {
    return Transfer(::pread, offset, data, size);
  }

  std::string Path() const override { return FPath; }

  // The pages the file held are freed here rather than in whichever thread
  // closes it. One that cannot be emptied still goes when closed.
  void Shorten(uint64_t length) noexcept override {
    struct stat now {};
    if (::fstat(FFd, &now) != 0 || static_cast<uint64_t>(now.st_size) <= length) return;
    [[maybe_unused]] const int cut = ::ftruncate(FFd, static_cast<off_t>(length));
  }

 private:
  // All of size bytes at offset, however many calls it takes.
  template <class Call>
  bool Transfer(Call call, uint64_t offset, void* data, size_t size) noexcept {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
      const ssize_t n = call(FFd, bytes, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  const int FFd;
  const std::string FPath;
};

}  // namespace

std::string DefaultSpillFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

std::unique_ptr<TSpillFile> OpenSpillFile(const std::string& folder, std::string& error) noexcept {
  // The step under way, for the error when one throws.
  const char* step = "naming it";
  std::unique_ptr<TSpillFile> file;
  if (NoThrow([&] {
        std::string path = folder + "/" + SpillFilePrefix + "XXXXXX" + SpillFileSuffix;
        const int fd = ::mkostemps(path.data(), static_cast<int>(sizeof(SpillFileSuffix) - 1), O_CLOEXEC);
        if (fd < 0) {
          step = "telling why it failed";
          error = std::strerror(errno);
          return;
        }
        // mkostemps makes it 0600; the name goes at once.
        ::fchmod(fd, S_IRUSR | S_IWUSR);
        ::unlink(path.c_str());
        step = "keeping its descriptor";
        file = std::make_unique<TNativeSpillFile>(fd, std::move(path));
      }))
    return file;
  SpillStepFailed(error, step);
  return nullptr;
}

void RemoveStaleSpillFiles(const std::string&) noexcept {}

uint64_t SpillFolderFreeBytes(const std::string& folder) noexcept {
  struct statvfs info;
  if (::statvfs(folder.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

bool SpillRandomBytes(void* out, size_t size) noexcept {
  char* bytes = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

namespace {
std::atomic<uint32_t> ThreadsAlive{0};
}  // namespace

bool StartSpillThread(void (*run)(void*), void* arg) noexcept {
  ThreadsAlive.fetch_add(1);
  if (NoThrow([&] {
        std::thread([run, arg] {
          run(arg);
          ThreadsAlive.fetch_sub(1);
        }).detach();
      }))
    return true;
  ThreadsAlive.fetch_sub(1);
  return false;
}

uint32_t SpillThreadsAlive() noexcept { return ThreadsAlive.load(); }

}  // namespace tarvik

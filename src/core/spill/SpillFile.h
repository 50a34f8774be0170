#pragma once
// The platform's side of the spill files (one implementation per platform:
// SpillFileWin.cpp, SpillFileNative.cpp). Folders and paths are UTF-8 on
// Windows (wide from the system call to the file), the file system's bytes
// natively.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/Trace.h"

namespace tarvik {

// The platform's temporary file: created in a folder, readable only by its
// owner, never reachable by another process and gone when it is closed or
// the process dies. Positioned reads and writes may come from many threads.
class TSpillFile {
 public:
  virtual ~TSpillFile() = default;
  virtual bool WriteAt(uint64_t offset, const void* data, size_t size) noexcept = 0;
  virtual bool ReadAt(uint64_t offset, void* data, size_t size) noexcept = 0;
  // Where it was created (a name that no longer exists where the platform
  // removes the name at once).
  virtual std::string Path() const = 0;
  // Gives the file's space beyond length back (a file no longer than that
  // stays as it is), so that closing it costs little; the default keeps the
  // space until then.
  virtual void Shorten(uint64_t length) noexcept { (void)length; }
  // The writer thread wrote size bytes behind a capture's back (waited: a
  // capture waits for the writer now); true when the file's bytes are due
  // to be written out (WriteOut). Where the system writes temporary files
  // back anyway, the platform writes them out a little at a time: left to
  // the system they go in one burst every few seconds, and every other
  // request to the disk waits behind it. The default leaves them to the
  // system.
  virtual bool WroteBehind(uint64_t size, bool waited) noexcept {
    (void)size;
    (void)waited;
    return false;
  }
  // Writes what was written so far out to the disk, waiting for it.
  virtual void WriteOut() noexcept {}
};

// Counts what a file's writes behind added up to, and says when to write
// them out: each time they reach a step since the last time it said so.
// While a capture waits for the writer (at the end of its data, or with
// its stages all on their way), a write-out waits for a write nobody waits
// for, up to PutOffSteps steps: the capture, and the browser's read with
// it, would wait for the disk too. One thread at a time adds (the area's
// writer).
class TWriteOutPace {
 public:
  static constexpr uint64_t PutOffSteps = 4;
  explicit TWriteOutPace(uint64_t step) noexcept : FStep(step) {}
  bool Add(uint64_t size, bool waited = false) noexcept {
    FBehind += std::min(size, PutOffSteps * FStep);
    if (FBehind < FStep || (waited && FBehind < PutOffSteps * FStep)) return false;
    FBehind = 0;
    return true;
  }

 private:
  const uint64_t FStep;
  uint64_t FBehind = 0;  // since the last write-out
};

// The user's temporary folder.
std::string DefaultSpillFolder();
// A new spill file in folder; null with error set when it cannot be made.
std::unique_ptr<TSpillFile> OpenSpillFile(const std::string& folder, std::string& error) noexcept;
// Removes files that processes which died left in folder (none where the
// platform removes them itself). A file another process holds is kept.
void RemoveStaleSpillFiles(const std::string& folder) noexcept;
// Bytes from the platform's random source; false when there is none.
bool SpillRandomBytes(void* out, size_t size) noexcept;
// The spill file name pattern: prefix, then anything, then suffix.
inline constexpr char SpillFilePrefix[] = "TarvikSpill-";
inline constexpr char SpillFileSuffix[] = ".tmp";
// Names tried before a folder counts as full of others' files.
inline constexpr int SpillNameAttempts = 100;

// What OpenSpillFile sets error to when step throws; error stays empty when
// even that cannot be told.
inline void SpillStepFailed(std::string& error, const char* step) noexcept {
  NoThrow([&] { error = std::string(step) + " failed"; });
}

// The free bytes on the volume of folder; 0 when it cannot be told.
uint64_t SpillFolderFreeBytes(const std::string& folder) noexcept;
// Runs run(arg) on a thread of its own that keeps the library loaded until
// it returns; false (run never called) when no thread can be made.
bool StartSpillThread(void (*run)(void*), void* arg) noexcept;
// Threads StartSpillThread made that have not yet ended: until then they
// run the library's code.
uint32_t SpillThreadsAlive() noexcept;

}  // namespace tarvik

#pragma once
// Where captured bytes live. A fixed budget of them stays in memory; the rest
// goes to one temporary file per process, encrypted with a key that exists
// only in this process's memory. The browser is a 32-bit process: what it
// fetched over a long session, or one large download, must not fill its
// address space.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

class TChaCha20;

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
};

// The platform's side (one implementation per platform).
// Folders and paths are UTF-8 on Windows (wide from the system call to the
// file), the file system's bytes natively.
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

// A piece of the spill file.
struct TSpillExtent {
  uint64_t Offset = 0;
  uint64_t Size = 0;
};

// The process's memory budget for captured bytes and its spill file.
class TSpillArea {
 public:
  // 48 MiB: every small resource of a day's pages stays in memory (a page is
  // a few MiB at most), while the browser keeps the bulk of its 2 GiB user
  // address space, which a busy browser already half fills by itself.
  static constexpr uint64_t DefaultBudget = uint64_t{48} << 20;
  // The largest body captured: what a 32-bit length can say.
  static constexpr uint64_t CaptureLimit = 0xFFFFFFFFu;

  struct TOptions {
    uint64_t Budget = DefaultBudget;
    std::string Folder;  // empty: the user's temporary folder
    // Makes the file (default OpenSpillFile); tests put in files that fail.
    std::unique_ptr<TSpillFile> (*OpenFile)(const std::string& folder, std::string& error) noexcept = nullptr;
    // Milliseconds of a steady clock (default the process's); tests step it.
    uint64_t (*ClockMs)() noexcept = nullptr;
  };
  // A file that could not be made is tried again after this long, the wait
  // doubling with each failure up to the longest: a moment without the
  // temporary folder must not turn spilling off for the browser's life.
  static constexpr uint64_t FirstRetryMs = 1000;
  static constexpr uint64_t LongestRetryMs = 60000;
  explicit TSpillArea(TOptions options);
  TSpillArea();
  ~TSpillArea();
  TSpillArea(const TSpillArea&) = delete;
  TSpillArea& operator=(const TSpillArea&) = delete;

  // Counts bytes against the budget; false (nothing counted) when they do
  // not fit. Captures in memory leave StageReserve() free, so that spilling
  // transfers find room for their stages (fromReserve) when memory is full.
  bool Charge(uint64_t bytes, bool fromReserve = false) noexcept;
  // An eighth of the budget, at most 4 MiB: 64 transfers spilling at once.
  uint64_t StageReserve() const noexcept { return std::min<uint64_t>(FOptions.Budget / 8, uint64_t{4} << 20); }
  void Release(uint64_t bytes) noexcept;
  uint64_t Charged() const noexcept { return FCharged.load(); }
  uint64_t Budget() const noexcept { return FOptions.Budget; }

  // Encrypts data in place and appends it to the spill file (opened on the
  // first use). False when it cannot be written; a trace line tells why.
  bool Write(char* data, size_t size, TSpillExtent& where) noexcept;
  // Reads and decrypts bytes written before.
  bool Read(uint64_t offset, char* data, size_t size) const noexcept;
  // The open file, or null (before the first write, or when it failed).
  TSpillFile* File() const noexcept;
  // Bytes appended to the file so far.
  uint64_t Written() const noexcept { return FEnd.load(); }

 private:
  bool Open() noexcept;
  bool TryOpen(std::string& why) noexcept;

  const TOptions FOptions;
  std::atomic<uint64_t> FCharged{0};
  std::atomic<uint64_t> FEnd{0};
  mutable std::mutex FOpenLock;
  std::atomic<bool> FOpened{false};
  // Under FOpenLock: whether the last try failed, and when to try again.
  bool FFailing = false;
  uint64_t FRetryAt = 0;
  uint64_t FRetryWait = 0;
  std::unique_ptr<TSpillFile> FFile;
  std::unique_ptr<TChaCha20> FCipher;
};

// The area captures use now, made on first use. Tests put in their own; the
// library's unload drops it (its file goes when the last bytes in it do).
std::shared_ptr<TSpillArea> ProcessSpillArea();
std::shared_ptr<TSpillArea> SetProcessSpillArea(std::shared_ptr<TSpillArea> area);

// Bytes counted against a budget until this goes.
class TBudgetCharge {
 public:
  TBudgetCharge() = default;
  explicit TBudgetCharge(std::shared_ptr<TSpillArea> area) : FArea(std::move(area)) {}
  TBudgetCharge(TBudgetCharge&& other) noexcept : FArea(std::move(other.FArea)), FBytes(other.FBytes) {
    other.FBytes = 0;
  }
  TBudgetCharge& operator=(TBudgetCharge&& other) noexcept;
  ~TBudgetCharge() { Clear(); }
  bool Add(uint64_t bytes, bool fromReserve = false) noexcept;
  // Gives back what is counted beyond bytes.
  void Trim(uint64_t bytes) noexcept;
  void Clear() noexcept;
  uint64_t Bytes() const noexcept { return FBytes; }
  const std::shared_ptr<TSpillArea>& Area() const noexcept { return FArea; }

 private:
  std::shared_ptr<TSpillArea> FArea;
  uint64_t FBytes = 0;
};

// One capture's bytes, never changed once made: a string in memory, or
// pieces of the spill file.
class TCapturedBytes {
 public:
  TCapturedBytes();
  explicit TCapturedBytes(std::string text);
  explicit TCapturedBytes(std::shared_ptr<const std::string> memory);
  TCapturedBytes(std::shared_ptr<TSpillArea> area, std::vector<TSpillExtent> extents);

  uint64_t size() const noexcept { return FSize; }
  bool empty() const noexcept { return FSize == 0; }
  // The bytes when they are in memory, else null.
  const std::string* Memory() const noexcept { return FMemory.get(); }
  bool Spilled() const noexcept { return !FMemory && FSize > 0; }
  // Copies size bytes from offset on; false when the spill file cannot be read.
  bool ReadAt(uint64_t offset, char* out, size_t size) const noexcept;
  // Every byte in one string (for tests and diagnosis); empty when the spill
  // file cannot be read.
  std::string Text() const;

 private:
  std::shared_ptr<const std::string> FMemory;
  std::shared_ptr<TSpillArea> FArea;
  std::vector<TSpillExtent> FExtents;
  std::vector<uint64_t> FStarts;  // where each extent starts in the bytes, for a binary search
  uint64_t FSize = 0;
};

bool operator==(const TCapturedBytes& bytes, std::string_view text);

}  // namespace tarvik

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
#include <functional>
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

// The free bytes on the volume of folder; 0 when it cannot be told.
uint64_t SpillFolderFreeBytes(const std::string& folder) noexcept;
// Runs run(arg) on a thread of its own that keeps the library loaded until
// it returns; false (run never called) when no thread can be made.
bool StartSpillThread(void (*run)(void*), void* arg) noexcept;
// Threads StartSpillThread made that have not yet ended: until then they
// run the library's code.
uint32_t SpillThreadsAlive() noexcept;

class TBudgetCharge;
class TSpillGeneration;
class TSpillPiece;
class TSpillState;

// The writes one capture handed to its area's writer thread: how many are
// still under way, and whether one of them failed.
struct TSpillTicket {
  std::atomic<uint32_t> InFlight{0};
  std::atomic<bool> Failed{false};
};

// Bytes in the spill file, held: they stay readable while some extent holds
// their piece, and their space goes back when the last holder lets go.
struct TSpillExtent {
  std::shared_ptr<TSpillPiece> Piece;
  uint64_t Size = 0;
};

// The process's memory budget for captured bytes and its spill files. Disk
// is bounded too: bytes go to files of a segment's size, each under a key
// of its own, and a file goes as soon as nothing in it is held; when dead
// bytes outweigh held ones, the held bytes of files at most half held move
// to the newest file, a few pieces with each write, so their files go too
// (no offset is ever encrypted twice under one key). The files stay under a quota; at the quota the
// store is asked to let go of records (SetSpillLetGo) before a capture is
// refused.
class TSpillArea {
 public:
  // 48 MiB: every small resource of a day's pages stays in memory (a page is
  // a few MiB at most), while the browser keeps the bulk of its 2 GiB user
  // address space, which a busy browser already half fills by itself.
  static constexpr uint64_t DefaultBudget = uint64_t{48} << 20;
  // The largest body captured: what a 32-bit length can say.
  static constexpr uint64_t CaptureLimit = 0xFFFFFFFFu;
  // The file's default quota: the smaller of 2 GiB and a tenth of the free
  // space of its volume when it is made, so that the system drive never
  // fills for us (2 GiB holds a long session's pages; a tenth leaves other
  // programs nine), and no less than 16 MiB, so that a page still fits.
  static constexpr uint64_t LargestQuota = uint64_t{2} << 30;
  static constexpr uint64_t SmallestQuota = uint64_t{16} << 20;
  // Dead bytes below this are not worth a move.
  static constexpr uint64_t CompactFrom = uint64_t{4} << 20;
  // A compaction moves at most this many pieces in one write, and a piece
  // grows no larger than PieceLimit: no write waits for a long copy.
  static constexpr unsigned MovesPerWrite = 4;
  static constexpr uint64_t PieceLimit = uint64_t{1} << 20;

  struct TOptions {
    uint64_t Budget = DefaultBudget;
    std::string Folder;  // empty: the user's temporary folder
    // Makes the file (default OpenSpillFile); tests put in files that fail.
    std::unique_ptr<TSpillFile> (*OpenFile)(const std::string& folder, std::string& error) noexcept = nullptr;
    // Milliseconds of a steady clock (default the process's); tests step it.
    uint64_t (*ClockMs)() noexcept = nullptr;
    // Bytes the files may hold at once; 0: the default above.
    uint64_t Quota = 0;
    // Bytes a file takes before the next one starts; 0: an eighth of the
    // quota, at most 64 MiB (what one move copies at most is half of it).
    uint64_t SegmentBytes = 0;
    // Whether WriteBehind hands the cipher and the write to a thread of the
    // area's (false: it writes at once, as Write does).
    bool WriteBehind = true;
    // The free bytes of the folder's volume (default SpillFolderFreeBytes);
    // tests play a disk that fills.
    uint64_t (*FreeBytes)(const std::string& folder) noexcept = nullptr;
    // Test hooks, empty in the product: a write handed to the writer is held
    // but not yet queued; bytes go back to the budget; a writer thread has
    // left its loop and is about to end; a compaction's plan compares two
    // files while ordering them.
    std::function<void()> OnWriteBehindHeld = nullptr;
    std::function<void(uint64_t bytes)> OnRelease = nullptr;
    std::function<void()> OnWriterEnd = nullptr;
    std::function<void()> OnPlanCompare = nullptr;
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
  // An eighth of the budget, at most 8 MiB: 96 stages of 64 KiB by default,
  // so that 16 transfers spilling at once each keep five (one filling, four
  // on their way to the file) and many more keep one.
  uint64_t StageReserve() const noexcept { return std::min<uint64_t>(Budget() / 8, uint64_t{8} << 20); }
  void Release(uint64_t bytes) noexcept;
  uint64_t Charged() const noexcept;
  uint64_t Budget() const noexcept;

  // Encrypts data in place and appends it to the spill file (opened on the
  // first use), continuing the last of extents where it can, else adding
  // one. False when it cannot be written; a trace line tells why.
  bool Write(char* data, size_t size, std::vector<TSpillExtent>& extents) noexcept;
  // The same into a piece of its own.
  bool Write(char* data, size_t size, TSpillExtent& where) noexcept;
  // The same, but the cipher and the write run on the area's writer thread,
  // so that the browser's read thread goes on meanwhile: the place is taken
  // and added to extents at once, and bytes and their charge go with the
  // write. The bytes are readable once ticket has none in flight (Wait),
  // unless it failed. On success bytes is left empty (with WriteBehind off
  // it was written at once, and buffer and charge stay with the caller);
  // false when there is no place for them.
  bool WriteBehind(std::string& bytes, TBudgetCharge& charge, std::vector<TSpillExtent>& extents,
                   const std::shared_ptr<TSpillTicket>& ticket) noexcept;
  // Until ticket has at most inFlight writes under way.
  void Wait(const TSpillTicket& ticket, uint32_t inFlight) const noexcept;

  // The current file, or null (before the first write, when it failed, or
  // when nothing is held in it any more).
  TSpillFile* File() const noexcept;
  // Bytes appended to files so far, moves included.
  uint64_t Written() const noexcept;
  // Pieces moved from file to file so far.
  uint64_t Moves() const noexcept;
  // Bytes the open files take on disk, and of those the ones still held.
  uint64_t DiskBytes() const noexcept;
  uint64_t LiveBytes() const noexcept;
  // The quota in force (known once the first file was made).
  uint64_t Quota() const noexcept;

 private:
  std::shared_ptr<TSpillState> FState;
};

// Writer threads of areas that still run, until each has ended (the library
// stays loaded for them).
uint32_t SpillWritersRunning() noexcept;

// Asked, outside every lock of the area, when a write would pass the quota:
// let go of captured bytes worth at least wanted, as far as it can. The
// runtime installs the store's; null removes it.
using TSpillLetGo = void (*)(uint64_t wanted);
void SetSpillLetGo(TSpillLetGo letGo) noexcept;

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

#pragma once
// The process's spill files: bytes the memory budget has no room for, in
// temporary files encrypted under keys that exist only in this process's
// memory. Files roll over at a segment's size, go when nothing in them is
// held, and are compacted when dead bytes outweigh held ones, all under a
// quota of the disk.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/spill/SpillFile.h"

namespace tarvik {

class TBudgetCharge;  // core/CapturedBytes.h
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
  // Copies size bytes from inside on; false without a piece or when its
  // file cannot be read.
  bool Read(uint64_t inside, char* out, size_t size) const noexcept;
};

// The process's memory budget for captured bytes and its spill files. Disk
// is bounded too: bytes go to files of a segment's size, each under a key
// of its own, and a file goes as soon as nothing in it is held (the writer
// thread empties and closes it, its bytes counted until then), unless the
// files are near the quota: then it stays, up to a quarter of the quota,
// to be written over under a new key as the next file; when dead
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
  // A file nothing holds is given back this much at a time, writes going
  // first between steps: emptying a whole file of 64 MiB at once took the
  // writer some 20 ms under Wine, and the browser's reads waited behind it.
  static constexpr uint64_t ShortenStep = uint64_t{4} << 20;

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
    // Starts the writer's thread (default StartSpillThread); tests refuse
    // it, and the writes are then made on the thread that hands them over.
    bool (*StartThread)(void (*run)(void*), void* arg) noexcept = nullptr;
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
  // Until the files nothing holds any more are closed (the writer closes
  // them; until then their bytes count on the disk).
  void WaitForCloses() const noexcept;

  // The current file, or null (before the first write, when it failed, or
  // when nothing is held in it any more).
  TSpillFile* File() const noexcept;
  // Bytes written to files so far, moves included.
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

// Whether files nothing holds close where they are let go of rather than on
// a writer thread: the library's unload, which runs under the loader lock,
// must start no thread.
void SetSpillClosesInPlace(bool inPlace) noexcept;

// Asked, outside every lock of the area, when a write would pass the quota:
// let go of captured bytes worth at least wanted, as far as it can. The
// runtime installs the store's; null removes it.
using TSpillLetGo = void (*)(uint64_t wanted);
void SetSpillLetGo(TSpillLetGo letGo) noexcept;

// The area captures use now, made on first use. Tests put in their own; the
// library's unload drops it (its file goes when the last bytes in it do).
std::shared_ptr<TSpillArea> ProcessSpillArea();
std::shared_ptr<TSpillArea> SetProcessSpillArea(std::shared_ptr<TSpillArea> area);

}  // namespace tarvik

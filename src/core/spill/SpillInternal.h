#pragma once
// What the files of the spill area share among themselves and with nothing
// else: its state, files (generations) and pieces, and the writer thread.
// SpillArea.cpp holds the area, its files and the quota, SpillPieces.cpp the
// generations and pieces, SpillWriter.cpp the writer, SpillCompaction.cpp
// the moves that empty old files.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/CapturedBytes.h"
#include "core/ChaCha20.h"
#include "core/spill/SpillArea.h"
#include "core/spill/SpillFile.h"

namespace tarvik {

inline constexpr char SpillTraceSource[] = "TSpillArea";
void SpillTrace(const std::string& message) noexcept;

inline unsigned long long Ull(uint64_t value) noexcept { return static_cast<unsigned long long>(value); }

// What the files hold, shared with the generations, which may outlive the area.
struct TSpillCounters {
  std::atomic<uint64_t> Disk{0};     // bytes in files still open
  std::atomic<uint64_t> Live{0};     // of those, bytes some holder holds
  std::atomic<uint32_t> Closing{0};  // files handed to the writer to empty and close
};

// Where bytes may go: a place taken, no room under the quota, or no file.
enum class TPlaced { Yes, NoRoom, NoFile };
// A move done, to try again later (bytes on their way, or no room now), or failed.
enum class TMoved { Yes, Later, Failed };

// One file under one key. It is closed, and so removed, when the area has
// moved on from it and the last piece in it and the last reader let go.
class TSpillGeneration {
 public:
  TSpillGeneration(std::unique_ptr<TSpillFile> file, std::unique_ptr<TChaCha20> cipher,
                   std::shared_ptr<TSpillCounters> counters, std::weak_ptr<TSpillState> owner, uint64_t prior = 0)
      : File(std::move(file)),
        Cipher(std::move(cipher)),
        Counters(std::move(counters)),
        Owner(std::move(owner)),
        Prior(prior) {}
  // The file goes before its bytes stop counting: the disk never holds more
  // than is counted. The area's writer closes it where it can (SpillPieces.cpp).
  ~TSpillGeneration();
  TSpillGeneration(const TSpillGeneration&) = delete;
  TSpillGeneration& operator=(const TSpillGeneration&) = delete;

  void Register(const std::shared_ptr<TSpillPiece>& piece);
  std::vector<std::shared_ptr<TSpillPiece>> HeldPieces();

  std::unique_ptr<TSpillFile> File;
  const std::unique_ptr<TChaCha20> Cipher;
  const std::shared_ptr<TSpillCounters> Counters;
  const std::weak_ptr<TSpillState> Owner;
  // What the file already took on disk when it was taken up again under
  // this key: the bytes up to there cost no more space.
  const uint64_t Prior;
  std::atomic<uint64_t> End{0};  // bytes appended; offsets only grow
  uint64_t DiskSize() const noexcept { return std::max(End.load(), Prior); }
  std::atomic<uint64_t> Live{0};       // bytes pieces hold
  std::atomic<uint32_t> Unwritten{0};  // places taken whose bytes the writer has yet to write

 private:
  std::mutex FPiecesLock;
  std::vector<std::weak_ptr<TSpillPiece>> FPieces;
};

// Bytes of one generation that captures hold. A move to a fresh generation
// changes where they are under the piece's lock; a reader takes the place
// and the generation together, so it reads the old file or the new one,
// both whole.
class TSpillPiece {
 public:
  TSpillPiece(std::shared_ptr<TSpillGeneration> generation, uint64_t offset, uint64_t size)
      : FGeneration(std::move(generation)), FOffset(offset), FSize(size) {
    Count(*FGeneration, size, true);
  }
  ~TSpillPiece();
  TSpillPiece(const TSpillPiece&) = delete;
  TSpillPiece& operator=(const TSpillPiece&) = delete;

  bool Read(uint64_t inside, char* out, size_t size) const noexcept;
  // Grows by bytes written right after it in generation; false when it is
  // not there (moved, or another write came between) or would pass the
  // largest piece.
  bool Extend(const TSpillGeneration* generation, uint64_t offset, uint64_t size);
  // Moves the bytes to a place state takes for them in its current file
  // (fresh); they stay where they are unless Yes (SpillCompaction.cpp).
  TMoved MoveTo(TSpillState& state, std::shared_ptr<TSpillGeneration>& fresh);
  uint64_t Size() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FSize;
  }

 private:
  static void Count(TSpillGeneration& generation, uint64_t size, bool add) noexcept {
    if (add) {
      generation.Live.fetch_add(size);
      generation.Counters->Live.fetch_add(size);
    } else {
      generation.Live.fetch_sub(size);
      generation.Counters->Live.fetch_sub(size);
    }
  }

  mutable std::mutex FLock;
  std::shared_ptr<TSpillGeneration> FGeneration;
  uint64_t FOffset;
  uint64_t FSize;
};

// One write handed to the writer thread: the bytes, their charge against
// the budget and the place taken for them. Or a file nothing holds any
// more, to empty and close: what it has yet to give back counts on the
// disk until then.
struct TSpillJob {
  std::shared_ptr<TSpillGeneration> Generation;
  uint64_t Offset = 0;
  std::string Bytes;
  TBudgetCharge Charge;
  std::shared_ptr<TSpillTicket> Ticket;  // set once the write is counted in flight
  bool Waited = false;                   // a capture waited for the writer when the job was taken up
  bool WriteOutDue = false;              // the write brought its file's write-out
  std::unique_ptr<TSpillFile> Closed;
  uint64_t ClosedBytes = 0;
  std::shared_ptr<TSpillCounters> ClosedFrom;
  // The area whose compaction takes a step for this write, on the writer
  // thread once no write waits.
  std::weak_ptr<TSpillState> CompactAfter;

  // Memory, charge and file go before the write stops counting as in
  // flight: whoever waited for it sees them gone. A file to close is
  // emptied of what is left and closed.
  ~TSpillJob();
  // onWriterThread: the writer's own thread runs it, and the file may ask
  // for its bytes to be written out (TSpillFile::WroteBehind).
  void Run(bool onWriterThread) noexcept;
  // A file to close gives back one ShortenStep; true when nothing is left,
  // and the job's end closes it.
  bool ShortenStep() noexcept;
};

// The thread that encrypts and writes what captures hand it, in order, or
// empties and closes files a step at a time when no write waits (emptying
// takes a while, and writes behind it would hold up the captures that wait
// for them), unhurried unless a write waits for the space. It runs while
// there is work and a moment after, then ends (a library that is unloaded
// leaves no thread behind), and a new one starts with the next job. Without
// a thread, the jobs run where they are handed over.
class TSpillWriter : public std::enable_shared_from_this<TSpillWriter> {
 public:
  static constexpr auto Linger = std::chrono::milliseconds(200);
  static constexpr auto LongestPause = std::chrono::milliseconds(50);

  using TStartThread = bool (*)(void (*run)(void*), void* arg) noexcept;
  TSpillWriter(std::function<void()> onEnd, TStartThread startThread)
      : FOnEnd(std::move(onEnd)), FStartThread(startThread ? startThread : StartSpillThread) {}

  void Push(std::unique_ptr<TSpillJob> job) noexcept;

  template <class Ready>
  void Wait(Ready ready) noexcept {
    std::unique_lock<std::mutex> guard(FLock);
    ++FWaiters;
    FDone.wait(guard, ready);
    --FWaiters;
  }
  // The same, for space that files on their way to close give back: they
  // go at full speed meanwhile.
  template <class Ready>
  void WaitForSpace(Ready ready) noexcept {
    std::unique_lock<std::mutex> guard(FLock);
    ++FWaiters;
    if (FSpaceWanted++ == 0 && FIdle) FWork.notify_one();
    FDone.wait(guard, ready);
    --FSpaceWanted;
    --FWaiters;
  }

 private:
  static void Thread(void* arg) noexcept;
  // The job's memory and place go before anyone waiting is told, and the
  // write-out it brought after.
  void Finish(std::unique_ptr<TSpillJob> job, bool onWriterThread) noexcept;
  void Loop(bool linger) noexcept;

  const std::function<void()> FOnEnd;
  const TStartThread FStartThread;
  std::mutex FLock;
  std::condition_variable FWork;  // a job for an idle thread
  std::condition_variable FDone;  // a job done, for those waiting
  std::deque<std::unique_ptr<TSpillJob>> FQueue;
  std::deque<std::unique_ptr<TSpillJob>> FCloses;
  // A step of compaction for each write that brought one, taken while no
  // write waits: the area's, whose writes these are.
  std::weak_ptr<TSpillState> FCompact;
  uint64_t FStepsOwed = 0;
  bool FRunning = false;
  bool FIdle = false;
  uint32_t FWaiters = 0;
  uint32_t FSpaceWanted = 0;
  // A file is given back a step at a time, the steps no closer than twice
  // the last one took (but a step the system held up long holds up the next
  // no more than LongestPause): emptying keeps one processor busy (some
  // 1.4 ms each 4 MiB under Wine), and the browser's threads need it
  // meanwhile.
  std::chrono::steady_clock::time_point FNextStep{};
};

class TSpillState : public std::enable_shared_from_this<TSpillState> {
 public:
  explicit TSpillState(TSpillArea::TOptions options) : Options(std::move(options)) {}
  // Idle files close with the area (their bytes counted off).
  ~TSpillState();
  TSpillState(const TSpillState&) = delete;
  TSpillState& operator=(const TSpillState&) = delete;

  bool Write(char* data, size_t size, std::vector<TSpillExtent>& extents) noexcept;
  // A few pieces of a compaction under way move, for a write handed over.
  void CompactAfterWrite() noexcept { CompactStep(false); }
  bool WriteBehind(std::string& bytes, TBudgetCharge& charge, std::vector<TSpillExtent>& extents,
                   const std::shared_ptr<TSpillTicket>& ticket) noexcept;
  // The current generation is empty: the area moves on from it, and its file goes.
  void Drained(const TSpillGeneration* generation) noexcept;
  // Hands a file nothing holds any more, of bytes counted on the disk, to
  // the closer thread to empty and close, so that a capture that let go of
  // it does not wait for that; false (file kept) when it must close here.
  bool CloseLater(std::unique_ptr<TSpillFile>& file, uint64_t bytes) noexcept;
  // Keeps a file nothing holds any more, still counted on the disk, for
  // the next file the area needs, while the files are near the quota: its
  // space is written over under a new key rather than given back and taken
  // again (under load the system's journal holds up every thread that
  // allocates while such space goes back). False when it is not kept.
  bool KeepIdle(std::unique_ptr<TSpillFile>& file, uint64_t bytes) noexcept;
  // The place for size more bytes at the end of the current file, taken in
  // one step with the room for them, spare bytes left under the quota
  // (writers side by side never pass it together). A file that is full or
  // to be compacted is left for a new one, but written on while none can
  // be made.
  TPlaced Place(uint64_t size, uint64_t spare, std::shared_ptr<TSpillGeneration>& generation,
                uint64_t& offset) noexcept;

  const TSpillArea::TOptions Options;
  std::atomic<uint64_t> Charged{0};
  std::atomic<uint64_t> Written{0};
  std::atomic<uint64_t> Moves{0};
  std::atomic<uint64_t> Quota{0};
  std::atomic<uint64_t> Segment{0};
  const std::shared_ptr<TSpillCounters> Counters = std::make_shared<TSpillCounters>();
  mutable std::mutex Lock;  // the current generation, the list of all, and what is taken of the quota
  std::shared_ptr<TSpillGeneration> Current;
  const std::shared_ptr<TSpillWriter> Writer = std::make_shared<TSpillWriter>(Options.OnWriterEnd, Options.StartThread);
  // Files nothing holds are emptied and closed on a thread of their own:
  // emptying a file whose pages the system is writing out waits for them
  // (45-110 ms under load), and writes behind it would wait too.
  const std::shared_ptr<TSpillWriter> Closer = std::make_shared<TSpillWriter>(Options.OnWriterEnd, Options.StartThread);

 private:
  // stepHere: the compaction's step with this write runs here (otherwise
  // the writer thread takes it after the write).
  bool Take(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset, bool stepHere) noexcept;
  // Place, waiting for files on their way to close while there is no room
  // without them.
  TPlaced PlaceAfterCloses(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset) noexcept;
  TPlaced TakeLocked(uint64_t size, uint64_t spare, std::shared_ptr<TSpillGeneration>& generation,
                     uint64_t& offset) noexcept;
  static void Hold(const std::shared_ptr<TSpillGeneration>& generation, uint64_t offset, uint64_t size,
                   std::vector<TSpillExtent>& extents);
  std::shared_ptr<TSpillGeneration> NewGeneration() noexcept;
  // An idle file under a new key, or null.
  std::shared_ptr<TSpillGeneration> IdleGeneration() noexcept;
  // Idle files go to be emptied and closed: space is wanted that they do
  // not give by being written over.
  void GiveBackIdle() noexcept;
  // The quota a volume with free bytes free allows; and the quota lowered to
  // what the folder's volume allows now (free returned, 0 when unknown).
  uint64_t QuotaFor(uint64_t free) const noexcept;
  uint64_t FollowFreeSpace(const std::string& folder) noexcept;
  // False with why set, or with why empty and failed naming the step that threw.
  bool TryOpen(std::string& why, const char*& failed, std::shared_ptr<TSpillGeneration>& made) noexcept;
  // SpillCompaction.cpp.
  bool Plan(bool atQuota);
  // atQuota: waits for a step that runs elsewhere, and plans though little is dead.
  void CompactStep(bool atQuota) noexcept;
  // Spare for the moves of a compaction under way.
  uint64_t Margin() const noexcept { return Segment.load() / 2; }

  std::mutex FOpenLock;  // making files, and the retry state below
  bool FFailing = false;
  uint64_t FRetryAt = 0;
  uint64_t FRetryWait = 0;
  std::atomic<bool> FFull{false};  // the last write found no room: said once
  struct TIdleFile {
    std::unique_ptr<TSpillFile> File;
    uint64_t Bytes = 0;
  };
  // Taken after Lock where both are held: a generation let go of under
  // Lock comes here.
  std::mutex FIdleLock;
  std::vector<TIdleFile> FIdle;  // under FIdleLock
  std::atomic<uint64_t> FIdleBytes{0};
  bool FReplace = false;                                      // under Lock: the current file is to be compacted
  std::vector<std::weak_ptr<TSpillGeneration>> FGenerations;  // under Lock: every one still open
  // A compaction, a few pieces a write: the files to empty, the emptiest
  // first, and the pieces of the one being emptied.
  std::mutex FCompacting;
  std::deque<std::weak_ptr<TSpillGeneration>> FToEmpty;
  std::vector<std::weak_ptr<TSpillPiece>> FToMove;
  uint64_t FPlanned = 0, FMovedBytes = 0, FMovedPieces = 0;
  bool FWhole = true;
};

}  // namespace tarvik

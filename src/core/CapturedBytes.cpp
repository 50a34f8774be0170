#include "core/CapturedBytes.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>

#include "core/ChaCha20.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

constexpr char TraceSource[] = "TSpillArea";

std::mutex& ProcessAreaLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<TSpillArea>& ProcessArea() {
  static std::shared_ptr<TSpillArea> area;
  return area;
}

std::atomic<TSpillLetGo> LetGoHook{nullptr};

void SpillTrace(const std::string& message) noexcept { Log(TraceSource, message); }

uint64_t SteadyClockMs() noexcept {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

unsigned long long Ull(uint64_t value) noexcept { return static_cast<unsigned long long>(value); }

// What the files hold, shared with the generations, which may outlive the area.
struct TSpillCounters {
  std::atomic<uint64_t> Disk{0};  // bytes in files still open
  std::atomic<uint64_t> Live{0};  // of those, bytes some holder holds
};

// Where bytes may go: a place taken, no room under the quota, or no file.
enum class TPlaced { Yes, NoRoom, NoFile };
// A move done, to try again later (bytes on their way, or no room now), or failed.
enum class TMoved { Yes, Later, Failed };

}  // namespace

// One file under one key. It is closed, and so removed, when the area has
// moved on from it and the last piece in it and the last reader let go.
class TSpillGeneration {
 public:
  TSpillGeneration(std::unique_ptr<TSpillFile> file, std::unique_ptr<TChaCha20> cipher,
                   std::shared_ptr<TSpillCounters> counters, std::weak_ptr<TSpillState> owner)
      : File(std::move(file)), Cipher(std::move(cipher)), Counters(std::move(counters)), Owner(std::move(owner)) {}
  // The file goes before its bytes stop counting: the disk never holds more than is counted.
  ~TSpillGeneration() {
    File.reset();
    Counters->Disk.fetch_sub(End.load());
  }
  TSpillGeneration(const TSpillGeneration&) = delete;
  TSpillGeneration& operator=(const TSpillGeneration&) = delete;

  void Register(const std::shared_ptr<TSpillPiece>& piece);
  std::vector<std::shared_ptr<TSpillPiece>> HeldPieces();

  std::unique_ptr<TSpillFile> File;
  const std::unique_ptr<TChaCha20> Cipher;
  const std::shared_ptr<TSpillCounters> Counters;
  const std::weak_ptr<TSpillState> Owner;
  std::atomic<uint64_t> End{0};        // bytes appended; offsets only grow
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

  bool Read(uint64_t inside, char* out, size_t size) const noexcept {
    std::shared_ptr<TSpillGeneration> generation;
    uint64_t offset;
    {
      std::lock_guard<std::mutex> guard(FLock);
      generation = FGeneration;
      offset = FOffset + inside;
    }
    if (!generation->File->ReadAt(offset, out, size)) return false;
    generation->Cipher->Apply(offset, out, size);
    return true;
  }
  // Grows by bytes written right after it in generation; false when it is
  // not there (moved, or another write came between) or would pass the
  // largest piece.
  bool Extend(const TSpillGeneration* generation, uint64_t offset, uint64_t size) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FGeneration.get() != generation || FOffset + FSize != offset || FSize + size > TSpillArea::PieceLimit)
      return false;
    FSize += size;
    Count(*FGeneration, size, true);
    return true;
  }
  // Moves the bytes to a place state takes for them in its current file
  // (fresh); they stay where they are unless Yes.
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

namespace {

std::atomic<uint32_t> RunningWriters{0};

// One write handed to the writer thread: the bytes, their charge against
// the budget and the place taken for them.
struct TSpillJob {
  std::shared_ptr<TSpillGeneration> Generation;
  uint64_t Offset = 0;
  std::string Bytes;
  TBudgetCharge Charge;
  std::shared_ptr<TSpillTicket> Ticket;  // set once the write is counted in flight

  // Memory, charge and file go before the write stops counting as in
  // flight: whoever waited for it sees them gone.
  ~TSpillJob() {
    Charge.Clear();
    Bytes = std::string();
    if (!Ticket) return;
    Generation->Unwritten.fetch_sub(1);
    Generation.reset();
    Ticket->InFlight.fetch_sub(1);
  }
  void Run() noexcept {
    Generation->Cipher->Apply(Offset, Bytes.data(), Bytes.size());
    if (!Generation->File->WriteAt(Offset, Bytes.data(), Bytes.size())) {
      Ticket->Failed.store(true);
      SpillTrace(Format("Temporary file not written: %llu bytes at %llu", Ull(Bytes.size()), Ull(Offset)));
    }
  }
};

}  // namespace

// The thread that encrypts and writes what captures hand it, in order. It
// runs while there is work and a moment after, then ends (a library that
// is unloaded leaves no thread behind), and a new one starts with the next
// write. Without a thread, the writes happen where they are handed over.
class TSpillWriter : public std::enable_shared_from_this<TSpillWriter> {
 public:
  static constexpr auto Linger = std::chrono::milliseconds(200);

  explicit TSpillWriter(std::function<void()> onEnd) : FOnEnd(std::move(onEnd)) {}

  void Push(std::unique_ptr<TSpillJob> job) noexcept {
    std::unique_lock<std::mutex> guard(FLock);
    if (!NoThrow([&] { FQueue.push_back(std::move(job)); })) {
      guard.unlock();
      Finish(std::move(job));
      return;
    }
    if (FRunning) {
      if (FIdle) FWork.notify_one();
      return;
    }
    FRunning = true;
    RunningWriters.fetch_add(1);
    guard.unlock();
    auto* self = new (std::nothrow) std::shared_ptr<TSpillWriter>(shared_from_this());
    if (self && StartSpillThread(&TSpillWriter::Thread, self)) return;
    delete self;
    // No thread: what is queued is written here.
    Loop(false);
  }

  template <class Ready>
  void Wait(Ready ready) noexcept {
    std::unique_lock<std::mutex> guard(FLock);
    ++FWaiters;
    FDone.wait(guard, ready);
    --FWaiters;
  }

 private:
  static void Thread(void* arg) noexcept {
    std::unique_ptr<std::shared_ptr<TSpillWriter>> self(static_cast<std::shared_ptr<TSpillWriter>*>(arg));
    (*self)->Loop(true);
    if ((*self)->FOnEnd) (*self)->FOnEnd();
  }

  // The job's memory and place go before anyone waiting is told.
  void Finish(std::unique_ptr<TSpillJob> job) noexcept {
    job->Run();
    job.reset();
    std::lock_guard<std::mutex> guard(FLock);
    if (FWaiters) FDone.notify_all();
  }

  void Loop(bool linger) noexcept {
    std::unique_lock<std::mutex> guard(FLock);
    for (;;) {
      if (FQueue.empty() && linger) {
        FIdle = true;
        FWork.wait_for(guard, Linger, [this] { return !FQueue.empty(); });
        FIdle = false;
      }
      if (FQueue.empty()) break;
      std::unique_ptr<TSpillJob> job = std::move(FQueue.front());
      FQueue.pop_front();
      guard.unlock();
      Finish(std::move(job));
      guard.lock();
    }
    FRunning = false;
    RunningWriters.fetch_sub(1);
  }

  const std::function<void()> FOnEnd;
  std::mutex FLock;
  std::condition_variable FWork;  // a job for an idle thread
  std::condition_variable FDone;  // a job done, for those waiting
  std::deque<std::unique_ptr<TSpillJob>> FQueue;
  bool FRunning = false;
  bool FIdle = false;
  uint32_t FWaiters = 0;
};

// A thread that left its loop still runs this library's code until it ends.
uint32_t SpillWritersRunning() noexcept { return RunningWriters.load() + SpillThreadsAlive(); }

class TSpillState : public std::enable_shared_from_this<TSpillState> {
 public:
  explicit TSpillState(TSpillArea::TOptions options) : Options(std::move(options)) {}

  bool Write(char* data, size_t size, std::vector<TSpillExtent>& extents) noexcept;
  bool WriteBehind(std::string& bytes, TBudgetCharge& charge, std::vector<TSpillExtent>& extents,
                   const std::shared_ptr<TSpillTicket>& ticket) noexcept;
  // The current generation is empty: the area moves on from it, and its file goes.
  void Drained(const TSpillGeneration* generation) noexcept;
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
  const std::shared_ptr<TSpillWriter> Writer = std::make_shared<TSpillWriter>(Options.OnWriterEnd);

 private:
  bool Take(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset) noexcept;
  TPlaced TakeLocked(uint64_t size, uint64_t spare, std::shared_ptr<TSpillGeneration>& generation,
                     uint64_t& offset) noexcept;
  static void Hold(const std::shared_ptr<TSpillGeneration>& generation, uint64_t offset, uint64_t size,
                   std::vector<TSpillExtent>& extents);
  std::shared_ptr<TSpillGeneration> NewGeneration() noexcept;
  bool TryOpen(std::string& why, std::shared_ptr<TSpillGeneration>& made) noexcept;
  bool Plan(bool atQuota);
  // atQuota: waits for a step that runs elsewhere, and plans though little is dead.
  void CompactStep(bool atQuota) noexcept;
  // Spare for the moves of a compaction under way.
  uint64_t Margin() const noexcept { return Segment.load() / 2; }

  std::mutex FOpenLock;  // making files, and the retry state below
  bool FFailing = false;
  uint64_t FRetryAt = 0;
  uint64_t FRetryWait = 0;
  std::atomic<bool> FFull{false};                             // the last write found no room: said once
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

void TSpillGeneration::Register(const std::shared_ptr<TSpillPiece>& piece) {
  std::lock_guard<std::mutex> guard(FPiecesLock);
  // Pieces let go of are dropped from the list now and then.
  if (FPieces.size() >= 64 && (FPieces.size() & (FPieces.size() - 1)) == 0)
    FPieces.erase(std::remove_if(FPieces.begin(), FPieces.end(), [](const auto& p) { return p.expired(); }),
                  FPieces.end());
  FPieces.push_back(piece);
}

std::vector<std::shared_ptr<TSpillPiece>> TSpillGeneration::HeldPieces() {
  std::lock_guard<std::mutex> guard(FPiecesLock);
  std::vector<std::shared_ptr<TSpillPiece>> held;
  for (const std::weak_ptr<TSpillPiece>& p : FPieces)
    if (std::shared_ptr<TSpillPiece> piece = p.lock()) held.push_back(std::move(piece));
  return held;
}

TSpillPiece::~TSpillPiece() {
  Count(*FGeneration, FSize, false);
  if (FGeneration->Live.load() == 0)
    if (std::shared_ptr<TSpillState> owner = FGeneration->Owner.lock()) owner->Drained(FGeneration.get());
}

TMoved TSpillPiece::MoveTo(TSpillState& state, std::shared_ptr<TSpillGeneration>& fresh) {
  std::lock_guard<std::mutex> guard(FLock);
  // Bytes still on their way to the file stay where they will be.
  if (FGeneration->Unwritten.load() != 0) return TMoved::Later;
  uint64_t to = 0;
  switch (state.Place(FSize, 0, fresh, to)) {
    case TPlaced::Yes:
      break;
    case TPlaced::NoRoom:
      return TMoved::Later;
    case TPlaced::NoFile:
      return TMoved::Failed;
  }
  if (fresh == FGeneration) return TMoved::Failed;
  std::vector<char> chunk(static_cast<size_t>(std::min<uint64_t>(FSize, uint64_t{1} << 20)));
  for (uint64_t done = 0; done < FSize;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), FSize - done));
    if (!FGeneration->File->ReadAt(FOffset + done, chunk.data(), n)) return TMoved::Failed;
    FGeneration->Cipher->Apply(FOffset + done, chunk.data(), n);
    fresh->Cipher->Apply(to + done, chunk.data(), n);
    if (!fresh->File->WriteAt(to + done, chunk.data(), n)) return TMoved::Failed;
    done += n;
  }
  Count(*fresh, FSize, true);
  Count(*FGeneration, FSize, false);
  FGeneration = fresh;
  FOffset = to;
  return TMoved::Yes;
}

void TSpillState::Drained(const TSpillGeneration* generation) noexcept {
  std::lock_guard<std::mutex> guard(Lock);
  if (Current.get() != generation || generation->Live.load() != 0) return;
  Current.reset();
  FReplace = false;
}

bool TSpillState::TryOpen(std::string& why, std::shared_ptr<TSpillGeneration>& made) noexcept {
  uint8_t key[TChaCha20::KeySize];
  uint8_t nonce[TChaCha20::NonceSize];
  struct TWipe {
    uint8_t* Key;
    ~TWipe() { SecureWipe(Key, TChaCha20::KeySize); }
  } wipe{key};
  try {
    if (!SpillRandomBytes(key, sizeof(key)) || !SpillRandomBytes(nonce, sizeof(nonce))) {
      why = "Temporary file not made: no random source for its key";
      return false;
    }
    auto cipher = std::make_unique<TChaCha20>(key, nonce);
    const std::string folder = Options.Folder.empty() ? DefaultSpillFolder() : Options.Folder;
    RemoveStaleSpillFiles(folder);
    std::string error;
    std::unique_ptr<TSpillFile> file = (Options.OpenFile ? Options.OpenFile : OpenSpillFile)(folder, error);
    if (!file) {
      why = "Temporary file not made in " + folder + ": " + error;
      return false;
    }
    // Each file made asks the volume again: as it fills, the quota falls
    // (never rises), the bytes of our own files counted as free.
    const uint64_t free = Options.Quota ? 0 : (Options.FreeBytes ? Options.FreeBytes : SpillFolderFreeBytes)(folder);
    const uint64_t tenth =
        std::clamp<uint64_t>((free + Counters->Disk.load()) / 10, TSpillArea::SmallestQuota, TSpillArea::LargestQuota);
    if (Quota.load() != 0) {
      if (free != 0 && tenth < Quota.load()) Quota.store(tenth);
    } else {
      const uint64_t quota = Options.Quota ? Options.Quota : free == 0 ? TSpillArea::LargestQuota : tenth;
      Quota.store(quota);
      Segment.store(Options.SegmentBytes ? Options.SegmentBytes
                                         : std::clamp<uint64_t>(quota / 8, uint64_t{64} << 10, uint64_t{64} << 20));
    }
    made = std::make_shared<TSpillGeneration>(std::move(file), std::move(cipher), Counters, weak_from_this());
    return true;
  } catch (...) {
  }
  return false;
}

std::shared_ptr<TSpillGeneration> TSpillState::NewGeneration() noexcept {
  std::lock_guard<std::mutex> guard(FOpenLock);
  const uint64_t now = (Options.ClockMs ? Options.ClockMs : SteadyClockMs)();
  if (FFailing && now < FRetryAt) return nullptr;
  // An empty reason after a failure: there was no memory to say more.
  std::string why;
  std::shared_ptr<TSpillGeneration> made;
  if (TryOpen(why, made)) {
    SpillTrace((FFailing ? "Temporary file made again: " : "Temporary file made: ") + made->File->Path());
    FFailing = false;
    // Out of memory: the generation is used but never compacted.
    NoThrow([&] {
      std::lock_guard<std::mutex> list(Lock);
      FGenerations.erase(
          std::remove_if(FGenerations.begin(), FGenerations.end(), [](const auto& g) { return g.expired(); }),
          FGenerations.end());
      FGenerations.push_back(made);
    });
    return made;
  }
  // One line when spilling stops working, none for each retry that fails too.
  FRetryWait = FFailing ? std::min(FRetryWait * 2, TSpillArea::LongestRetryMs) : TSpillArea::FirstRetryMs;
  FRetryAt = now + FRetryWait;
  if (!FFailing) SpillTrace(why.empty() ? "Temporary file not made: out of memory" : why);
  FFailing = true;
  return nullptr;
}

TPlaced TSpillState::Place(uint64_t size, uint64_t spare, std::shared_ptr<TSpillGeneration>& generation,
                           uint64_t& offset) noexcept {
  std::shared_ptr<TSpillGeneration> old;
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Current && !FReplace && Current->End.load() < Segment.load())
      return TakeLocked(size, spare, generation, offset);
    old = Current;
  }
  std::shared_ptr<TSpillGeneration> made = NewGeneration();
  std::lock_guard<std::mutex> guard(Lock);
  // Another writer may have moved on meanwhile: use its file, and let this one go.
  if (made && Current == old) {
    Current = std::move(made);
    FReplace = false;
  }
  if (!Current) return TPlaced::NoFile;
  return TakeLocked(size, spare, generation, offset);
}

// Under Lock, so that no other place is taken between the look and the take.
TPlaced TSpillState::TakeLocked(uint64_t size, uint64_t spare, std::shared_ptr<TSpillGeneration>& generation,
                                uint64_t& offset) noexcept {
  const uint64_t quota = Quota.load(), disk = Counters->Disk.load();
  if (quota != 0 && (size > quota || spare > quota - size || disk > quota - size - spare)) return TPlaced::NoRoom;
  generation = Current;
  offset = generation->End.fetch_add(size);
  Counters->Disk.fetch_add(size);
  Written.fetch_add(size);
  // One key and nonce never encrypt two things at one place: a file only grows.
  if (offset > TChaCha20::StreamLimit - size) {
    FReplace = true;
    SpillTrace("Temporary file not written: it is full");
    return TPlaced::NoFile;
  }
  return TPlaced::Yes;
}

// Files at most half held are to move what they hold to the newest file and
// go with their last reader, the emptiest first; the current one is left
// for a new file first when enough of it is dead. What each holds is copied
// before the sort: other threads let go of pieces meanwhile, and a sort
// needs answers that stay put. Throws std::bad_alloc.
bool TSpillState::Plan(bool atQuota) {
  const uint64_t disk = Counters->Disk.load(), live = Counters->Live.load();
  const uint64_t dead = disk > live ? disk - live : 0;
  if (!atQuota && (dead < TSpillArea::CompactFrom || dead < live)) return false;
  struct THeld {
    uint64_t Live;
    std::weak_ptr<TSpillGeneration> Generation;
  };
  std::vector<THeld> emptiest;
  {
    std::lock_guard<std::mutex> guard(Lock);
    emptiest.reserve(FGenerations.size());
    for (const std::weak_ptr<TSpillGeneration>& g : FGenerations) {
      const std::shared_ptr<TSpillGeneration> generation = g.lock();
      if (!generation) continue;
      const uint64_t held = generation->Live.load(), end = generation->End.load();
      if (held > end / 2) continue;
      if (generation != Current)
        emptiest.push_back({held, generation});
      else if (end - held >= TSpillArea::CompactFrom)
        FReplace = true;  // emptied by a later plan, once writes go to a new file
    }
  }
  std::sort(emptiest.begin(), emptiest.end(), [this](const THeld& a, const THeld& b) {
    if (Options.OnPlanCompare) Options.OnPlanCompare();
    return a.Live < b.Live;
  });
  for (THeld& held : emptiest) FToEmpty.push_back(std::move(held.Generation));
  FPlanned = FToEmpty.size();
  FMovedBytes = FMovedPieces = 0;
  FWhole = true;
  return FPlanned != 0;
}

// A few pieces of the planned files move (a plan is made when dead bytes
// outweigh held ones and are worth a move), so that no write waits for the
// whole of a compaction.
void TSpillState::CompactStep(bool atQuota) noexcept {
  std::unique_lock<std::mutex> one(FCompacting, std::defer_lock);
  if (atQuota)
    one.lock();
  else if (!one.try_lock())
    return;
  try {
    if (FToMove.empty() && FToEmpty.empty() && !Plan(atQuota)) return;
    for (unsigned tries = 0; tries < TSpillArea::MovesPerWrite;) {
      if (FToMove.empty()) {
        if (FToEmpty.empty()) break;
        if (const std::shared_ptr<TSpillGeneration> generation = FToEmpty.front().lock())
          for (const std::shared_ptr<TSpillPiece>& piece : generation->HeldPieces()) FToMove.push_back(piece);
        FToEmpty.pop_front();
        continue;
      }
      const std::shared_ptr<TSpillPiece> piece = FToMove.back().lock();
      if (!piece) {
        FToMove.pop_back();
        continue;
      }
      ++tries;
      std::shared_ptr<TSpillGeneration> target;
      const TMoved moved = piece->MoveTo(*this, target);
      if (moved == TMoved::Later) return;  // a later write goes on from here
      FToMove.pop_back();
      if (moved == TMoved::Failed) {
        FWhole = false;
        continue;
      }
      target->Register(piece);
      Moves.fetch_add(1);
      ++FMovedPieces;
      FMovedBytes += piece->Size();
    }
    if (FToMove.empty() && FToEmpty.empty())
      SpillTrace(Format("Temporary files compacted: %llu files, %llu bytes held moved in %llu pieces%s", Ull(FPlanned),
                        Ull(FMovedBytes), Ull(FMovedPieces), FWhole ? "" : "; some could not be moved"));
  } catch (...) {
    // Out of memory: this plan ends, and a later write makes another.
    FToMove.clear();
    FToEmpty.clear();
  }
}

// A place for size bytes, made by compacting and letting go if need be;
// false (said once until a write fits again) when there is none.
bool TSpillState::Take(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset) noexcept {
  CompactStep(false);
  TPlaced placed = Place(size, Margin(), generation, offset);
  if (placed == TPlaced::NoRoom) {
    CompactStep(true);
    placed = Place(size, Margin(), generation, offset);
  }
  if (placed == TPlaced::NoRoom)
    if (TSpillLetGo letGo = LetGoHook.load()) {
      // A quarter of the quota at least: the held bytes then move once for
      // that much written, not for every write at the quota.
      const uint64_t quota = Quota.load(), disk = Counters->Disk.load();
      letGo(std::max(disk + size > quota ? disk + size - quota : size, quota / 4));
      CompactStep(true);
      placed = Place(size, Margin(), generation, offset);
    }
  if (placed == TPlaced::NoRoom && !FFull.exchange(true))
    SpillTrace(Format("Temporary file full: %llu bytes of %llu held; a capture is not kept", Ull(Counters->Live.load()),
                      Ull(Quota.load())));
  if (placed != TPlaced::Yes) return false;
  FFull.store(false);
  return true;
}

// The bytes at offset join extents: the last piece grows when this capture
// alone holds it and the bytes follow it. Throws std::bad_alloc.
void TSpillState::Hold(const std::shared_ptr<TSpillGeneration>& generation, uint64_t offset, uint64_t size,
                       std::vector<TSpillExtent>& extents) {
  if (!extents.empty() && extents.back().Piece && extents.back().Piece.use_count() == 1 &&
      extents.back().Piece->Extend(generation.get(), offset, size)) {
    extents.back().Size += size;
    return;
  }
  auto piece = std::make_shared<TSpillPiece>(generation, offset, size);
  generation->Register(piece);
  extents.push_back({std::move(piece), size});
}

bool TSpillState::Write(char* data, size_t size, std::vector<TSpillExtent>& extents) noexcept {
  try {
    std::shared_ptr<TSpillGeneration> generation;
    uint64_t offset = 0;
    if (!Take(size, generation, offset)) return false;
    generation->Cipher->Apply(offset, data, size);
    if (!generation->File->WriteAt(offset, data, size)) {
      SpillTrace(Format("Temporary file not written: %llu bytes at %llu", Ull(size), Ull(offset)));
      return false;
    }
    Hold(generation, offset, size, extents);
    return true;
  } catch (...) {
    SpillTrace("Temporary file not written: out of memory");
    return false;
  }
}

bool TSpillState::WriteBehind(std::string& bytes, TBudgetCharge& charge, std::vector<TSpillExtent>& extents,
                              const std::shared_ptr<TSpillTicket>& ticket) noexcept {
  if (!Options.WriteBehind) {
    // Written here: the caller keeps the buffer and its charge for the next bytes.
    if (!Write(bytes.data(), bytes.size(), extents)) return false;
    bytes.clear();
    return true;
  }
  const size_t size = bytes.size();
  try {
    auto job = std::make_unique<TSpillJob>();
    if (!Take(size, job->Generation, job->Offset)) return false;
    // Counted before the bytes are held: a move never takes them unwritten.
    job->Generation->Unwritten.fetch_add(1);
    ticket->InFlight.fetch_add(1);
    job->Ticket = ticket;
    Hold(job->Generation, job->Offset, size, extents);
    job->Bytes = std::move(bytes);
    job->Charge = std::move(charge);
    bytes = std::string();
    if (Options.OnWriteBehindHeld) Options.OnWriteBehindHeld();
    Writer->Push(std::move(job));
    return true;
  } catch (...) {
    SpillTrace("Temporary file not written: out of memory");
    return false;
  }
}

TSpillArea::TSpillArea(TOptions options) : FState(std::make_shared<TSpillState>(std::move(options))) {}
TSpillArea::TSpillArea() : TSpillArea(TOptions{}) {}
TSpillArea::~TSpillArea() = default;

uint64_t TSpillArea::Budget() const noexcept { return FState->Options.Budget; }
uint64_t TSpillArea::Charged() const noexcept { return FState->Charged.load(); }

bool TSpillArea::Charge(uint64_t bytes, bool fromReserve) noexcept {
  const uint64_t limit = fromReserve ? Budget() : Budget() - StageReserve();
  uint64_t now = FState->Charged.load();
  do {
    if (bytes > limit || now > limit - bytes) return false;
  } while (!FState->Charged.compare_exchange_weak(now, now + bytes));
  return true;
}

void TSpillArea::Release(uint64_t bytes) noexcept {
  if (FState->Options.OnRelease) FState->Options.OnRelease(bytes);
  FState->Charged.fetch_sub(bytes);
}

bool TSpillArea::Write(char* data, size_t size, std::vector<TSpillExtent>& extents) noexcept {
  return FState->Write(data, size, extents);
}

bool TSpillArea::Write(char* data, size_t size, TSpillExtent& where) noexcept {
  std::vector<TSpillExtent> one;
  if (!NoThrow([&] { one.reserve(1); })) return false;
  if (!FState->Write(data, size, one)) return false;
  where = std::move(one.front());
  return true;
}

bool TSpillArea::WriteBehind(std::string& bytes, TBudgetCharge& charge, std::vector<TSpillExtent>& extents,
                             const std::shared_ptr<TSpillTicket>& ticket) noexcept {
  return FState->WriteBehind(bytes, charge, extents, ticket);
}

void TSpillArea::Wait(const TSpillTicket& ticket, uint32_t inFlight) const noexcept {
  if (ticket.InFlight.load() <= inFlight) return;
  FState->Writer->Wait([&] { return ticket.InFlight.load() <= inFlight; });
}

TSpillFile* TSpillArea::File() const noexcept {
  std::lock_guard<std::mutex> guard(FState->Lock);
  return FState->Current ? FState->Current->File.get() : nullptr;
}

uint64_t TSpillArea::Written() const noexcept { return FState->Written.load(); }
uint64_t TSpillArea::Moves() const noexcept { return FState->Moves.load(); }
uint64_t TSpillArea::DiskBytes() const noexcept { return FState->Counters->Disk.load(); }
uint64_t TSpillArea::LiveBytes() const noexcept { return FState->Counters->Live.load(); }
uint64_t TSpillArea::Quota() const noexcept { return FState->Quota.load(); }

void SetSpillLetGo(TSpillLetGo letGo) noexcept { LetGoHook.store(letGo); }

std::shared_ptr<TSpillArea> ProcessSpillArea() {
  std::lock_guard<std::mutex> guard(ProcessAreaLock());
  std::shared_ptr<TSpillArea>& area = ProcessArea();
  if (!area) area = std::make_shared<TSpillArea>();
  return area;
}

std::shared_ptr<TSpillArea> SetProcessSpillArea(std::shared_ptr<TSpillArea> area) {
  std::lock_guard<std::mutex> guard(ProcessAreaLock());
  ProcessArea().swap(area);
  return area;
}

// ---------------------------------------------------------------- charge

TBudgetCharge& TBudgetCharge::operator=(TBudgetCharge&& other) noexcept {
  if (this != &other) {
    Clear();
    FArea = std::move(other.FArea);
    FBytes = other.FBytes;
    other.FBytes = 0;
  }
  return *this;
}

bool TBudgetCharge::Add(uint64_t bytes, bool fromReserve) noexcept {
  if (!FArea || !FArea->Charge(bytes, fromReserve)) return false;
  FBytes += bytes;
  return true;
}

void TBudgetCharge::Trim(uint64_t bytes) noexcept {
  if (bytes >= FBytes) return;
  FArea->Release(FBytes - bytes);
  FBytes = bytes;
}

void TBudgetCharge::Clear() noexcept {
  if (FArea && FBytes) FArea->Release(FBytes);
  FBytes = 0;
}

// ---------------------------------------------------------------- bytes

TCapturedBytes::TCapturedBytes() : FMemory(std::make_shared<const std::string>()) {}

TCapturedBytes::TCapturedBytes(std::string text)
    : TCapturedBytes(std::make_shared<const std::string>(std::move(text))) {}

TCapturedBytes::TCapturedBytes(std::shared_ptr<const std::string> memory)
    : FMemory(std::move(memory)), FSize(FMemory ? FMemory->size() : 0) {
  if (!FMemory) FMemory = std::make_shared<const std::string>();
}

TCapturedBytes::TCapturedBytes(std::shared_ptr<TSpillArea> area, std::vector<TSpillExtent> extents)
    : FArea(std::move(area)), FExtents(std::move(extents)) {
  FStarts.reserve(FExtents.size());
  for (const TSpillExtent& e : FExtents) {
    FStarts.push_back(FSize);
    FSize += e.Size;
  }
  if (FSize == 0) FMemory = std::make_shared<const std::string>();
}

bool TCapturedBytes::ReadAt(uint64_t offset, char* out, size_t size) const noexcept {
  if (offset > FSize || size > FSize - offset) return false;
  if (FMemory) {
    std::memcpy(out, FMemory->data() + offset, size);
    return true;
  }
  // The extent that holds offset, then on in order: a read may cross into the next.
  size_t k = static_cast<size_t>(std::upper_bound(FStarts.begin(), FStarts.end(), offset) - FStarts.begin()) - 1;
  for (; size > 0 && k < FExtents.size(); ++k) {
    const uint64_t inside = offset - FStarts[k];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, FExtents[k].Size - inside));
    if (!FExtents[k].Piece || !FExtents[k].Piece->Read(inside, out, n)) return false;
    out += n;
    offset += n;
    size -= n;
  }
  return size == 0;
}

std::string TCapturedBytes::Text() const {
  if (FMemory) return *FMemory;
  std::string text(static_cast<size_t>(FSize), '\0');
  if (!ReadAt(0, text.data(), text.size())) text.clear();
  return text;
}

bool operator==(const TCapturedBytes& bytes, std::string_view text) {
  if (bytes.size() != text.size()) return false;
  if (const std::string* memory = bytes.Memory()) return *memory == text;
  return bytes.Text() == text;
}

}  // namespace tarvik

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

}  // namespace

// One file under one key. It is closed, and so removed, when the area has
// moved on from it and the last piece in it and the last reader let go.
class TSpillGeneration {
 public:
  TSpillGeneration(std::unique_ptr<TSpillFile> file, std::unique_ptr<TChaCha20> cipher,
                   std::shared_ptr<TSpillCounters> counters, std::weak_ptr<TSpillState> owner)
      : File(std::move(file)), Cipher(std::move(cipher)), Counters(std::move(counters)), Owner(std::move(owner)) {}
  ~TSpillGeneration() { Counters->Disk.fetch_sub(End.load()); }
  TSpillGeneration(const TSpillGeneration&) = delete;
  TSpillGeneration& operator=(const TSpillGeneration&) = delete;

  void Register(const std::shared_ptr<TSpillPiece>& piece);
  std::vector<std::shared_ptr<TSpillPiece>> HeldPieces();

  const std::unique_ptr<TSpillFile> File;
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
  // not there (moved, or another write came between).
  bool Extend(const TSpillGeneration* generation, uint64_t offset, uint64_t size) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FGeneration.get() != generation || FOffset + FSize != offset) return false;
    FSize += size;
    Count(*FGeneration, size, true);
    return true;
  }
  // Moves the bytes into fresh; false (left where they are) when they cannot be.
  bool MoveTo(const std::shared_ptr<TSpillGeneration>& fresh);
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

  std::mutex FLock;
  std::condition_variable FWork;  // a job for an idle thread
  std::condition_variable FDone;  // a job done, for those waiting
  std::deque<std::unique_ptr<TSpillJob>> FQueue;
  bool FRunning = false;
  bool FIdle = false;
  uint32_t FWaiters = 0;
};

uint32_t SpillWritersRunning() noexcept { return RunningWriters.load(); }

class TSpillState : public std::enable_shared_from_this<TSpillState> {
 public:
  explicit TSpillState(TSpillArea::TOptions options) : Options(std::move(options)) {}

  bool Write(char* data, size_t size, std::vector<TSpillExtent>& extents) noexcept;
  bool WriteBehind(std::string& bytes, TBudgetCharge& charge, std::vector<TSpillExtent>& extents,
                   const std::shared_ptr<TSpillTicket>& ticket) noexcept;
  // The current generation is empty: the area moves on from it, and its file goes.
  void Drained(const TSpillGeneration* generation) noexcept;

  const TSpillArea::TOptions Options;
  std::atomic<uint64_t> Charged{0};
  std::atomic<uint64_t> Written{0};
  std::atomic<uint64_t> Quota{0};
  std::atomic<uint64_t> Segment{0};
  const std::shared_ptr<TSpillCounters> Counters = std::make_shared<TSpillCounters>();
  mutable std::mutex Lock;  // the current generation and the list of all
  std::shared_ptr<TSpillGeneration> Current;
  const std::shared_ptr<TSpillWriter> Writer = std::make_shared<TSpillWriter>();

 private:
  bool MakeRoom(uint64_t size) noexcept;
  bool Place(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset) noexcept;
  static void Hold(const std::shared_ptr<TSpillGeneration>& generation, uint64_t offset, uint64_t size,
                   std::vector<TSpillExtent>& extents);
  std::shared_ptr<TSpillGeneration> CurrentOrNew() noexcept;
  std::shared_ptr<TSpillGeneration> NewGeneration() noexcept;
  bool TryOpen(std::string& why, std::shared_ptr<TSpillGeneration>& made) noexcept;
  bool Room(uint64_t size) noexcept;
  void CompactIfWorthIt() noexcept;
  // wait: for a compaction that runs elsewhere to end first (at the quota);
  // else none starts while one runs.
  void Compact(bool wait = false) noexcept;
  uint64_t Margin() const noexcept { return Segment.load() / 2; }

  std::mutex FOpenLock;  // making files, and the retry state below
  bool FFailing = false;
  uint64_t FRetryAt = 0;
  uint64_t FRetryWait = 0;
  std::atomic<bool> FFull{false};                             // the last write found no room: said once
  std::mutex FCompacting;                                     // one compaction at a time
  std::vector<std::weak_ptr<TSpillGeneration>> FGenerations;  // under Lock: every one still open
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

bool TSpillPiece::MoveTo(const std::shared_ptr<TSpillGeneration>& fresh) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FGeneration == fresh) return true;
  // Bytes still on their way to the file stay where they will be.
  if (FGeneration->Unwritten.load() != 0) return false;
  const uint64_t to = fresh->End.fetch_add(FSize);
  fresh->Counters->Disk.fetch_add(FSize);
  if (to > TChaCha20::StreamLimit - FSize) return false;
  std::vector<char> chunk(static_cast<size_t>(std::min<uint64_t>(FSize, uint64_t{1} << 20)));
  for (uint64_t done = 0; done < FSize;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), FSize - done));
    if (!FGeneration->File->ReadAt(FOffset + done, chunk.data(), n)) return false;
    FGeneration->Cipher->Apply(FOffset + done, chunk.data(), n);
    fresh->Cipher->Apply(to + done, chunk.data(), n);
    if (!fresh->File->WriteAt(to + done, chunk.data(), n)) return false;
    done += n;
  }
  Count(*fresh, FSize, true);
  Count(*FGeneration, FSize, false);
  FGeneration = fresh;
  FOffset = to;
  return true;
}

void TSpillState::Drained(const TSpillGeneration* generation) noexcept {
  std::lock_guard<std::mutex> guard(Lock);
  if (Current.get() == generation && generation->Live.load() == 0) Current.reset();
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
    if (Quota.load() == 0) {
      uint64_t quota = Options.Quota;
      if (quota == 0) {
        const uint64_t free = SpillFolderFreeBytes(folder);
        quota = free == 0 ? TSpillArea::LargestQuota
                          : std::clamp<uint64_t>(free / 10, TSpillArea::SmallestQuota, TSpillArea::LargestQuota);
      }
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

std::shared_ptr<TSpillGeneration> TSpillState::CurrentOrNew() noexcept {
  std::shared_ptr<TSpillGeneration> full;
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Current && Current->End.load() < Segment.load()) return Current;
    full = Current;
  }
  std::shared_ptr<TSpillGeneration> made = NewGeneration();
  std::lock_guard<std::mutex> guard(Lock);
  // Another writer may have moved on meanwhile: use the first, and let this one go.
  if (Current == full && made) Current = std::move(made);
  return Current;
}

// Room for size bytes and one move of what a file holds (so that making
// room never passes the quota).
bool TSpillState::Room(uint64_t size) noexcept {
  const uint64_t quota = Quota.load(), need = size + Margin();
  return quota == 0 || (need <= quota && Counters->Disk.load() <= quota - need);
}

// Dead bytes that outweigh the held ones (and are worth a move) go.
void TSpillState::CompactIfWorthIt() noexcept {
  const uint64_t disk = Counters->Disk.load(), live = Counters->Live.load();
  const uint64_t dead = disk > live ? disk - live : 0;
  if (dead >= TSpillArea::CompactFrom && dead >= live) Compact();
}

// Files at most half held, the emptiest first, move what they hold to the
// newest file and go when their last reader lets go; the current file is
// closed for that first when enough of it is dead.
void TSpillState::Compact(bool wait) noexcept {
  std::unique_lock<std::mutex> one(FCompacting, std::defer_lock);
  if (wait)
    one.lock();
  else if (!one.try_lock())
    return;
  auto halfHeld = [](const TSpillGeneration& g) { return g.Live.load() * 2 <= g.End.load(); };
  std::vector<std::shared_ptr<TSpillGeneration>> emptiest;
  try {
    std::lock_guard<std::mutex> guard(Lock);
    if (Current && Current->End.load() - Current->Live.load() >= TSpillArea::CompactFrom && halfHeld(*Current))
      Current.reset();
    for (const std::weak_ptr<TSpillGeneration>& g : FGenerations)
      if (std::shared_ptr<TSpillGeneration> generation = g.lock();
          generation && generation != Current && halfHeld(*generation))
        emptiest.push_back(std::move(generation));
  } catch (...) {
    return;
  }
  std::sort(emptiest.begin(), emptiest.end(),
            [](const auto& a, const auto& b) { return a->Live.load() < b->Live.load(); });
  uint64_t moved = 0, pieces = 0;
  bool whole = true;
  try {
    for (std::shared_ptr<TSpillGeneration>& generation : emptiest) {
      Writer->Wait([&] { return generation->Unwritten.load() == 0; });
      for (const std::shared_ptr<TSpillPiece>& piece : generation->HeldPieces()) {
        const std::shared_ptr<TSpillGeneration> target = CurrentOrNew();
        if (target && target != generation && piece->MoveTo(target)) {
          target->Register(piece);
          moved += piece->Size();
        } else {
          whole = false;
        }
        ++pieces;
      }
      generation.reset();  // its file goes with its last reader
    }
  } catch (...) {
    whole = false;
  }
  if (!emptiest.empty())
    SpillTrace(Format("Temporary files compacted: %llu files, %llu bytes held moved in %llu pieces%s",
                      Ull(emptiest.size()), Ull(moved), Ull(pieces), whole ? "" : "; some could not be moved"));
}

// Room for size bytes, made by compacting and letting go if need be; false
// (said once until a write fits again) when there is none.
bool TSpillState::MakeRoom(uint64_t size) noexcept {
  CompactIfWorthIt();
  if (!Room(size)) {
    Compact(true);
    if (!Room(size))
      if (TSpillLetGo letGo = LetGoHook.load()) {
        // A quarter of the quota at least: the held bytes then move once for
        // that much written, not for every write at the quota.
        const uint64_t quota = Quota.load(), disk = Counters->Disk.load();
        letGo(std::max(disk + size > quota ? disk + size - quota : size, quota / 4));
        Compact(true);
      }
    if (!Room(size)) {
      if (!FFull.exchange(true))
        SpillTrace(Format("Temporary file full: %llu bytes of %llu held; a capture is not kept",
                          Ull(Counters->Live.load()), Ull(Quota.load())));
      return false;
    }
  }
  FFull.store(false);
  return true;
}

// The place for size more bytes: the current file, and the offset it ends at.
bool TSpillState::Place(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset) noexcept {
  generation = CurrentOrNew();
  if (!generation) return false;
  offset = generation->End.fetch_add(size);
  generation->Counters->Disk.fetch_add(size);
  Written.fetch_add(size);
  // One key and nonce never encrypt two things at one place: a file only grows.
  if (offset > TChaCha20::StreamLimit - size) {
    SpillTrace("Temporary file not written: it is full");
    return false;
  }
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
  if (!MakeRoom(size)) return false;
  try {
    std::shared_ptr<TSpillGeneration> generation;
    uint64_t offset = 0;
    if (!Place(size, generation, offset)) return false;
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
  if (!MakeRoom(size)) return false;
  try {
    auto job = std::make_unique<TSpillJob>();
    if (!Place(size, job->Generation, job->Offset)) return false;
    // Counted before the bytes are held: a move never takes them unwritten.
    job->Generation->Unwritten.fetch_add(1);
    ticket->InFlight.fetch_add(1);
    job->Ticket = ticket;
    Hold(job->Generation, job->Offset, size, extents);
    job->Bytes = std::move(bytes);
    job->Charge = std::move(charge);
    bytes = std::string();
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

void TSpillArea::Release(uint64_t bytes) noexcept { FState->Charged.fetch_sub(bytes); }

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

// The spill area: its files (made, retried and rolled over), the quota, the
// places bytes take and the writes, and the process's area.
#include <algorithm>
#include <chrono>

#include "core/spill/SpillInternal.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

std::mutex& ProcessAreaLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<TSpillArea>& ProcessArea() {
  static std::shared_ptr<TSpillArea> area;
  return area;
}

std::atomic<TSpillLetGo> LetGoHook{nullptr};
std::atomic<bool> ClosesInPlace{false};

// A cipher under a new random key and nonce; null without a random source.
// Throws std::bad_alloc.
std::unique_ptr<TChaCha20> FreshCipher() {
  uint8_t key[TChaCha20::KeySize];
  uint8_t nonce[TChaCha20::NonceSize];
  struct TWipe {
    uint8_t* Key;
    ~TWipe() { SecureWipe(Key, TChaCha20::KeySize); }
  } wipe{key};
  if (!SpillRandomBytes(key, sizeof(key)) || !SpillRandomBytes(nonce, sizeof(nonce))) return nullptr;
  return std::make_unique<TChaCha20>(key, nonce);
}

uint64_t SteadyClockMs() noexcept {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

void SpillTrace(const std::string& message) noexcept { Log(SpillTraceSource, message); }

TSpillState::~TSpillState() {
  for (TIdleFile& idle : FIdle) {
    idle.File.reset();
    Counters->Disk.fetch_sub(idle.Bytes);
  }
}

void TSpillState::Drained(const TSpillGeneration* generation) noexcept {
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Current.get() == generation && generation->Live.load() == 0) {
      Current.reset();
      FReplace = false;
    }
  }
  // Nothing held at all: no file is about to be wanted.
  if (Counters->Live.load() == 0 && FIdleBytes.load() != 0) GiveBackIdle();
}

bool TSpillState::KeepIdle(std::unique_ptr<TSpillFile>& file, uint64_t bytes) noexcept {
  const uint64_t quota = Quota.load(), disk = Counters->Disk.load();
  // Files far from the quota give their space back as they go; and so does
  // each once a quarter of the quota (what one let-go frees) sits idle, or
  // one that moves made much longer than a segment (its tail would stay idle).
  if (!file || bytes == 0 || ClosesInPlace.load() || quota == 0 || bytes > Segment.load() + TSpillArea::PieceLimit ||
      disk < quota / 2 || Counters->Live.load() == 0)
    return false;
  std::lock_guard<std::mutex> guard(FIdleLock);
  if (FIdleBytes.load() + bytes > quota / 4) return false;
  if (!NoThrow([&] { FIdle.push_back({std::move(file), bytes}); })) return false;
  FIdleBytes.fetch_add(bytes);
  return true;
}

void TSpillState::GiveBackIdle() noexcept {
  std::vector<TIdleFile> idle;
  {
    std::lock_guard<std::mutex> guard(FIdleLock);
    idle.swap(FIdle);
    FIdleBytes.store(0);
  }
  for (TIdleFile& one : idle)
    if (!CloseLater(one.File, one.Bytes)) {
      one.File.reset();
      Counters->Disk.fetch_sub(one.Bytes);
    }
}

std::shared_ptr<TSpillGeneration> TSpillState::IdleGeneration() noexcept {
  if (FIdleBytes.load() == 0) return nullptr;
  std::unique_ptr<TChaCha20> cipher;
  if (!NoThrow([&] {
        cipher = FreshCipher();
        FollowFreeSpace(Options.Folder.empty() ? DefaultSpillFolder() : Options.Folder);
      }) ||
      !cipher)
    return nullptr;
  std::shared_ptr<TSpillGeneration> made;
  {
    std::lock_guard<std::mutex> guard(FIdleLock);
    if (FIdle.empty()) return nullptr;
    NoThrow([&] {
      TIdleFile& idle = FIdle.back();
      made = std::make_shared<TSpillGeneration>(std::move(idle.File), std::move(cipher), Counters, weak_from_this(),
                                                idle.Bytes);
      FIdleBytes.fetch_sub(idle.Bytes);
      FIdle.pop_back();
    });
  }
  // Out of memory: the generation is used but never compacted.
  if (made)
    NoThrow([&] {
      std::lock_guard<std::mutex> list(Lock);
      FGenerations.push_back(made);
    });
  return made;
}

bool TSpillState::CloseLater(std::unique_ptr<TSpillFile>& file, uint64_t bytes) noexcept {
  if (!Options.WriteBehind || ClosesInPlace.load() || !file) return false;
  std::unique_ptr<TSpillJob> job;
  if (!NoThrow([&] { job = std::make_unique<TSpillJob>(); })) return false;
  job->ClosedFrom = Counters;
  job->ClosedBytes = bytes;
  Counters->Closing.fetch_add(1);
  job->Closed = std::move(file);
  Closer->Push(std::move(job));
  return true;
}

uint64_t TSpillState::QuotaFor(uint64_t free) const noexcept {
  return std::clamp<uint64_t>((free + Counters->Disk.load()) / 10, TSpillArea::SmallestQuota, TSpillArea::LargestQuota);
}

// Each file made or taken up again asks the volume again: as it fills, the
// quota falls (never rises), the bytes of our own files counted as free.
uint64_t TSpillState::FollowFreeSpace(const std::string& folder) noexcept {
  const uint64_t free = Options.Quota ? 0 : (Options.FreeBytes ? Options.FreeBytes : SpillFolderFreeBytes)(folder);
  if (Quota.load() != 0 && free != 0 && QuotaFor(free) < Quota.load()) Quota.store(QuotaFor(free));
  return free;
}

bool TSpillState::TryOpen(std::string& why, const char*& failed, std::shared_ptr<TSpillGeneration>& made) noexcept {
  bool opened = false;
  // failed names the step under way: an exception leaves no other word of it.
  NoThrow([&] {
    failed = "Temporary file not made: making its key failed";
    std::unique_ptr<TChaCha20> cipher = FreshCipher();
    if (!cipher) {
      why = "Temporary file not made: no random source for its key";
      return;
    }
    failed = "Temporary file not made: opening it failed";
    const std::string folder = Options.Folder.empty() ? DefaultSpillFolder() : Options.Folder;
    RemoveStaleSpillFiles(folder);
    std::string error;
    std::unique_ptr<TSpillFile> file = (Options.OpenFile ? Options.OpenFile : OpenSpillFile)(folder, error);
    if (!file) {
      why = "Temporary file not made in " + folder + ": " + error;
      return;
    }
    const uint64_t free = FollowFreeSpace(folder);
    if (Quota.load() == 0) {
      const uint64_t tenth = QuotaFor(free);
      const uint64_t quota = Options.Quota ? Options.Quota : free == 0 ? TSpillArea::LargestQuota : tenth;
      Quota.store(quota);
      Segment.store(Options.SegmentBytes ? Options.SegmentBytes
                                         : std::clamp<uint64_t>(quota / 8, uint64_t{64} << 10, uint64_t{64} << 20));
    }
    failed = "Temporary file not made: recording it failed";
    made = std::make_shared<TSpillGeneration>(std::move(file), std::move(cipher), Counters, weak_from_this());
    opened = true;
  });
  return opened;
}

std::shared_ptr<TSpillGeneration> TSpillState::NewGeneration() noexcept {
  std::lock_guard<std::mutex> guard(FOpenLock);
  if (std::shared_ptr<TSpillGeneration> idle = IdleGeneration()) return idle;
  const uint64_t now = (Options.ClockMs ? Options.ClockMs : SteadyClockMs)();
  if (FFailing && now < FRetryAt) return nullptr;
  // An empty reason after a failure: the step that threw says it.
  std::string why;
  const char* failed = nullptr;
  std::shared_ptr<TSpillGeneration> made;
  if (TryOpen(why, failed, made)) {
    // Built inside the trace call, where a failure to build it ends.
    Log(SpillTraceSource,
        [&] { return (FFailing ? "Temporary file made again: " : "Temporary file made: ") + made->File->Path(); });
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
  if (!FFailing) {
    if (why.empty())
      Log(SpillTraceSource, failed);
    else
      SpillTrace(why);
  }
  FFailing = true;
  return nullptr;
}

TPlaced TSpillState::Place(uint64_t size, uint64_t spare, std::shared_ptr<TSpillGeneration>& generation,
                           uint64_t& offset) noexcept {
  std::shared_ptr<TSpillGeneration> old;
  bool roomless = false;
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Current && !FReplace && Current->End.load() < Segment.load()) {
      const TPlaced placed = TakeLocked(size, spare, generation, offset);
      // No room, but an idle file's space is counted already: writes move on to it.
      if (placed != TPlaced::NoRoom || FIdleBytes.load() == 0) return placed;
      roomless = true;
    }
    old = Current;
  }
  // Without room only an idle file helps; a new one would find none either.
  std::shared_ptr<TSpillGeneration> made = roomless ? IdleGeneration() : NewGeneration();
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
  // Only bytes past what the file already took cost space (End changes under Lock alone).
  const uint64_t end = Current->End.load(), from = std::max(end, Current->Prior);
  const uint64_t grows = end + size > from ? end + size - from : 0;
  if (quota != 0 && grows != 0 && (grows > quota || spare > quota - grows || disk > quota - grows - spare))
    return TPlaced::NoRoom;
  generation = Current;
  offset = generation->End.fetch_add(size);
  Counters->Disk.fetch_add(grows);
  Written.fetch_add(size);
  // One key and nonce never encrypt two things at one place: a file only grows.
  if (offset > TChaCha20::StreamLimit - size) {
    FReplace = true;
    SpillTrace("Temporary file not written: it is full");
    return TPlaced::NoFile;
  }
  return TPlaced::Yes;
}

TPlaced TSpillState::PlaceAfterCloses(uint64_t size, std::shared_ptr<TSpillGeneration>& generation,
                                      uint64_t& offset) noexcept {
  TPlaced placed = Place(size, Margin(), generation, offset);
  while (placed == TPlaced::NoRoom && Counters->Closing.load() != 0) {
    // Each file closed, or any other change on the disk, is worth a look.
    const uint64_t disk = Counters->Disk.load();
    Closer->WaitForSpace([&] { return Counters->Closing.load() == 0 || Counters->Disk.load() != disk; });
    placed = Place(size, Margin(), generation, offset);
  }
  return placed;
}

// A place for size bytes, made by compacting and letting go if need be;
// false (said once until a write fits again) when there is none.
bool TSpillState::Take(uint64_t size, std::shared_ptr<TSpillGeneration>& generation, uint64_t& offset,
                       bool stepHere) noexcept {
  if (stepHere) CompactStep(false);
  TPlaced placed = Place(size, Margin(), generation, offset);
  if (placed == TPlaced::NoRoom) {
    CompactStep(true);
    GiveBackIdle();
    placed = PlaceAfterCloses(size, generation, offset);
  }
  if (placed == TPlaced::NoRoom)
    if (TSpillLetGo letGo = LetGoHook.load()) {
      // A quarter of the quota at least: the held bytes then move once for
      // that much written, not for every write at the quota.
      const uint64_t quota = Quota.load(), disk = Counters->Disk.load();
      letGo(std::max(disk + size > quota ? disk + size - quota : size, quota / 4));
      CompactStep(true);
      placed = PlaceAfterCloses(size, generation, offset);
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
  std::shared_ptr<TSpillGeneration> generation;
  uint64_t offset = 0;
  if (!Take(size, generation, offset, true)) return false;
  generation->Cipher->Apply(offset, data, size);
  if (!generation->File->WriteAt(offset, data, size)) {
    Log(SpillTraceSource,
        [&] { return Format("Temporary file not written: %llu bytes at %llu", Ull(size), Ull(offset)); });
    return false;
  }
  return NoThrow({SpillTraceSource, "Temporary file not written: holding the bytes written failed"},
                 [&] { Hold(generation, offset, size, extents); });
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
  std::unique_ptr<TSpillJob> job;
  if (!NoThrow({SpillTraceSource, "Temporary file not written: making the writer's job failed"},
               [&] { job = std::make_unique<TSpillJob>(); }))
    return false;
  // The moves go to the writer thread, between writes: after a let-go at
  // the quota every write for a while brings a step of moves (some 7 ms
  // under Wine), and a read handing over eight stages waited for them all.
  if (!Take(size, job->Generation, job->Offset, false)) return false;
  job->CompactAfter = weak_from_this();
  // Counted before the bytes are held: a move never takes them unwritten.
  job->Generation->Unwritten.fetch_add(1);
  ticket->InFlight.fetch_add(1);
  job->Ticket = ticket;
  if (!NoThrow({SpillTraceSource, "Temporary file not written: holding its place failed"},
               [&] { Hold(job->Generation, job->Offset, size, extents); }))
    return false;
  job->Bytes = std::move(bytes);
  job->Charge = std::move(charge);
  bytes = std::string();
  if (Options.OnWriteBehindHeld &&
      !NoThrow({SpillTraceSource, "Temporary file not written: the hook on its hold failed"},
               Options.OnWriteBehindHeld))
    return false;
  Writer->Push(std::move(job));
  return true;
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

void TSpillArea::WaitForCloses() const noexcept {
  const TSpillCounters& counters = *FState->Counters;
  if (counters.Closing.load() != 0) FState->Closer->WaitForSpace([&] { return counters.Closing.load() == 0; });
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
void SetSpillClosesInPlace(bool inPlace) noexcept { ClosesInPlace.store(inPlace); }

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

}  // namespace tarvik

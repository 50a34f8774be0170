// Compaction of the spill files: held bytes of files at most half held move
// to the newest file, a few pieces with each write, so that the old files go.
#include <algorithm>

#include "core/spill/SpillInternal.h"
#include "framework/Trace.h"

namespace tarvik {

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

// Files at most half held are to move what they hold to the newest file and
// go with their last reader, the emptiest first; the current one is left
// for a new file first when enough of it is dead. What each holds is copied
// before the sort: other threads let go of pieces meanwhile, and a sort
// needs answers that stay put. Throws std::bad_alloc.
bool TSpillState::Plan(bool atQuota) {
  // Idle files are written over, not moved out of the way.
  const uint64_t disk = Counters->Disk.load() - std::min(Counters->Disk.load(), FIdleBytes.load());
  const uint64_t live = Counters->Live.load();
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
      const uint64_t held = generation->Live.load(), end = generation->DiskSize();
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
  const bool stepped = NoThrow({SpillTraceSource, "Temporary files not compacted: a step of the plan failed"}, [&] {
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
  });
  if (stepped) return;
  // This plan ends, and a later write makes another.
  FToMove.clear();
  FToEmpty.clear();
}

}  // namespace tarvik

// The files (generations) of the spill area and the pieces captures hold in them.
#include <algorithm>

#include "core/spill/SpillInternal.h"

namespace tarvik {

TSpillGeneration::~TSpillGeneration() {
  const uint64_t bytes = DiskSize();
  if (std::shared_ptr<TSpillState> owner = Owner.lock())
    if (owner->KeepIdle(File, bytes) || owner->CloseLater(File, bytes)) return;
  File.reset();
  Counters->Disk.fetch_sub(bytes);
}

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

bool TSpillPiece::Read(uint64_t inside, char* out, size_t size) const noexcept {
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

bool TSpillPiece::Extend(const TSpillGeneration* generation, uint64_t offset, uint64_t size) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FGeneration.get() != generation || FOffset + FSize != offset || FSize + size > TSpillArea::PieceLimit)
    return false;
  FSize += size;
  Count(*FGeneration, size, true);
  return true;
}

bool TSpillExtent::Read(uint64_t inside, char* out, size_t size) const noexcept {
  return Piece && Piece->Read(inside, out, size);
}

}  // namespace tarvik

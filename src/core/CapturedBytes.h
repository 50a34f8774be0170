#pragma once
// Where captured bytes live. A fixed budget of them stays in memory; the rest
// goes to the process's spill files (core/spill/SpillArea.h), encrypted under
// keys that exist only in this process's memory. The browser is a 32-bit
// process: what it fetched over a long session, or one large download, must
// not fill its address space.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/spill/SpillArea.h"

namespace tarvik {

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

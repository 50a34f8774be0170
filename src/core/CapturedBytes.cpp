#include "core/CapturedBytes.h"

#include <algorithm>
#include <cstring>

namespace tarvik {

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
    if (!FExtents[k].Read(inside, out, n)) return false;
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

#include "core/UrlListKeys.h"

#include <cstring>

#include "core/UrlKey.h"

namespace tarvik {

namespace {

// Hashing and comparing values as SameUrl does: the scheme and the host in
// any letter case, the rest byte for byte, eight bytes at a time.
uint64_t Mix(uint64_t h, uint64_t word) {
  h = (h ^ word) * 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 29);
}

uint64_t HashUrl(std::string_view text) {
  const TUrlFoldedRanges folded = UrlFoldedRanges(text);
  uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
  const size_t size = text.size();
  for (size_t at = 0; at < size; at += 8) {
    const size_t n = size - at < 8 ? size - at : 8;
    uint64_t word = 0;
    if (n == 8 && at >= folded.HostEnd) {
      std::memcpy(&word, text.data() + at, 8);
    } else {
      for (size_t k = 0; k < n; ++k) {
        const char c = folded.Folds(at + k) ? AsciiLower(text[at + k]) : text[at + k];
        word |= uint64_t{static_cast<unsigned char>(c)} << (8 * k);
      }
    }
    h = Mix(h, word);
  }
  return h ^ (h >> 32);
}

std::string_view KeyText(const std::string& texts, size_t at) {
  size_t length;
  std::memcpy(&length, texts.data() + at - sizeof(length), sizeof(length));
  return std::string_view(texts.data() + at, length);
}

}  // namespace

uint32_t TValueKeys::KeyOf(std::string_view value) {
  const uint64_t hash = HashUrl(value);
  const uint32_t tag = static_cast<uint32_t>(hash >> 32);
  if (!FSlots.empty()) {
    const size_t mask = FSlots.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; FSlots[i].KeyPlus1; i = (i + 1) & mask) {
      const TSlot& slot = FSlots[i];
      if (slot.Tag == tag && SameUrl(KeyText(FTexts, slot.Text), value)) return slot.KeyPlus1 - 1;
    }
  }
  if (2 * (size_t{FCount} + 1) > FSlots.size()) GrowSlots();
  const size_t length = value.size();
  FTexts.append(reinterpret_cast<const char*>(&length), sizeof(length));
  const size_t text = FTexts.size();
  FTexts.append(value);
  const size_t mask = FSlots.size() - 1;
  size_t i = static_cast<size_t>(hash) & mask;
  while (FSlots[i].KeyPlus1) i = (i + 1) & mask;
  FSlots[i] = {tag, ++FCount, text};
  return FCount - 1;
}

void TValueKeys::GrowSlots() {
  std::vector<TSlot> slots(FSlots.empty() ? 1024 : 2 * FSlots.size());
  const size_t mask = slots.size() - 1;
  for (const TSlot& slot : FSlots) {
    if (!slot.KeyPlus1) continue;
    size_t i = static_cast<size_t>(HashUrl(KeyText(FTexts, slot.Text))) & mask;
    while (slots[i].KeyPlus1) i = (i + 1) & mask;
    slots[i] = slot;
  }
  FSlots.swap(slots);
}

void TValueKeys::Clear() {
  FSlots.clear();
  FTexts.clear();
  FCount = 0;
}

}  // namespace tarvik

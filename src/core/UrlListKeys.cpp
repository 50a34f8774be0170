#include "core/UrlListKeys.h"

#include <cstring>

#include "core/AnsiCase.h"

namespace tarvik {

namespace {

// Hashing and comparing texts with letter case ignored, as AnsiSameText does.
// Where the code page upper-cases byte by byte, both work on the bytes through
// the upper-casing table (and ASCII-only words eight bytes at a time); other
// code pages go through AnsiUpperCase.
class TFoldedText {
 public:
  TFoldedText() : FUpper(AnsiUpperTable()), FAsciiPlain(FUpper && AsciiIsPlain(FUpper)) {}

  uint64_t Hash(std::string_view text) const {
    if (!FUpper) return HashUpper(AnsiUpperCase(text), nullptr, false);
    return HashUpper(text, FUpper, FAsciiPlain);
  }

  bool Same(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    if (std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
    if (!FUpper) return AnsiSameText(a, b);
    for (size_t i = 0; i < a.size(); ++i)
      if (FUpper[static_cast<unsigned char>(a[i])] != FUpper[static_cast<unsigned char>(b[i])]) return false;
    return true;
  }

 private:
  // The hash of text upper-cased through upper (nullptr: text is upper-cased
  // already); asciiPlain: upper maps only 'a'..'z' below 0x80.
  static uint64_t HashUpper(std::string_view text, const unsigned char* upper, bool asciiPlain) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
    const char* p = text.data();
    size_t left = text.size();
    for (; left >= 8; p += 8, left -= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if (upper) word = asciiPlain && (word & 0x8080808080808080ull) == 0 ? UpperAscii(word) : UpperBytes(upper, p, 8);
      h = Mix(h, word);
    }
    if (left) h = Mix(h, UpperBytes(upper, p, left));
    return h ^ (h >> 32);
  }
  static bool AsciiIsPlain(const unsigned char* upper) {
    for (int c = 0; c < 128; ++c)
      if (upper[c] != ((c >= 'a' && c <= 'z') ? c - 32 : c)) return false;
    return true;
  }
  static uint64_t Mix(uint64_t h, uint64_t word) {
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
  }
  // Eight bytes below 0x80: subtract 0x20 from each of 'a'..'z'.
  static uint64_t UpperAscii(uint64_t word) {
    constexpr uint64_t Ones = 0x0101010101010101ull;
    const uint64_t atLeastA = word + Ones * (0x80 - 'a');
    const uint64_t aboveZ = word + Ones * (0x80 - 'z' - 1);
    const uint64_t lower = atLeastA & ~aboveZ & (Ones * 0x80);
    return word - (lower >> 2);
  }
  static uint64_t UpperBytes(const unsigned char* upper, const char* p, size_t n) {
    uint64_t word = 0;
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(p[i]);
      word |= uint64_t{upper ? upper[c] : c} << (8 * i);
    }
    return word;
  }

  const unsigned char* FUpper;
  const bool FAsciiPlain;
};

const TFoldedText& Folded() {
  static const TFoldedText folded;
  return folded;
}

}  // namespace

namespace {

std::string_view KeyText(const std::string& texts, size_t at) {
  size_t length;
  std::memcpy(&length, texts.data() + at - sizeof(length), sizeof(length));
  return std::string_view(texts.data() + at, length);
}

}  // namespace

uint32_t TValueKeys::KeyOf(std::string_view value) {
  const TFoldedText& folded = Folded();
  const uint64_t hash = folded.Hash(value);
  const uint32_t tag = static_cast<uint32_t>(hash >> 32);
  if (!FSlots.empty()) {
    const size_t mask = FSlots.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; FSlots[i].KeyPlus1; i = (i + 1) & mask) {
      const TSlot& slot = FSlots[i];
      if (slot.Tag == tag && folded.Same(KeyText(FTexts, slot.Text), value)) return slot.KeyPlus1 - 1;
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
    size_t i = static_cast<size_t>(Folded().Hash(KeyText(FTexts, slot.Text))) & mask;
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

#include "core/TarvikTimeline.h"

#include <atomic>
#include <cstring>

#include "core/AnsiCase.h"
#include "core/Trace.h"

namespace tarvik {

const char* const TimelineNames[6] = {"WebBrowser", "MainNavigation", "FrameNavigation", "Download", "Start", "Finish"};

const char* CategoryName(uint8_t category) noexcept { return category < 4 ? TimelineNames[category] : "?"; }
const char* EventName(uint8_t event) noexcept { return event < 2 ? TimelineNames[4 + event] : "?"; }

namespace {
std::atomic<int32_t> GSIDCounter{0};
}

int32_t NextSID() noexcept { return GSIDCounter.fetch_add(1, std::memory_order_acq_rel) + 1; }
void ResetSIDCounter() noexcept { GSIDCounter.store(0, std::memory_order_release); }

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

const TTarvikTimelineItem& TTarvikTimelineItems::Append(int32_t SID, int32_t TID, uintptr_t OID, uint8_t Category,
                                                        uint8_t Event, std::string_view Value) {
  const int32_t position = FCount;
  if (FItems.size() <= static_cast<size_t>(position) + 1) FItems.resize(FItems.size() + GrowthStep);
  TTarvikTimelineItem& item = FItems[static_cast<size_t>(position)];
  item.SID = SID;
  item.TID = TID;
  item.OID = OID;
  item.Category = Category;
  item.Event = Event;
  item.Value.assign(Value);
  // Counted in only once it is complete: nothing half made is seen if this throws.
  item.ValueKey = KeyOf(item.Value);
  if (position > 0 && SID < FItems[static_cast<size_t>(position) - 1].SID) FSIDsAscending = false;
  FCount = position + 1;
  return item;
}

namespace {

std::string_view KeyText(const std::string& texts, size_t at) {
  size_t length;
  std::memcpy(&length, texts.data() + at - sizeof(length), sizeof(length));
  return std::string_view(texts.data() + at, length);
}

}  // namespace

uint32_t TTarvikTimelineItems::KeyOf(std::string_view value) {
  const TFoldedText& folded = Folded();
  const uint64_t hash = folded.Hash(value);
  const uint32_t tag = static_cast<uint32_t>(hash >> 32);
  if (!FKeySlots.empty()) {
    const size_t mask = FKeySlots.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; FKeySlots[i].KeyPlus1; i = (i + 1) & mask) {
      const KeySlot& slot = FKeySlots[i];
      if (slot.Tag == tag && folded.Same(KeyText(FKeyTexts, slot.Text), value)) return slot.KeyPlus1 - 1;
    }
  }
  if (2 * (size_t{FKeyCount} + 1) > FKeySlots.size()) GrowKeySlots();
  const size_t length = value.size();
  FKeyTexts.append(reinterpret_cast<const char*>(&length), sizeof(length));
  const size_t text = FKeyTexts.size();
  FKeyTexts.append(value);
  const size_t mask = FKeySlots.size() - 1;
  size_t i = static_cast<size_t>(hash) & mask;
  while (FKeySlots[i].KeyPlus1) i = (i + 1) & mask;
  FKeySlots[i] = {tag, ++FKeyCount, text};
  return FKeyCount - 1;
}

void TTarvikTimelineItems::GrowKeySlots() {
  std::vector<KeySlot> slots(FKeySlots.empty() ? 1024 : 2 * FKeySlots.size());
  const size_t mask = slots.size() - 1;
  for (const KeySlot& slot : FKeySlots) {
    if (!slot.KeyPlus1) continue;
    size_t i = static_cast<size_t>(Folded().Hash(KeyText(FKeyTexts, slot.Text))) & mask;
    while (slots[i].KeyPlus1) i = (i + 1) & mask;
    slots[i] = slot;
  }
  FKeySlots.swap(slots);
}

void TTarvikTimelineItems::Clear() {
  FItems.clear();
  FCount = 0;
  FSIDsAscending = true;
  FKeySlots.clear();
  FKeyTexts.clear();
  FKeyCount = 0;
}

void TTarvikTimeline::InformEvent(int32_t TID, uintptr_t OID, uint8_t category, uint8_t event,
                                  std::string_view value) {
  int32_t sid;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    // Numbered under the lock, so SID order equals array order.
    sid = NextSID();
    FItems.Append(sid, TID, OID, category, event, value);
  }
  // Built only for a listening sink: nothing else would see it.
  if (TraceActive())
    TraceLog(Format("Runtime.InformEvent(#%d/%s:%s)", sid, CategoryName(category), EventName(event)), "");
}

int32_t TTarvikTimeline::Count() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FItems.Count();
}

std::vector<TTarvikTimelineItem> TTarvikTimeline::Snapshot() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  std::vector<TTarvikTimelineItem> items;
  items.reserve(static_cast<size_t>(FItems.Count()));
  for (int32_t i = 0; i < FItems.Count(); ++i) items.push_back(FItems[i]);
  return items;
}

void TTarvikTimeline::Clear() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FItems.Clear();
}

}  // namespace tarvik

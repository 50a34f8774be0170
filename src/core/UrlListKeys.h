#pragma once
// The keys by which the URL list walk tells the values it has listed
// already: one number for all values that name the same resource (SameUrl:
// the scheme and the host in any letter case, the rest exactly), a
// different one for any other value, numbered
// 0, 1, ... as new values come in. The timeline gives each item its key as
// it is appended, so the walk compares numbers instead of texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

class TValueKeys {
 public:
  // The key of value; a new one for a value not seen before.
  uint32_t KeyOf(std::string_view value);
  // Keys given so far: every key is below it.
  uint32_t Count() const noexcept { return FCount; }
  void Clear();

 private:
  void GrowSlots();

  // Open addressing over slots that lead to a copy of each key's first
  // value, all copies in one block, so that a lookup waits for two places in
  // memory at most (slot, text) and not for the timeline's items.
  struct TSlot {
    uint32_t Tag = 0;       // upper half of the value's hash
    uint32_t KeyPlus1 = 0;  // 0: a free slot
    size_t Text = 0;        // where the key's value starts in FTexts, after its length
  };
  std::vector<TSlot> FSlots;  // a power of two in size, at most half in use
  std::string FTexts;         // per key: its value's length (a size_t), then the value
  uint32_t FCount = 0;
};

}  // namespace tarvik

#include <array>

#include "core/AnsiCase.h"

namespace tarvik {

namespace {
// Code page 1252 upper-casing, as the platform applies it.
constexpr std::array<unsigned char, 256> MakeUpperTable() {
  std::array<unsigned char, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<unsigned char>(c - 32);
  for (int c = 0xE0; c <= 0xFE; ++c)
    if (c != 0xF7) table[c] = static_cast<unsigned char>(c - 32);
  table[0x9A] = 0x8A;
  table[0x9C] = 0x8C;
  table[0x9E] = 0x8E;
  table[0xFF] = 0x9F;
  return table;
}
constexpr std::array<unsigned char, 256> UpperTable = MakeUpperTable();
}  // namespace

std::string AnsiUpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(UpperTable[static_cast<unsigned char>(c)]);
  return result;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperTable[static_cast<unsigned char>(a[i])] != UpperTable[static_cast<unsigned char>(b[i])]) return false;
  return true;
}

}  // namespace tarvik

namespace tarvik {

const unsigned char* AnsiUpperTable() noexcept { return UpperTable.data(); }

}  // namespace tarvik

#include <windows.h>

#include <algorithm>
#include <climits>

#include "core/AnsiCase.h"

namespace tarvik {

std::string AnsiUpperCase(std::string_view text) {
  std::string result(text);
  // CharUpperBuffA takes a DWORD length; upper-case huge strings in slices.
  for (size_t done = 0; done < result.size();) {
    const DWORD slice = static_cast<DWORD>(std::min<size_t>(result.size() - done, INT_MAX));
    ::CharUpperBuffA(result.data() + done, slice);
    done += slice;
  }
  return result;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AnsiUpperCase(a) == AnsiUpperCase(b);
}

}  // namespace tarvik

namespace tarvik {

namespace {
struct ByteUpperTable {
  bool PerByte = false;
  unsigned char Table[256] = {};
};

ByteUpperTable MakeByteUpperTable() {
  ByteUpperTable result;
  CPINFO info{};
  // A code page with lead bytes upper-cases characters, not bytes.
  if (!::GetCPInfo(CP_ACP, &info) || info.MaxCharSize != 1) return result;
  for (int b = 0; b < 256; ++b) {
    char c = static_cast<char>(b);
    ::CharUpperBuffA(&c, 1);
    result.Table[b] = static_cast<unsigned char>(c);
  }
  result.PerByte = true;
  return result;
}
}  // namespace

const unsigned char* AnsiUpperTable() noexcept {
  static const ByteUpperTable table = MakeByteUpperTable();
  return table.PerByte ? table.Table : nullptr;
}

}  // namespace tarvik

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

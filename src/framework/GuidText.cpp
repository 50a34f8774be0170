#include "framework/GuidText.h"

#include <cstdio>
#include <cstring>

namespace tarvik {

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::wstring WideGuidText(const GUID& guid) {
  const std::string text = GuidText(guid);
  return std::wstring(text.begin(), text.end());
}

bool ParseGuidText(const std::string& text, GUID* guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  unsigned char bytes[16];
  size_t count = 0;
  for (size_t i = 1; i < 37; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return false;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int high = nibble(text[i]);
    const int low = nibble(text[i + 1]);
    if (high < 0 || low < 0 || i + 1 == 9 || i + 1 == 14 || i + 1 == 19 || i + 1 == 24) return false;
    bytes[count++] = static_cast<unsigned char>(high << 4 | low);
    ++i;
  }
  if (count != 16 || !guid) return count == 16;
  guid->Data1 = static_cast<unsigned long>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
  guid->Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return true;
}

}  // namespace tarvik

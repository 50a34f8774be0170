#include "core/UrlText.h"

#include <cstdint>

namespace tarvik {

namespace {

void AppendEscaped(std::string& out, uint32_t byte) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  out += '%';
  out += Hex[byte >> 4];
  out += Hex[byte & 15];
}

// One code point (a lone surrogate too) as its UTF-8 bytes, each escaped.
void AppendEscapedUtf8(std::string& out, uint32_t point) {
  if (point < 0x800) {
    AppendEscaped(out, 0xC0 | (point >> 6));
  } else if (point < 0x10000) {
    AppendEscaped(out, 0xE0 | (point >> 12));
    AppendEscaped(out, 0x80 | ((point >> 6) & 0x3F));
  } else {
    AppendEscaped(out, 0xF0 | (point >> 18));
    AppendEscaped(out, 0x80 | ((point >> 12) & 0x3F));
    AppendEscaped(out, 0x80 | ((point >> 6) & 0x3F));
  }
  AppendEscaped(out, 0x80 | (point & 0x3F));
}

template <class Unit>
std::string AsciiUrlOf(std::basic_string_view<Unit> url) {
  std::string out;
  out.reserve(url.size());
  for (size_t i = 0; i < url.size(); ++i) {
    const uint32_t unit = static_cast<uint16_t>(url[i]);
    if (unit < 0x80) {
      out += static_cast<char>(unit);
      continue;
    }
    uint32_t point = unit;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < url.size()) {
      const uint32_t next = static_cast<uint16_t>(url[i + 1]);
      if (next >= 0xDC00 && next < 0xE000) {
        point = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      }
    }
    AppendEscapedUtf8(out, point);
  }
  return out;
}

}  // namespace

std::string AsciiUrl(std::u16string_view url) { return AsciiUrlOf(url); }

#if WCHAR_MAX == 0xFFFF
std::string AsciiUrl(std::wstring_view url) { return AsciiUrlOf(url); }
#endif

std::wstring_view WithoutFragment(std::wstring_view url) noexcept { return url.substr(0, url.find(L'#')); }

std::string_view UrlScheme(std::string_view url) noexcept {
  const size_t colon = url.find(':');
  return colon == std::string_view::npos ? std::string_view() : url.substr(0, colon);
}

bool SameAsciiTextNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool IsHttpUrl(std::string_view url) noexcept {
  const std::string_view scheme = UrlScheme(url);
  return SameAsciiTextNoCase(scheme, "http") || SameAsciiTextNoCase(scheme, "https");
}

}  // namespace tarvik

#include "core/UrlText.h"

namespace tarvik {

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

#include "core/UrlKey.h"

namespace tarvik {

namespace {
constexpr bool IsAlpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool IsSchemeChar(char c) noexcept {
  return IsAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}
}  // namespace

TUrlFoldedRanges UrlFoldedRanges(std::string_view url) noexcept {
  TUrlFoldedRanges ranges;
  if (url.empty() || !IsAlpha(url[0])) return ranges;
  size_t colon = 1;
  while (colon < url.size() && IsSchemeChar(url[colon])) ++colon;
  if (colon >= url.size() || url[colon] != ':') return ranges;
  ranges.SchemeEnd = ranges.HostStart = ranges.HostEnd = colon + 1;
  if (url.substr(colon + 1, 2) != "//") return ranges;
  size_t end = colon + 3;
  ranges.HostStart = end;
  for (; end < url.size(); ++end) {
    const char c = url[end];
    if (c == '/' || c == '\\' || c == '?' || c == '#') break;
    if (c == '@') ranges.HostStart = end + 1;
  }
  ranges.HostEnd = end;
  return ranges;
}

std::string UrlKey(std::string_view url) {
  std::string key(url);
  const TUrlFoldedRanges folded = UrlFoldedRanges(url);
  for (size_t i = 0; i < folded.HostEnd; ++i)
    if (folded.Folds(i)) key[i] = AsciiLower(key[i]);
  return key;
}

bool SameUrl(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  // Folding changes no delimiter, so both have the same ranges when equal.
  const TUrlFoldedRanges folded = UrlFoldedRanges(a);
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    if (!folded.Folds(i) || AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace tarvik

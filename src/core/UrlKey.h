#pragma once
// When two addresses name the same captured resource. The scheme and the host
// are case-insensitive on the web; the path, the query and the fragment are
// not ("A.png" and "a.png" are two files on most servers), so those compare
// byte for byte. A fragment stays part of the address: a resource requested
// as "icons.svg#x" keeps bytes of its own, apart from "icons.svg".
#include <cstddef>
#include <string>
#include <string_view>

namespace tarvik {

// The parts of an address whose letter case does not matter: the scheme
// [0, SchemeEnd) and the host with its port [HostStart, HostEnd). User
// information between them is case-sensitive. All 0 for text that is not an
// address ("scheme:..." with a letter first).
struct TUrlFoldedRanges {
  size_t SchemeEnd = 0;
  size_t HostStart = 0;
  size_t HostEnd = 0;
  bool Folds(size_t i) const noexcept { return i < SchemeEnd || (i >= HostStart && i < HostEnd); }
};
TUrlFoldedRanges UrlFoldedRanges(std::string_view url) noexcept;

// The address with those parts in ASCII lower case and the rest as is:
// equal keys name the same resource.
std::string UrlKey(std::string_view url);

// Whether UrlKey(a) == UrlKey(b), without building the keys.
bool SameUrl(std::string_view a, std::string_view b) noexcept;

constexpr char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace tarvik

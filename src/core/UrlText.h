#pragma once
// URL text rules of the browser integration, the library entry and the name rules.
#include <string>
#include <string_view>

namespace tarvik {

// The URL without its fragment: cut before the first "#".
std::wstring_view WithoutFragment(std::wstring_view url) noexcept;

// The text before the first ":"; empty when there is none.
std::string_view UrlScheme(std::string_view url) noexcept;

// ASCII letters compared without regard to case, every other byte exactly
// (locale-independent, so "HTTP" matches under any user locale).
bool SameAsciiTextNoCase(std::string_view a, std::string_view b) noexcept;

// Whether the URL's scheme is http or https.
bool IsHttpUrl(std::string_view url) noexcept;

}  // namespace tarvik

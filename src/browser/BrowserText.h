#pragma once
// Text as the browser integration takes it from the platform: UTF-16 in,
// byte strings in the system ANSI code page out.
#include <string>
#include <string_view>

namespace tarvik {

// UTF-16 to the ANSI code page; characters the code page lacks become its default character.
std::string WideToAnsi(std::wstring_view text);

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

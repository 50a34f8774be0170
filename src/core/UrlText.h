#pragma once
// URL text rules of the browser integration, the library entry and the name rules.
#include <cwchar>
#include <string>
#include <string_view>

namespace tarvik {

// An address from the platform (UTF-16 code units) as the web writes it,
// in ASCII: ASCII units as given (so "%D1%84" stays as it is and meets the
// raw character it stands for), every other character as the %XX escapes
// (upper-case hexadecimal) of its UTF-8 bytes, host included. An unpaired
// surrogate is escaped as the three bytes its code unit would give in
// UTF-8 ("%ED%A0%80" for D800): lossless and apart from every character.
std::string AsciiUrl(std::u16string_view url);
#if WCHAR_MAX == 0xFFFF
// The platform's own text (wchar_t is a UTF-16 code unit there).
std::string AsciiUrl(std::wstring_view url);
#endif

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

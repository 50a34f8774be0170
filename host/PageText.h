#pragma once
// The bytes of a page or style sheet as UTF-16, in the charset the server or
// the page declares (a byte-order mark wins, then the HTTP header, then a
// <meta> near the start); undeclared text is UTF-8 when it is valid UTF-8,
// else Windows-1252, as browsers guess.
#include <windows.h>

#include <string>
#include <string_view>

namespace tarvik::host {

// The Windows code page of a charset name; 0 when unknown.
UINT CodePageOfCharset(std::string_view charset);

// The code page a page or style sheet is read in (CP_UTF8, 1200 and 1201 for
// the byte-order marks), decided as DecodePageText decides it.
UINT PageCodePage(std::string_view bytes, std::string_view headerCharset, bool html);

std::wstring DecodePageText(std::string_view bytes, std::string_view headerCharset, bool html);

// A UTF-16 text from the platform as UTF-8 (for the host's own output).
std::string Utf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

}  // namespace tarvik::host

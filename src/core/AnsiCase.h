#pragma once
// Letter case as the system's ANSI code page sees it. The DLL asks the
// platform; the native build uses code page 1252's table.
#include <string>
#include <string_view>

namespace tarvik {

std::string AnsiUpperCase(std::string_view text);
bool AnsiSameText(std::string_view a, std::string_view b);

// The upper-casing of each byte value, when the system's code page upper-cases
// byte by byte (every single-byte code page) and so agrees with AnsiUpperCase;
// nullptr otherwise. For callers that hash or compare many texts.
const unsigned char* AnsiUpperTable() noexcept;

}  // namespace tarvik

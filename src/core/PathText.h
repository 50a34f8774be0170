#pragma once
// Paths and names in the system's ANSI code page, read character by
// character: the second byte of a double-byte character may be "\" (0x5C)
// or "|", and must never be taken for a separator.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarvik {

// True for a byte that starts a double-byte character in a code page.
using LeadBytePredicate = std::function<bool(unsigned char)>;

// Lead bytes of the system's ANSI code page (none in the native build, which
// reads text as code page 1252).
bool IsSystemLeadByte(unsigned char c);

// Width in bytes of the character at text[i]: 2 for a lead byte with a byte after it.
size_t CharWidth(std::string_view text, size_t i, const LeadBytePredicate& isLeadByte);

// The position of the last character of text that is one of chars, stepping
// over double-byte characters whole; npos when there is none.
size_t FindLastOf(std::string_view text, std::string_view chars,
                  const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

// The folder of a path with its trailing separator; empty without one.
std::string FolderOf(std::string_view path, const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

// path when it is absolute (a drive, a root or a share); otherwise path in
// the folder of file.
std::string PathBeside(std::string_view file, std::string_view path,
                       const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

}  // namespace tarvik

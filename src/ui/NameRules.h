#pragma once
// Rules for the names and texts of a save: the proposed file name, the
// archive title, the success text and the beep preference's value.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarvik {

// Replaces the codes 0x01 to 0x1A and " * / : < > ? \ | by "_", byte by byte.
std::string SafeFileName(std::string_view text);

// Drops leading and trailing bytes with codes up to 0x20.
std::string Trim(std::string_view text);

// The file name of a path: the text after the last "\", "/" or ":".
std::string_view FileNameOf(std::string_view path);

// The text before the last "." of the path's file name; empty without a ".".
std::string ArchiveTitleFromPath(std::string_view path);

// A preference value read as a boolean: "True"/"False" in any case, numbers
// (0 is false, any other number true); any other text gives defaultValue.
bool TextToBool(std::string_view value, bool defaultValue = true);

// The question of the success box after a save.
std::string SuccessText(std::string_view path);

// True for a byte that starts a double-byte character in the system's code page.
using LeadBytePredicate = std::function<bool(unsigned char)>;

// The save dialog's proposed name for a selection or title: SafeFileName of
// the text, trimmed, + ".mht"; empty when nothing is left. The name is cut so
// that it and its terminating zero fit bufferChars characters (a longer name
// makes the platform's dialog fail as if cancelled); a cut never splits a
// double-byte character and keeps the extension. Empty when even one
// character and the extension do not fit.
std::string ProposedFileName(std::string_view text, size_t bufferChars, const LeadBytePredicate& isLeadByte = {});

}  // namespace tarvik

#pragma once
// Rules for the names and texts of a save: the proposed file name, the
// archive title, the success text and the beep preference's value.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/PathText.h"

namespace tarvik {

// Replaces control codes (0x01 to 0x1F) and " * / : < > ? \ | by "_",
// character by character; a lead byte without its second byte too.
std::string SafeFileName(std::string_view text, const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

// Drops leading and trailing bytes with codes up to 0x20.
std::string Trim(std::string_view text);

// The file name of a path: the text after the last "\", "/" or ":".
std::string_view FileNameOf(std::string_view path, const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

// The text before the last "." of the path's file name; empty without a ".".
std::string ArchiveTitleFromPath(std::string_view path, const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

// A preference value read as a boolean: "True"/"False" in any case, numbers
// (0 is false, any other number true); any other text gives defaultValue.
bool TextToBool(std::string_view value, bool defaultValue = true);

// The question of the success box after a save; notKept names the parts whose
// bytes were too large to keep, never silently missing.
std::string SuccessText(std::string_view path, int notKept = 0);

// The save dialog's proposed name for a selection or title: SafeFileName of
// the text, trimmed, + ".mht"; empty when nothing is left. A name the
// platform keeps for a device (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// in any case, before the first ".") gets "_" after that part, since
// no file of that name can be created. The name is cut so
// that it and its terminating zero fit bufferChars characters (a longer name
// makes the platform's dialog fail as if cancelled); a cut never splits a
// double-byte character and keeps the extension. Empty when even one
// character and the extension do not fit.
std::string ProposedFileName(std::string_view text, size_t bufferChars,
                             const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

}  // namespace tarvik

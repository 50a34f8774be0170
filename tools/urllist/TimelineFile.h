#pragma once
// Recorded timelines as text, for replaying the URL list walk: one item a
// line, six fields separated by TABs: SID, TID (decimal), OID (hexadecimal),
// category and event (a code or a name), and the value, which runs to the end
// of the line (TABs included). Lines end with LF or CR LF; empty lines are
// skipped.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/PlatformVersion.h"
#include "core/TarvikTimeline.h"

namespace tarvik::urllist {

// Appends the items of text to timeline. On a bad line: false, with error
// naming the line ("line N: ...") and timeline holding the lines before it.
bool ParseTimeline(std::string_view text, TTarvikTimelineItems& timeline, std::string& error);

// Decimal 32-bit numbers; thread ids also take 2^31..2^32-1 (they are
// unsigned on the platform) and keep their bits.
std::optional<int32_t> ParseInt32(std::string_view text);
std::optional<int32_t> ParseThreadId(std::string_view text);
// Hexadecimal, with or without "0x".
std::optional<uintptr_t> ParseObjectId(std::string_view text);
// A code 0-255 or one of the names of the table, letter case ignored.
std::optional<uint8_t> ParseCategory(std::string_view text);
std::optional<uint8_t> ParseEvent(std::string_view text);
// "MAJOR.MINOR".
std::optional<TPlatformVersion> ParsePlatformVersion(std::string_view text);

}  // namespace tarvik::urllist

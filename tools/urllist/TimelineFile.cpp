#include "TimelineFile.h"

#include <charconv>
#include <limits>

namespace tarvik::urllist {

namespace {

template <typename T>
std::optional<T> ParseWhole(std::string_view text, int base) {
  T value{};
  if (text.empty()) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<uint8_t> ParseCode(std::string_view text, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (SameLetters(text, names[i])) return static_cast<uint8_t>(i);
  const auto code = ParseWhole<unsigned>(text, 10);
  if (!code || *code > 255) return std::nullopt;
  return static_cast<uint8_t>(*code);
}

std::string Quoted(std::string_view text) {
  constexpr size_t Shown = 40;
  std::string quoted = "\"";
  quoted.append(text.substr(0, Shown));
  if (text.size() > Shown) quoted.append("...");
  return quoted + "\"";
}

}  // namespace

std::optional<int32_t> ParseInt32(std::string_view text) {
  if (!text.empty() && text[0] == '+') return std::nullopt;
  return ParseWhole<int32_t>(text, 10);
}

std::optional<int32_t> ParseThreadId(std::string_view text) {
  if (auto value = ParseInt32(text)) return value;
  if (!text.empty() && text[0] == '-') return std::nullopt;
  if (auto value = ParseWhole<uint32_t>(text, 10)) return static_cast<int32_t>(*value);
  return std::nullopt;
}

std::optional<uintptr_t> ParseObjectId(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) return std::nullopt;
  return ParseWhole<uintptr_t>(text, 16);
}

std::optional<uint8_t> ParseCategory(std::string_view text) { return ParseCode(text, TimelineNames, 4); }

std::optional<uint8_t> ParseEvent(std::string_view text) { return ParseCode(text, TimelineNames + 4, 2); }

std::optional<TPlatformVersion> ParsePlatformVersion(std::string_view text) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto major = ParseWhole<uint32_t>(text.substr(0, dot), 10);
  const auto minor = ParseWhole<uint32_t>(text.substr(dot + 1), 10);
  if (!major || !minor) return std::nullopt;
  return TPlatformVersion{*major, *minor};
}

bool ParseTimeline(std::string_view text, TTarvikTimelineItems& timeline, std::string& error) {
  size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;

    std::string_view fields[6];
    size_t found = 0;
    for (; found < 5; ++found) {
      const size_t tab = line.find('\t');
      if (tab == std::string_view::npos) break;
      fields[found] = line.substr(0, tab);
      line.remove_prefix(tab + 1);
    }
    fields[found++] = line;  // the value keeps any further TABs
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (found < 6) {
      error = where + "expected 6 TAB-separated fields (SID, TID, OID, category, event, value), found " +
              std::to_string(found);
      return false;
    }
    const auto sid = ParseInt32(fields[0]);
    const auto tid = ParseThreadId(fields[1]);
    const auto oid = ParseObjectId(fields[2]);
    const auto category = ParseCategory(fields[3]);
    const auto event = ParseEvent(fields[4]);
    if (!sid)
      error = where + "bad SID " + Quoted(fields[0]) + " (a decimal 32-bit number)";
    else if (!tid)
      error = where + "bad TID " + Quoted(fields[1]) + " (a decimal 32-bit number)";
    else if (!oid)
      error = where + "bad OID " + Quoted(fields[2]) + " (a hexadecimal number)";
    else if (!category)
      error = where + "unknown category " + Quoted(fields[3]) +
              " (a code 0-255 or WebBrowser, MainNavigation, FrameNavigation, Download)";
    else if (!event)
      error = where + "unknown event " + Quoted(fields[4]) + " (a code 0-255 or Start, Finish)";
    if (!sid || !tid || !oid || !category || !event) return false;
    timeline.Append(*sid, *tid, *oid, *category, *event, fields[5]);
  }
  return true;
}

}  // namespace tarvik::urllist

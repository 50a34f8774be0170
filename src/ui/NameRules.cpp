#include "ui/NameRules.h"

#include "browser/BrowserText.h"

namespace tarvik {

namespace {

constexpr std::string_view ArchiveExtension = ".mht";

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

bool NeedsReplacing(unsigned char c) {
  if (c >= 0x01 && c <= 0x1A) return true;
  return std::string_view("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number with optional sign, fraction and exponent; sets isZero.
bool ParseNumber(std::string_view text, bool& isZero) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool digits = false;
  isZero = true;
  auto mantissa = [&] {
    while (i < text.size() && IsDigit(text[i])) {
      digits = true;
      if (text[i] != '0') isZero = false;
      ++i;
    }
  };
  mantissa();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa();
  }
  if (!digits) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i == text.size() || !IsDigit(text[i])) return false;
    while (i < text.size() && IsDigit(text[i])) ++i;
  }
  return i == text.size();
}

}  // namespace

std::string SafeFileName(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (NeedsReplacing(static_cast<unsigned char>(c))) c = '_';
  return result;
}

std::string Trim(std::string_view text) { return std::string(TrimBlanks(text)); }

std::string_view FileNameOf(std::string_view path) {
  const size_t separator = path.find_last_of("\\/:");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::string ArchiveTitleFromPath(std::string_view path) {
  const std::string_view name = FileNameOf(path);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(0, dot));
}

bool TextToBool(std::string_view value, bool defaultValue) {
  value = TrimBlanks(value);
  if (SameAsciiTextNoCase(value, "true")) return true;
  if (SameAsciiTextNoCase(value, "false")) return false;
  bool isZero = false;
  if (ParseNumber(value, isZero)) return !isZero;
  return defaultValue;
}

std::string SuccessText(std::string_view path) {
  std::string text = "Successfully saved to ";
  text += path;
  text += ".\r\rDo you want to open it in a new window now?";
  return text;
}

std::string ProposedFileName(std::string_view text, size_t bufferChars, const LeadBytePredicate& isLeadByte) {
  std::string stem = Trim(SafeFileName(text));
  if (stem.empty()) return {};
  // Room for the stem: the buffer less the extension and the terminating zero.
  const size_t reserved = ArchiveExtension.size() + 1;
  if (bufferChars <= reserved) return {};
  const size_t room = bufferChars - reserved;
  if (stem.size() > room) {
    // Walk whole characters so that a cut never keeps half of a pair.
    size_t end = 0;
    while (end < stem.size()) {
      const size_t width = isLeadByte && isLeadByte(static_cast<unsigned char>(stem[end])) && end + 1 < stem.size() ? 2 : 1;
      if (end + width > room) break;
      end += width;
    }
    stem = Trim(std::string_view(stem).substr(0, end));
    if (stem.empty()) return {};
  }
  return stem + std::string(ArchiveExtension);
}

}  // namespace tarvik

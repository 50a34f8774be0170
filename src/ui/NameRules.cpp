#include "ui/NameRules.h"

#include <algorithm>
#include <array>

#include "core/UrlText.h"

namespace tarvik {

namespace {

constexpr std::string_view ArchiveExtension = ".mht";

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

bool NeedsReplacing(unsigned char c) {
  if (c >= 0x01 && c <= 0x1F) return true;
  return std::string_view("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The part of a name the platform matches against its device names: the text
// before the first ".", without the blanks before that ".".
size_t DeviceNameEnd(std::string_view name) {
  size_t end = std::min(name.find('.'), name.size());
  while (end > 0 && name[end - 1] == ' ') --end;
  return end;
}

bool IsDeviceName(std::string_view name) {
  name = name.substr(0, DeviceNameEnd(name));
  static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view device : kPlain)
    if (SameAsciiTextNoCase(name, device)) return true;
  if (name.size() != 4 || name[3] < '1' || name[3] > '9') return false;
  return SameAsciiTextNoCase(name.substr(0, 3), "COM") || SameAsciiTextNoCase(name.substr(0, 3), "LPT");
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

std::string SafeFileName(std::string_view text, const LeadBytePredicate& isLeadByte) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (CharWidth(text, i, isLeadByte) == 2) {
      result.append(text.substr(i, 2));
      i += 2;
      continue;
    }
    // A lead byte cut from its second byte would join the next text's first.
    const bool lone = isLeadByte && isLeadByte(c);
    result += NeedsReplacing(c) || lone ? '_' : static_cast<char>(c);
    ++i;
  }
  return result;
}

std::string Trim(std::string_view text) { return std::string(TrimBlanks(text)); }

std::string_view FileNameOf(std::string_view path, const LeadBytePredicate& isLeadByte) {
  const size_t separator = FindLastOf(path, "\\/:", isLeadByte);
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::string ArchiveTitleFromPath(std::string_view path, const LeadBytePredicate& isLeadByte) {
  const std::string_view name = FileNameOf(path, isLeadByte);
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

std::string SuccessText(std::string_view path, int notKept) {
  std::string text = "Successfully saved to ";
  text += path;
  if (notKept == 1)
    text += ", but 1 resource was too large to keep";
  else if (notKept > 1)
    text += ", but " + std::to_string(notKept) + " resources were too large to keep";
  text += ".\r\rDo you want to open it in a new window now?";
  return text;
}

std::string ProposedFileName(std::string_view text, size_t bufferChars, const LeadBytePredicate& isLeadByte) {
  std::string stem = Trim(SafeFileName(text, isLeadByte));
  if (stem.empty()) return {};
  if (IsDeviceName(stem)) stem.insert(DeviceNameEnd(stem), "_");
  // Room for the stem: the buffer less the extension and the terminating zero.
  const size_t reserved = ArchiveExtension.size() + 1;
  if (bufferChars <= reserved) return {};
  const size_t room = bufferChars - reserved;
  if (stem.size() > room) {
    // Walk whole characters so that a cut never keeps half of a pair.
    size_t end = 0;
    while (end < stem.size()) {
      const size_t width =
          isLeadByte && isLeadByte(static_cast<unsigned char>(stem[end])) && end + 1 < stem.size() ? 2 : 1;
      if (end + width > room) break;
      end += width;
    }
    stem = Trim(std::string_view(stem).substr(0, end));
    if (stem.empty() || IsDeviceName(stem)) return {};
  }
  return stem + std::string(ArchiveExtension);
}

}  // namespace tarvik

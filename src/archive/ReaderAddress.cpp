#include "archive/ReaderAddress.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/UrlKey.h"

namespace tarvik {

namespace {

constexpr char Hex[] = "0123456789ABCDEF";

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += Hex[c >> 4];
  out += Hex[c & 15];
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsUtf8(std::string_view text) noexcept {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t more = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= more) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += more + 1;
  }
  return true;
}

// The value as the browser's text: UTF-8 as is, anything else read as
// Latin-1 and written as UTF-8; without surrounding blanks and controls, and
// without tabs and line breaks anywhere.
std::string ReaderText(std::string_view location) {
  while (!location.empty() && static_cast<unsigned char>(location.front()) <= 0x20) location.remove_prefix(1);
  while (!location.empty() && static_cast<unsigned char>(location.back()) <= 0x20) location.remove_suffix(1);
  const bool utf8 = IsUtf8(location);
  std::string text;
  text.reserve(location.size());
  for (const char c : location) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t' || c == '\r' || c == '\n') continue;
    if (byte >= 0x80 && !utf8) {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    } else {
      text += c;
    }
  }
  return text;
}

enum class TComponent { UserName, Password, Path, Query, Fragment };

// What the browser escapes in each component, beside controls, blanks and
// non-ASCII bytes; "%" stays, valid escape or not, and no escape is decoded.
bool MustEscape(unsigned char c, TComponent component) noexcept {
  if (c <= 0x20 || c >= 0x7F) return true;
  if (component == TComponent::UserName || component == TComponent::Password) {
    constexpr std::string_view UserInfoEscapes = "\"';<=>@[]^`{|}";
    return UserInfoEscapes.find(static_cast<char>(c)) != std::string_view::npos ||
           (c == ':' && component == TComponent::Password);
  }
  switch (c) {
    case '"':
    case '<':
    case '>':
      return true;
    case '`':
      return component != TComponent::Query;
    case '{':
    case '}':
    case '|':
    case '^':
      return component == TComponent::Path;
    case '\'':
      return component == TComponent::Query;
    default:
      return false;
  }
}

void AppendCanonical(std::string& out, std::string_view text, TComponent component) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (MustEscape(byte, component))
      AppendEscaped(out, byte);
    else
      out += c;
  }
}

bool IsDotSegment(std::string_view segment, bool twoDots) {
  std::string lower;
  for (const char c : segment.substr(0, 7)) lower += AsciiLower(c);
  if (!twoDots) return lower == "." || lower == "%2e";
  return lower == ".." || lower == ".%2e" || lower == "%2e." || lower == "%2e%2e";
}

// The path with "\" read as "/" and dot segments, escaped or not, resolved.
std::string CanonicalPath(std::string_view path) {
  std::vector<std::string_view> segments;
  size_t at = path.empty() ? 0 : 1;  // the path begins with "/" or "\" unless empty
  bool trailingSlash = false;
  while (at <= path.size()) {
    size_t end = path.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(at, end - at);
    const bool last = end == path.size();
    if (IsDotSegment(segment, false)) {
      trailingSlash = last;
    } else if (IsDotSegment(segment, true)) {
      if (!segments.empty()) segments.pop_back();
      trailingSlash = last;
    } else {
      segments.push_back(segment);
      trailingSlash = false;
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string_view segment : segments) {
    out += '/';
    AppendCanonical(out, segment, TComponent::Path);
  }
  if (out.empty() || trailingSlash) out += '/';
  return out;
}

// A number of an IPv4 address in decimal, octal ("0" first) or hexadecimal
// ("0x" first, no digits meaning 0); no value past 2^32.
std::optional<uint64_t> Ipv4Number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() >= 2 && text[0] == '0') {
    base = 8;
    text.remove_prefix(1);
  }
  uint64_t value = 0;
  for (const char c : text) {
    const int digit = HexValue(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return value;
}

// A host whose last label looks numeric is an IPv4 address or invalid.
std::optional<std::string> CanonicalIpv4(std::string_view host) {
  if (host.back() == '.') host.remove_suffix(1);
  std::vector<uint64_t> numbers;
  for (size_t at = 0; at <= host.size();) {
    size_t end = host.find('.', at);
    if (end == std::string_view::npos) end = host.size();
    const std::optional<uint64_t> number = Ipv4Number(host.substr(at, end - at));
    if (!number || numbers.size() == 4) return std::nullopt;
    numbers.push_back(*number);
    at = end + 1;
  }
  uint64_t address = 0;
  for (size_t i = 0; i + 1 < numbers.size(); ++i) {
    if (numbers[i] > 255) return std::nullopt;
    address |= numbers[i] << (8 * (3 - i));
  }
  if (numbers.back() >= (1ull << (8 * (5 - numbers.size())))) return std::nullopt;
  address |= numbers.back();
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!out.empty()) out += '.';
    out += std::to_string((address >> shift) & 255);
  }
  return out;
}

// The last 32 bits of an IPv6 address written as four decimal numbers
// (none with a leading zero), as two hexadecimal pieces.
std::optional<std::string> Ipv4InIpv6(std::string_view dotted) {
  uint32_t address = 0;
  int parts = 0;
  for (size_t at = 0; at <= dotted.size(); ++parts) {
    size_t end = dotted.find('.', at);
    if (end == std::string_view::npos) end = dotted.size();
    const std::string_view part = dotted.substr(at, end - at);
    if (parts == 4 || part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return std::nullopt;
    uint32_t value = 0;
    for (const char c : part) {
      if (!IsDigit(c)) return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 255) return std::nullopt;
    address = address << 8 | value;
    at = end + 1;
  }
  if (parts != 4) return std::nullopt;
  constexpr char Lower[] = "0123456789abcdef";
  std::string pieces;
  for (int shift = 28; shift >= 0; shift -= 4) {
    pieces += Lower[(address >> shift) & 15];
    if (shift == 16) pieces += ':';
  }
  return pieces;
}

// "[...]" of hexadecimal pieces with at most one "::", the last two perhaps
// as IPv4 numbers, written in lower case with the first longest run of two
// or more zero pieces as "::".
std::optional<std::string> CanonicalIpv6(std::string_view inside) {
  std::string withoutIpv4;
  if (inside.find('.') != std::string_view::npos) {
    const size_t colon = inside.rfind(':');
    const std::optional<std::string> low =
        colon == std::string_view::npos ? std::nullopt : Ipv4InIpv6(inside.substr(colon + 1));
    if (!low) return std::nullopt;
    withoutIpv4 = std::string(inside.substr(0, colon + 1)) + *low;
    inside = withoutIpv4;
  }
  std::vector<uint32_t> before, after;
  bool compressed = false;
  if (inside.substr(0, 2) == "::") {
    compressed = true;
    inside.remove_prefix(2);
  }
  while (!inside.empty()) {
    size_t end = inside.find(':');
    if (end == std::string_view::npos) end = inside.size();
    const std::string_view piece = inside.substr(0, end);
    if (piece.empty() || piece.size() > 4) return std::nullopt;
    uint32_t value = 0;
    for (const char c : piece) {
      if (HexValue(c) < 0) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(HexValue(c));
    }
    (compressed ? after : before).push_back(value);
    inside.remove_prefix(end);
    if (inside.substr(0, 2) == "::") {
      if (compressed) return std::nullopt;
      compressed = true;
      inside.remove_prefix(2);
    } else if (!inside.empty()) {
      inside.remove_prefix(1);
      if (inside.empty()) return std::nullopt;
    }
  }
  const size_t count = before.size() + after.size();
  if (compressed ? count > 7 : count != 8) return std::nullopt;
  std::vector<uint32_t> pieces = before;
  pieces.resize(8 - after.size(), 0);
  pieces.insert(pieces.end(), after.begin(), after.end());
  size_t runStart = 8, runLength = 1;
  for (size_t i = 0; i < 8;) {
    size_t j = i;
    while (j < 8 && pieces[j] == 0) ++j;
    if (j - i > runLength) {
      runStart = i;
      runLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out = "[";
  for (size_t i = 0; i < 8; ++i) {
    if (i == runStart) {
      out += "::";
      i += runLength - 1;
      continue;
    }
    if (out.size() > 1 && out.back() != ':') out += ':';
    constexpr char Lower[] = "0123456789abcdef";
    bool any = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const uint32_t digit = (pieces[i] >> shift) & 15;
      if (digit != 0 || any || shift == 0) out += Lower[digit];
      any = any || digit != 0;
    }
  }
  return out + "]";
}

bool IsPlainHostCharacter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '_' || c == '.';
}

// The host with escapes decoded and letters in lower case, where it holds
// only what the model knows the browser keeps as it is.
std::optional<std::string> CanonicalHost(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 2 || host.back() != ']') return std::nullopt;
    return CanonicalIpv6(host.substr(1, host.size() - 2));
  }
  std::string decoded;
  for (size_t i = 0; i < host.size(); ++i) {
    if (host[i] == '%' && i + 2 < host.size() && HexValue(host[i + 1]) >= 0 && HexValue(host[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(host[i + 1]) * 16 + HexValue(host[i + 2]));
      i += 2;
    } else {
      decoded += host[i];
    }
  }
  for (char& c : decoded) c = AsciiLower(c);
  if (decoded.empty() || decoded.find_first_not_of('.') == std::string::npos) return std::nullopt;
  for (const char c : decoded)
    if (!IsPlainHostCharacter(c)) return std::nullopt;
  // Labels of internationalised names are checked and converted by rules not
  // modelled here.
  if (decoded.compare(0, 4, "xn--") == 0 || decoded.find(".xn--") != std::string::npos) return std::nullopt;
  // A last label of digits, or "0x" and hexadecimal digits, makes it an IPv4
  // address or invalid.
  std::string_view last = decoded;
  if (last.back() == '.') last.remove_suffix(1);
  last = last.substr(last.rfind('.') == std::string_view::npos ? 0 : last.rfind('.') + 1);
  const bool hex = last.substr(0, 2) == "0x";
  const std::string_view digits = last.substr(hex ? 2 : 0);
  bool numeric = !last.empty();
  for (const char c : digits) numeric = numeric && (hex ? HexValue(c) >= 0 : IsDigit(c));
  return numeric ? CanonicalIpv4(decoded) : decoded;
}

// User name and password before the last "@", the password after the first
// ":"; nothing of them when both are empty.
std::string CanonicalUserInfo(std::string_view userinfo) {
  const size_t colon = userinfo.find(':');
  std::string out;
  AppendCanonical(out, userinfo.substr(0, colon), TComponent::UserName);
  if (colon != std::string_view::npos && colon + 1 < userinfo.size()) {
    out += ':';
    AppendCanonical(out, userinfo.substr(colon + 1), TComponent::Password);
  }
  return out.empty() ? out : out + "@";
}

std::optional<std::string> CanonicalAuthority(std::string_view authority, std::string_view defaultPort) {
  std::string userinfo;
  const size_t atSign = authority.rfind('@');
  if (atSign != std::string_view::npos) {
    userinfo = CanonicalUserInfo(authority.substr(0, atSign));
    authority.remove_prefix(atSign + 1);
  }
  size_t portColon = authority.find(':', authority.empty() || authority[0] != '[' ? 0 : authority.find(']'));
  if (portColon == std::string_view::npos) portColon = authority.size();
  std::optional<std::string> host = CanonicalHost(authority.substr(0, portColon));
  if (!host) return std::nullopt;
  std::string_view port = portColon < authority.size() ? authority.substr(portColon + 1) : std::string_view();
  while (port.size() > 1 && port[0] == '0') port.remove_prefix(1);
  if (port.size() > 5) return std::nullopt;
  for (const char c : port)
    if (!IsDigit(c)) return std::nullopt;
  if (!port.empty() && std::stoul(std::string(port)) > 65535) return std::nullopt;
  if (!port.empty() && port != defaultPort) *host += ":" + std::string(port);
  return userinfo + *host;
}

}  // namespace

TReaderAddress ReadAddress(std::string_view location) {
  const std::string text = ReaderText(location);
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return {};
  std::string scheme = text.substr(0, colon);
  for (char& c : scheme) c = AsciiLower(c);
  const char* defaultPort = scheme == "http" ? "80" : scheme == "https" ? "443" : scheme == "ftp" ? "21" : nullptr;
  if (!defaultPort) return {};

  size_t at = colon + 1;
  while (at < text.size() && (text[at] == '/' || text[at] == '\\')) ++at;
  size_t end = text.find_first_of("/\\?#", at);
  if (end == std::string::npos) end = text.size();
  const std::string_view rest = std::string_view(text).substr(end);
  const size_t fragment = rest.find('#');
  const size_t query = rest.substr(0, fragment).find('?');

  TReaderAddress address;
  address.Tail = scheme + ":" + CanonicalPath(rest.substr(0, std::min(query, fragment)));
  if (query != std::string_view::npos) {
    address.Tail += '?';
    AppendCanonical(address.Tail, rest.substr(query + 1, fragment - std::min(fragment, query + 1)), TComponent::Query);
  }
  if (fragment != std::string_view::npos) {
    address.Tail += '#';
    AppendCanonical(address.Tail, rest.substr(fragment + 1), TComponent::Fragment);
  }
  const std::optional<std::string> authority =
      CanonicalAuthority(std::string_view(text).substr(at, end - at), defaultPort);
  if (authority) address.Canonical = scheme + "://" + *authority + address.Tail.substr(scheme.size() + 1);
  return address;
}

std::optional<std::string> CanonicalWebAddress(std::string_view location) { return ReadAddress(location).Canonical; }

}  // namespace tarvik

#include "archive/ReaderAddress.h"

#include <algorithm>
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

bool IsUnreserved(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += Hex[c >> 4];
  out += Hex[c & 15];
}

// A byte as the reader sees the header: below 0x80 itself, above it the
// Latin-1 character, which an address carries as two escaped UTF-8 bytes.
void AppendByte(std::string& out, unsigned char c, bool escape) {
  if (c >= 0x80) {
    AppendEscaped(out, static_cast<unsigned char>(0xC0 | (c >> 6)));
    AppendEscaped(out, static_cast<unsigned char>(0x80 | (c & 0x3F)));
  } else if (escape || c < 0x20 || c == 0x7F) {
    AppendEscaped(out, c);
  } else {
    out += static_cast<char>(c);
  }
}

enum class TComponent { Path, Query, Fragment };

bool MustEscape(unsigned char c, TComponent component) noexcept {
  switch (c) {
    case ' ':
    case '"':
    case '<':
    case '>':
      return true;
    case '`':
      return component != TComponent::Query;
    case '{':
    case '}':
      return component == TComponent::Path;
    case '\'':
      return component == TComponent::Query;
    default:
      return false;
  }
}

// One component, with existing escapes kept (the path's unreserved ones decoded).
std::string CanonicalPart(std::string_view text, TComponent component) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      const auto value = static_cast<unsigned char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      if (component == TComponent::Path && IsUnreserved(value)) {
        out += static_cast<char>(value);
      } else {
        out += '%';
        out += text[i + 1];
        out += text[i + 2];
      }
      i += 2;
      continue;
    }
    AppendByte(out, c, MustEscape(c, component));
  }
  return out;
}

std::string CanonicalPath(std::string_view path) {
  std::string slashed(path);
  for (char& c : slashed)
    if (c == '\\') c = '/';
  std::vector<std::string> segments;
  size_t at = slashed.empty() || slashed[0] != '/' ? 0 : 1;
  bool trailingSlash = slashed.empty();
  while (at <= slashed.size()) {
    size_t end = slashed.find('/', at);
    if (end == std::string::npos) end = slashed.size();
    std::string segment = CanonicalPart(std::string_view(slashed).substr(at, end - at), TComponent::Path);
    std::string lower = segment;
    for (char& c : lower) c = AsciiLower(c);
    const bool last = end == slashed.size();
    if (lower == "." || lower == "%2e") {
      trailingSlash = last;
    } else if (lower == ".." || lower == ".%2e" || lower == "%2e." || lower == "%2e%2e") {
      if (!segments.empty()) segments.pop_back();
      trailingSlash = last;
    } else {
      segments.push_back(std::move(segment));
      trailingSlash = false;
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string& segment : segments) out += "/" + segment;
  if (out.empty() || trailingSlash) out += "/";
  return out;
}

}  // namespace

std::string CanonicalWebAddress(std::string_view location) {
  // Surrounding blanks and controls go; tabs and line breaks inside are skipped.
  while (!location.empty() && static_cast<unsigned char>(location.front()) <= 0x20) location.remove_prefix(1);
  while (!location.empty() && static_cast<unsigned char>(location.back()) <= 0x20) location.remove_suffix(1);
  std::string text;
  for (const char c : location)
    if (c != '\t' && c != '\r' && c != '\n') text += c;

  const size_t colon = text.find(':');
  if (colon == std::string::npos) return text;
  std::string scheme = text.substr(0, colon);
  for (char& c : scheme) c = AsciiLower(c);
  const char* defaultPort = scheme == "http" ? "80" : scheme == "https" ? "443" : scheme == "ftp" ? "21" : nullptr;
  if (!defaultPort) return text;

  size_t at = colon + 1;
  while (at < text.size() && (text[at] == '/' || text[at] == '\\')) ++at;
  size_t end = text.find_first_of("/\\?#", at);
  if (end == std::string::npos) end = text.size();
  std::string authority = text.substr(at, end - at);
  const size_t atSign = authority.rfind('@');
  const size_t hostStart = atSign == std::string::npos ? 0 : atSign + 1;
  for (size_t i = hostStart; i < authority.size(); ++i) authority[i] = AsciiLower(authority[i]);
  const size_t portColon = authority.rfind(':');
  if (portColon != std::string::npos && portColon >= hostStart && authority.find(']', portColon) == std::string::npos) {
    std::string port = authority.substr(portColon + 1);
    while (port.size() > 1 && port[0] == '0') port.erase(0, 1);
    if (port.empty() || port == defaultPort)
      authority.resize(portColon);
    else
      authority = authority.substr(0, portColon + 1) + port;
  }

  const size_t fragment = text.find('#', end);
  const size_t query = text.find('?', end);
  const size_t pathEnd = std::min(query, fragment);
  std::string out = scheme + "://" + authority;
  out += CanonicalPath(
      std::string_view(text).substr(end, pathEnd == std::string::npos ? std::string::npos : pathEnd - end));
  if (query != std::string::npos && query < fragment)
    out += "?" + CanonicalPart(std::string_view(text).substr(
                                   query + 1, fragment == std::string::npos ? std::string::npos : fragment - query - 1),
                               TComponent::Query);
  if (fragment != std::string::npos)
    out += "#" + CanonicalPart(std::string_view(text).substr(fragment + 1), TComponent::Fragment);
  return out;
}

}  // namespace tarvik

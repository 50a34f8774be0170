#include "archive/ContentSniffing.h"

namespace tarvik {

std::string ContentTypeFromExtension(std::string_view fileName) {
  struct TEntry {
    const char* Extension;
    const char* Type;
  };
  static constexpr TEntry Table[] = {
      {"htm", "text/html"},
      {"html", "text/html"},
      {"shtml", "text/html"},
      {"xhtml", "application/xhtml+xml"},
      {"css", "text/css"},
      {"js", "application/javascript"},
      {"mjs", "application/javascript"},
      {"json", "application/json"},
      {"xml", "text/xml"},
      {"txt", "text/plain"},
      {"csv", "text/csv"},
      {"png", "image/png"},
      {"gif", "image/gif"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"jpe", "image/jpeg"},
      {"bmp", "image/bmp"},
      {"ico", "image/x-icon"},
      {"svg", "image/svg+xml"},
      {"webp", "image/webp"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},
      {"otf", "font/otf"},
      {"swf", "application/x-shockwave-flash"},
      {"pdf", "application/pdf"},
      {"zip", "application/zip"},
      {"gz", "application/x-gzip"},
      {"mp3", "audio/mpeg"},
      {"wav", "audio/wav"},
      {"mp4", "video/mp4"},
      {"mpg", "video/mpeg"},
      {"mpeg", "video/mpeg"},
      {"avi", "video/avi"},
      {"mht", "message/rfc822"},
      {"mhtml", "message/rfc822"},
      {"eml", "message/rfc822"},
  };
  // The extension of the last path segment, without a query or fragment
  // that a cache name may still carry.
  const size_t slash = fileName.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  name = name.substr(0, name.find_first_of("?#"));
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    std::string extension(name.substr(dot + 1));
    for (char& c : extension)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const TEntry& entry : Table)
      if (extension == entry.Extension) return entry.Type;
  }
  return "text/plain";
}

std::string ContentTypeFromBytes(std::string_view head) {
  struct TSignature {
    std::string_view Bytes;
    size_t Offset;
    const char* Type;
  };
  using namespace std::string_view_literals;
  static constexpr TSignature Signatures[] = {
      {"\x89PNG\r\n\x1a\n"sv, 0, "image/png"},
      {"GIF87a"sv, 0, "image/gif"},
      {"GIF89a"sv, 0, "image/gif"},
      {"\xFF\xD8\xFF"sv, 0, "image/jpeg"},
      {"WEBP"sv, 8, "image/webp"},
      {"BM"sv, 0, "image/bmp"},
      {"\0\0\x01\0"sv, 0, "image/x-icon"},
      {"%PDF-"sv, 0, "application/pdf"},
      {"wOFF"sv, 0, "font/woff"},
      {"wOF2"sv, 0, "font/woff2"},
      {"PK\x03\x04"sv, 0, "application/zip"},
      {"\x1F\x8B\x08"sv, 0, "application/x-gzip"},
  };
  for (const TSignature& signature : Signatures)
    if (head.size() >= signature.Offset + signature.Bytes.size() &&
        head.substr(signature.Offset, signature.Bytes.size()) == signature.Bytes &&
        (signature.Offset == 0 || head.substr(0, 4) == "RIFF"))
      return signature.Type;
  return "application/octet-stream";
}

namespace {
bool IsTokenChar(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  if (b <= 0x20 || b >= 0x7F) return false;
  return std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}
bool IsToken(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (const char c : text)
    if (!IsTokenChar(c)) return false;
  return true;
}
std::string_view Trimmed(std::string_view text) noexcept {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}
}  // namespace

std::string PartContentType(std::string_view type) {
  const size_t semicolon = type.find(';');
  const std::string_view media = Trimmed(type.substr(0, semicolon));
  const size_t slash = media.find('/');
  if (slash == std::string_view::npos || !IsToken(media.substr(0, slash)) || !IsToken(media.substr(slash + 1)))
    return {};
  std::string top(media.substr(0, slash));
  for (char& c : top)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  if (top == "multipart" || top == "message") return {};
  if (semicolon == std::string_view::npos) return std::string(type);
  for (const char c : type.substr(semicolon))
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
      return std::string(type.substr(0, semicolon));
  return std::string(type);
}

}  // namespace tarvik

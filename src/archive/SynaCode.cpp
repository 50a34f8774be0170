#include "archive/SynaCode.h"

#include <algorithm>
#include <cstring>

#include "archive/Base64Simd.h"

namespace tarvik {

namespace {

// Two alphabet characters for every 12-bit value: one lookup per half of a
// three-byte group.
struct TPairTable {
  char Pairs[4096][2];
  constexpr TPairTable() : Pairs() {
    for (int v = 0; v < 4096; ++v) {
      Pairs[v][0] = Base64Alphabet[v >> 6];
      Pairs[v][1] = Base64Alphabet[v & 63];
    }
  }
};
constexpr TPairTable PairTable;

char* EncodeTail(const unsigned char* src, size_t n, char* dst) noexcept {
  if (n == 1) {
    *dst++ = Base64Alphabet[src[0] >> 2];
    *dst++ = Base64Alphabet[(src[0] & 3) << 4];
    *dst++ = '=';
    *dst++ = '=';
  } else if (n == 2) {
    *dst++ = Base64Alphabet[src[0] >> 2];
    *dst++ = Base64Alphabet[((src[0] & 3) << 4) + (src[1] >> 4)];
    *dst++ = Base64Alphabet[(src[1] & 15) << 2];
    *dst++ = '=';
  }
  return dst;
}

TBase64Path DetectPath() noexcept {
  if (Base64PathAvailable(TBase64Path::AVX2)) return TBase64Path::AVX2;
  if (Base64PathAvailable(TBase64Path::SSSE3)) return TBase64Path::SSSE3;
  return TBase64Path::Scalar;
}

const TBase64Path GPath = DetectPath();

}  // namespace

namespace detail {
// Whole groups only: n is a multiple of 3.
char* Base64EncodeGroups(const unsigned char* src, size_t n, char* dst) noexcept {
  const unsigned char* end = src + n;
  for (; src != end; src += 3, dst += 4) {
    const uint32_t v = (uint32_t(src[0]) << 16) | (uint32_t(src[1]) << 8) | src[2];
    std::memcpy(dst, PairTable.Pairs[v >> 12], 2);
    std::memcpy(dst + 2, PairTable.Pairs[v & 0xFFF], 2);
  }
  return dst;
}
}  // namespace detail

bool Base64PathAvailable(TBase64Path path) noexcept {
  switch (path) {
    case TBase64Path::Scalar:
      return true;
    case TBase64Path::SSSE3:
      return detail::CpuHasSSSE3();
    case TBase64Path::AVX2:
      return detail::CpuHasAVX2();
  }
  return false;
}

TBase64Path Base64PathInUse() noexcept { return GPath; }

const char* Base64PathName(TBase64Path path) noexcept {
  switch (path) {
    case TBase64Path::Scalar:
      return "scalar";
    case TBase64Path::SSSE3:
      return "SSSE3";
    case TBase64Path::AVX2:
      return "AVX2";
  }
  return "?";
}

char* Base64EncodeWith(TBase64Path path, const void* data, size_t n, char* dst) noexcept {
  const auto* src = static_cast<const unsigned char*>(data);
  size_t done = 0;
  // The vector encoders take whole blocks and leave the rest to the table.
  if (path == TBase64Path::AVX2) {
    done = detail::Base64EncodeAVX2(src, n, dst);
  } else if (path == TBase64Path::SSSE3) {
    done = detail::Base64EncodeSSSE3(src, n, dst);
  }
  dst += done / 3 * 4;
  const size_t groups = (n - done) / 3 * 3;
  dst = detail::Base64EncodeGroups(src + done, groups, dst);
  return EncodeTail(src + done + groups, n - done - groups, dst);
}

char* Base64EncodeTo(const void* data, size_t n, char* dst) noexcept { return Base64EncodeWith(GPath, data, n, dst); }

std::string Base64Encode(std::string_view data) {
  // Sized once, and filled through a small buffer that stays in the cache
  // rather than zero-filled first and then overwritten.
  std::string result;
  result.reserve(Base64EncodedLength(data.size()));
  constexpr size_t SliceInput = 3 * 4096;
  char slice[4 * 4096];
  for (size_t at = 0; at < data.size(); at += SliceInput) {
    const size_t n = std::min(SliceInput, data.size() - at);
    const char* end = Base64EncodeTo(data.data() + at, n, slice);
    result.append(slice, static_cast<size_t>(end - slice));
  }
  return result;
}

namespace {
constexpr TByteSet MakeURLEscapeSet() {
  TByteSet set{};
  auto add = [&set](int from, int to) {
    for (int b = from; b <= to; ++b) set[b >> 3] |= uint8_t(1u << (b & 7));
  };
  add(0x00, 0x20);
  add(0x22, 0x22);
  add(0x25, 0x25);
  add(0x3C, 0x3C);
  add(0x3E, 0x3E);
  add(0x5B, 0x60);
  add(0x7B, 0xFF);
  return set;
}
}  // namespace

const TByteSet URLEscapeSet = MakeURLEscapeSet();

std::string EscapeBytes(std::string_view text, char escapeChar, const TByteSet& set) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string result(text.size() * 3, '\0');
  char* out = result.data();
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (InByteSet(set, b)) {
      *out++ = escapeChar;
      *out++ = Hex[b >> 4];
      *out++ = Hex[b & 15];
    } else {
      *out++ = c;
    }
  }
  result.resize(static_cast<size_t>(out - result.data()));
  return result;
}

std::string PercentEncode(std::string_view text) { return EscapeBytes(text, '%', URLEscapeSet); }

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

}  // namespace tarvik

namespace tarvik {

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

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

}  // namespace tarvik

#pragma once
// The codecs of the web archive: one-line Base64 for every part body and the
// percent-encoding of alias URLs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvik {

// The 64 digits of RFC 4648 section 4, then the pad character at index 64.
inline constexpr char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// 4 * ceil(n / 3).
constexpr size_t Base64EncodedLength(size_t n) noexcept { return (n + 2) / 3 * 4; }

// Base64 of data as one line: no line break however long it is.
std::string Base64Encode(std::string_view data);
// The same into dst, which holds Base64EncodedLength(n) bytes; returns the end.
char* Base64EncodeTo(const void* data, size_t n, char* dst) noexcept;

// The encoders behind Base64EncodeTo: the portable one and, where the
// processor has them, vector ones. Every path writes the same bytes.
enum class TBase64Path { Scalar, SSSE3, AVX2 };
bool Base64PathAvailable(TBase64Path path) noexcept;
TBase64Path Base64PathInUse() noexcept;
const char* Base64PathName(TBase64Path path) noexcept;
// Encodes with the given path (which must be available).
char* Base64EncodeWith(TBase64Path path, const void* data, size_t n, char* dst) noexcept;

// A set of byte values: bit b of byte b / 8 stands for the value b.
using TByteSet = std::array<uint8_t, 32>;
constexpr bool InByteSet(const TByteSet& set, unsigned char b) noexcept { return (set[b >> 3] >> (b & 7)) & 1; }

// Bytes that URLs in the archive carry escaped: 0x00-0x20, " % < >,
// [ \ ] ^ _ `, and 0x7B-0xFF. "_" is escaped and "#" is not.
extern const TByteSet URLEscapeSet;

// Every byte of text in set becomes escapeChar and two upper-case
// hexadecimal digits; every other byte is copied.
std::string EscapeBytes(std::string_view text, char escapeChar, const TByteSet& set);
// EscapeBytes with "%" and URLEscapeSet.
std::string PercentEncode(std::string_view text);

}  // namespace tarvik

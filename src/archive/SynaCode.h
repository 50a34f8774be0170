#pragma once
// The codecs of the web archive: one-line Base64 for every part body, the
// percent-encoding of alias URLs, and a MIME type guessed from a file name.
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

// A MIME type for a file name by its extension from a fixed table of the
// common web types, or "text/plain" when the name has none it knows.
std::string ContentTypeFromExtension(std::string_view fileName);

// The type that the first bytes of a resource show (images, fonts, PDF,
// archives by their signatures), or "application/octet-stream".
std::string ContentTypeFromBytes(std::string_view head);

// A type that a part of an archive may carry: "type/subtype" of token
// characters, not composite (multipart/*, message/*: a reader would take the
// part's bytes for more parts of the archive, or drop the whole archive),
// with parameters kept only when they are printable ASCII. Empty when the
// type cannot stand; the caller then sniffs the bytes.
std::string PartContentType(std::string_view type);

// A MIME type proposed for the file named, or "text/plain" for every
// failure and for an empty name. The DLL asks the platform's MIME sniffer by
// the name alone; the native build uses ContentTypeFromExtension.
std::string SniffContentType(const std::string& fileName);

}  // namespace tarvik

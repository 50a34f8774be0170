#include "support/Deflate.h"

#include <array>
#include <cstdint>
#include <vector>

namespace tarvik::test {

namespace {

class TBitWriter {
 public:
  // value's low `count` bits, least significant first.
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  // A Huffman code, most significant bit first.
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  std::string Take() { return std::move(FOut); }

 private:
  void Bit(uint32_t bit) {
    if (FUsed == 0) FOut.push_back('\0');
    FOut.back() = static_cast<char>(static_cast<uint8_t>(FOut.back()) | bit << FUsed);
    FUsed = (FUsed + 1) & 7;
  }
  std::string FOut;
  int FUsed = 0;
};

// The fixed literal/length code of symbol (0..287).
void Symbol(TBitWriter& out, int symbol) {
  if (symbol < 144)
    out.Code(0x30 + symbol, 8);
  else if (symbol < 256)
    out.Code(0x190 + symbol - 144, 9);
  else if (symbol < 280)
    out.Code(symbol - 256, 7);
  else
    out.Code(0xC0 + symbol - 280, 8);
}

constexpr int LengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int LengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int DistanceBase[] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int DistanceExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

template <size_t N>
int CodeIndex(const int (&bases)[N], int value) {
  int index = 0;
  while (index + 1 < static_cast<int>(N) && bases[index + 1] <= value) ++index;
  return index;
}

uint32_t Crc32(std::string_view data) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void Le32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

std::string Deflate(std::string_view data) {
  TBitWriter out;
  out.Bits(1, 1);                      // the last block
  out.Bits(1, 2);                      // fixed codes
  std::vector<int> last(1 << 15, -1);  // where each 3-byte hash was seen last
  auto hash = [&](size_t at) {
    return (static_cast<uint8_t>(data[at]) << 10 ^ static_cast<uint8_t>(data[at + 1]) << 5 ^
            static_cast<uint8_t>(data[at + 2])) &
           0x7FFF;
  };
  size_t at = 0;
  while (at < data.size()) {
    int length = 0;
    size_t distance = 0;
    if (at + 3 <= data.size()) {
      const int candidate = last[hash(at)];
      last[hash(at)] = static_cast<int>(at);
      if (candidate >= 0 && at - candidate <= 32768) {
        while (length < 258 && at + length < data.size() && data[candidate + length] == data[at + length]) ++length;
        distance = at - candidate;
      }
    }
    if (length < 3) {
      Symbol(out, static_cast<uint8_t>(data[at++]));
      continue;
    }
    const int l = CodeIndex(LengthBase, length);
    Symbol(out, 257 + l);
    out.Bits(length - LengthBase[l], LengthExtra[l]);
    const int d = CodeIndex(DistanceBase, static_cast<int>(distance));
    out.Code(d, 5);
    out.Bits(static_cast<uint32_t>(distance) - DistanceBase[d], DistanceExtra[d]);
    for (size_t end = at + length; ++at < end;)
      if (at + 3 <= data.size()) last[hash(at)] = static_cast<int>(at);
  }
  Symbol(out, 256);
  return out.Take();
}

std::string Gzip(std::string_view data) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  out += Deflate(data);
  Le32(out, Crc32(data));
  Le32(out, static_cast<uint32_t>(data.size()));
  return out;
}

}  // namespace tarvik::test

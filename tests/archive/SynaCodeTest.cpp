#include "archive/SynaCode.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tarvik {
namespace {

TEST(Base64Encode, WorkedExamplesAndPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode(std::string("\0\0\0", 3)), "AAAA");
  EXPECT_EQ(Base64Encode("\xFF\xFF\xFF"), "////");
  EXPECT_EQ(Base64Encode("\xFB\xEF\xBE"), "++++");
  // RFC 4648 section 10.
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
}

TEST(Base64Encode, OneMebibyteIsOneLineOfTheExactLength) {
  std::string data(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : data) c = static_cast<char>(random());
  const std::string encoded = Base64Encode(data);
  EXPECT_EQ(encoded.size(), 1398104u);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(encoded.find_first_not_of(std::string(Base64Alphabet, 64)), encoded.size() - 2);  // "=" twice at the end
  EXPECT_EQ(encoded.substr(encoded.size() - 2), "==");
}

// The reference: the algorithm written out plainly, byte by byte.
std::string ReferenceBase64(const std::string& data) {
  std::string out;
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const auto b1 = static_cast<unsigned char>(data[i]), b2 = static_cast<unsigned char>(data[i + 1]),
               b3 = static_cast<unsigned char>(data[i + 2]);
    out += Base64Alphabet[b1 >> 2];
    out += Base64Alphabet[((b1 & 3) << 4) + (b2 >> 4)];
    out += Base64Alphabet[((b2 & 15) << 2) + (b3 >> 6)];
    out += Base64Alphabet[b3 & 63];
  }
  if (data.size() - i == 1) {
    const auto b1 = static_cast<unsigned char>(data[i]);
    out += Base64Alphabet[b1 >> 2];
    out += Base64Alphabet[(b1 & 3) << 4];
    out += "==";
  } else if (data.size() - i == 2) {
    const auto b1 = static_cast<unsigned char>(data[i]), b2 = static_cast<unsigned char>(data[i + 1]);
    out += Base64Alphabet[b1 >> 2];
    out += Base64Alphabet[((b1 & 3) << 4) + (b2 >> 4)];
    out += Base64Alphabet[(b2 & 15) << 2];
    out += "=";
  }
  return out;
}

TEST(Base64Encode, EveryPathWritesTheSameBytesForManyLengths) {
  std::mt19937 random(12345);
  std::vector<TBase64Path> paths;
  for (TBase64Path p : {TBase64Path::Scalar, TBase64Path::SSSE3, TBase64Path::AVX2})
    if (Base64PathAvailable(p)) paths.push_back(p);
  std::printf("Base64 paths available: %zu, in use: %s\n", paths.size(), Base64PathName(Base64PathInUse()));
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {1021u, 4096u, 65535u, 65536u, 65537u, 1000003u}) lengths.push_back(n);
  for (const size_t n : lengths) {
    // Data at an odd offset inside a larger buffer: the vector loads must
    // stay within the n bytes, and unaligned input must not matter.
    std::string buffer(n + 7, '\0');
    for (char& c : buffer) c = static_cast<char>(random());
    const std::string data = buffer.substr(3, n);
    const std::string expected = ReferenceBase64(data);
    for (TBase64Path path : paths) {
      std::string out(Base64EncodedLength(n) + 1, '#');
      char* end = Base64EncodeWith(path, buffer.data() + 3, n, out.data());
      ASSERT_EQ(static_cast<size_t>(end - out.data()), Base64EncodedLength(n)) << Base64PathName(path) << " n=" << n;
      EXPECT_EQ(out.back(), '#') << "wrote past the end: " << Base64PathName(path) << " n=" << n;
      out.pop_back();
      ASSERT_EQ(out, expected) << Base64PathName(path) << " n=" << n;
    }
    ASSERT_EQ(Base64Encode(data), expected) << "n=" << n;
  }
}

TEST(PercentEncode, EveryByteValueAgainstTheEscapeSet) {
  auto inSet = [](int b) {
    return b <= 0x20 || b == 0x22 || b == 0x25 || b == 0x3C || b == 0x3E || (b >= 0x5B && b <= 0x60) || b >= 0x7B;
  };
  std::string all;
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    all += one;
    char hex[4];
    std::snprintf(hex, sizeof(hex), "%%%02X", b);
    const std::string want = inSet(b) ? std::string(hex) : one;
    expected += want;
    EXPECT_EQ(PercentEncode(one), want) << "byte " << b;
    EXPECT_EQ(InByteSet(URLEscapeSet, static_cast<unsigned char>(b)), inSet(b)) << "byte " << b;
  }
  EXPECT_EQ(PercentEncode(all), expected);
}

TEST(PercentEncode, WorkedExamples) {
  EXPECT_EQ(PercentEncode("http://h/a b_c~d\xE9?x=1&y=2#top"), "http://h/a%20b%5Fc%7Ed%E9?x=1&y=2#top");
  const std::string clean = "http://example.com/path/page.html?q=1&r=2#frag!$'()*+,;=@-.:";
  EXPECT_EQ(PercentEncode(clean), clean);
  EXPECT_EQ(PercentEncode(""), "");
  EXPECT_EQ(PercentEncode("\"%<>[\\]^`{|}"), "%22%25%3C%3E%5B%5C%5D%5E%60%7B%7C%7D");
}

TEST(EscapeBytes, UsesTheGivenCharacterAndSet) {
  TByteSet set{};
  set['a' >> 3] |= 1 << ('a' & 7);
  set[0] |= 1;  // the zero byte
  EXPECT_EQ(EscapeBytes(std::string("banana\0!", 8), '=', set), "b=61n=61n=61=00!");
  EXPECT_EQ(EscapeBytes("xyz", '=', set), "xyz");
}

}  // namespace
}  // namespace tarvik

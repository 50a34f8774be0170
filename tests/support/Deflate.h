#pragma once
// Compressed bodies for tests of Content-Encoding: a small deflate encoder
// (fixed Huffman codes, greedy matches), and its gzip wrapping.
#include <string>
#include <string_view>

namespace tarvik::test {

// A raw deflate stream (RFC 1951) of data.
std::string Deflate(std::string_view data);
// A gzip member (RFC 1952) of data.
std::string Gzip(std::string_view data);

}  // namespace tarvik::test

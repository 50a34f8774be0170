// The reader-address model on addresses from standard input, one a line in
// hexadecimal; prints one line each: the canonical address, or "-" where the
// model is not sure. The differential test compares them with the browser.
#include <iostream>
#include <string>

#include "archive/ReaderAddress.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string bytes;
    for (size_t i = 0; i + 1 < line.size(); i += 2) {
      const int high = HexValue(line[i]), low = HexValue(line[i + 1]);
      if (high < 0 || low < 0) {
        std::cerr << "not hexadecimal: " << line << "\n";
        return 2;
      }
      bytes += static_cast<char>(high * 16 + low);
    }
    const std::optional<std::string> canonical = tarvik::CanonicalWebAddress(bytes);
    std::cout << (canonical ? *canonical : "-") << "\n";
  }
  return 0;
}

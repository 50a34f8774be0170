#include "core/ChaCha20.h"

#include <cstring>

namespace tarvik {

namespace {

inline uint32_t Rotl(uint32_t v, int n) noexcept { return (v << n) | (v >> (32 - n)); }

inline void QuarterRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) noexcept {
  a += b;
  d ^= a;
  d = Rotl(d, 16);
  c += d;
  b ^= c;
  b = Rotl(b, 12);
  a += b;
  d ^= a;
  d = Rotl(d, 8);
  c += d;
  b ^= c;
  b = Rotl(b, 7);
}

inline uint32_t Load32(const uint8_t* p) noexcept {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void Store32(uint8_t* p, uint32_t v) noexcept {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void SecureWipe(void* data, size_t size) noexcept {
  volatile uint8_t* bytes = static_cast<uint8_t*>(data);
  for (size_t k = 0; k < size; ++k) bytes[k] = 0;
}

TChaCha20::TChaCha20(const uint8_t (&key)[KeySize], const uint8_t (&nonce)[NonceSize]) noexcept {
  FState[0] = 0x61707865;
  FState[1] = 0x3320646e;
  FState[2] = 0x79622d32;
  FState[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) FState[4 + i] = Load32(key + 4 * i);
  FState[12] = 0;
  for (int i = 0; i < 3; ++i) FState[13 + i] = Load32(nonce + 4 * i);
}

// The key lives only in this process's memory, and only as long as needed.
TChaCha20::~TChaCha20() { SecureWipe(FState, sizeof(FState)); }

void TChaCha20::Block(uint32_t counter, uint8_t (&out)[BlockSize]) const noexcept {
  uint32_t x[16];
  std::memcpy(x, FState, sizeof(x));
  x[12] = counter;
  uint32_t input12 = counter;
  for (int round = 0; round < 10; ++round) {
    QuarterRound(x[0], x[4], x[8], x[12]);
    QuarterRound(x[1], x[5], x[9], x[13]);
    QuarterRound(x[2], x[6], x[10], x[14]);
    QuarterRound(x[3], x[7], x[11], x[15]);
    QuarterRound(x[0], x[5], x[10], x[15]);
    QuarterRound(x[1], x[6], x[11], x[12]);
    QuarterRound(x[2], x[7], x[8], x[13]);
    QuarterRound(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) Store32(out + 4 * i, x[i] + (i == 12 ? input12 : FState[i]));
  // The final state and a block's output together give the key back.
  SecureWipe(x, sizeof(x));
}

void TChaCha20::Apply(uint64_t position, void* data, size_t size, uint32_t first) const noexcept {
  uint8_t* bytes = static_cast<uint8_t*>(data);
  uint8_t block[BlockSize];
  while (size > 0) {
    const uint32_t counter = first + static_cast<uint32_t>(position / BlockSize);
    const size_t skip = static_cast<size_t>(position % BlockSize);
    const size_t n = size < BlockSize - skip ? size : BlockSize - skip;
    Block(counter, block);
    if (n == BlockSize) {
      // A whole block: eight words at a time.
      for (size_t k = 0; k < BlockSize; k += 8) {
        uint64_t word, key;
        std::memcpy(&word, bytes + k, 8);
        std::memcpy(&key, block + k, 8);
        word ^= key;
        std::memcpy(bytes + k, &word, 8);
      }
    } else {
      for (size_t k = 0; k < n; ++k) bytes[k] ^= block[skip + k];
    }
    bytes += n;
    position += n;
    size -= n;
  }
  SecureWipe(block, sizeof(block));
}

}  // namespace tarvik

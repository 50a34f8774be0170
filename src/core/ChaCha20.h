#pragma once
// The ChaCha20 stream cipher (RFC 8439: 256-bit key, 96-bit nonce, 32-bit
// block counter). The keystream is addressed by byte position, so any range
// of a file written with it can be read back without the bytes before it.
#include <cstddef>
#include <cstdint>

namespace tarvik {

// Overwrites memory with zeros in a way the compiler may not drop: for key
// material and cipher states that would otherwise stay behind on the stack.
void SecureWipe(void* data, size_t size) noexcept;

class TChaCha20 {
 public:
  static constexpr size_t KeySize = 32;
  static constexpr size_t NonceSize = 12;
  static constexpr size_t BlockSize = 64;
  // Bytes one key and nonce can cover: 2^32 blocks.
  static constexpr uint64_t StreamLimit = uint64_t{BlockSize} << 32;

  // Ways to make the keystream, all giving the same bytes: one block at a
  // time in plain code, or several at once in vector registers. The 32-bit
  // build may not assume any vector unit, so the processor is asked at run
  // time.
  enum class TKernel { Scalar, Sse2, Avx2 };
  // Whether this processor runs kernel.
  static bool Runs(TKernel kernel) noexcept;
  // The kernel Apply uses: the widest one the processor runs.
  static TKernel Fastest() noexcept;

  TChaCha20(const uint8_t (&key)[KeySize], const uint8_t (&nonce)[NonceSize]) noexcept;
  ~TChaCha20();
  TChaCha20(const TChaCha20&) = delete;
  TChaCha20& operator=(const TChaCha20&) = delete;

  // The keystream block with this counter, serialized.
  void Block(uint32_t counter, uint8_t (&out)[BlockSize]) const noexcept;
  // XORs data with the keystream from byte position on, the stream starting
  // at block counter first. Encryption and decryption alike; the caller
  // keeps position + size within StreamLimit.
  void Apply(uint64_t position, void* data, size_t size, uint32_t first = 0) const noexcept;
  // Apply with the given kernel, which the processor must run (tests and
  // benchmarks compare them).
  void ApplyWith(TKernel kernel, uint64_t position, void* data, size_t size, uint32_t first = 0) const noexcept;

 private:
  uint32_t FState[16];  // constants, key and nonce; word 12 (the counter) is set per block
};

}  // namespace tarvik

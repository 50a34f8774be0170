#include "core/ChaCha20.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define TARVIK_CHACHA_VECTORS 1
#endif

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

// The final state of a block together with one output block gives the key
// back, and with eight general registers the 32-bit build keeps most of it
// on the stack. The kernels run in frames of their own (never inlined), and
// the stack they used is zeroed after them, whatever the compiler spilled
// where. Their frames are far smaller than this.
constexpr size_t KernelStack = 4096;

__attribute__((noinline)) void WipeKernelStack() noexcept {
  unsigned char area[KernelStack];
  std::memset(area, 0, sizeof(area));
  // The zeros must be stored although nothing reads them.
  __asm__ __volatile__("" : : "r"(area) : "memory");
}

__attribute__((noinline)) void ScalarBlock(const uint32_t (&state)[16], uint32_t counter,
                                           uint8_t (&out)[TChaCha20::BlockSize]) noexcept {
  uint32_t x[16];
  std::memcpy(x, state, sizeof(x));
  x[12] = counter;
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
  for (int i = 0; i < 16; ++i) Store32(out + 4 * i, x[i] + (i == 12 ? counter : state[i]));
}

// XORs whole blocks, the first with this counter; the counter wraps as the
// block counter does.
__attribute__((noinline)) void ScalarXor(const uint32_t (&state)[16], uint32_t counter, uint8_t* data,
                                         size_t blocks) noexcept {
  uint8_t block[TChaCha20::BlockSize];
  for (; blocks > 0; --blocks, ++counter, data += TChaCha20::BlockSize) {
    ScalarBlock(state, counter, block);
    // Eight bytes at a time.
    for (size_t k = 0; k < TChaCha20::BlockSize; k += 8) {
      uint64_t word, key;
      std::memcpy(&word, data + k, 8);
      std::memcpy(&key, block + k, 8);
      word ^= key;
      std::memcpy(data + k, &word, 8);
    }
  }
}

#ifdef TARVIK_CHACHA_VECTORS
// The vector kernels hold word i of several consecutive blocks in vector
// x[i], one block a lane, and run the rounds on all lanes at once. A
// Windows caller may hand over a stack aligned to 4 bytes only: the 32-bit
// kernels align their own.
#ifdef __i386__
#define TARVIK_KERNEL_ALIGN __attribute__((force_align_arg_pointer))
#else
#define TARVIK_KERNEL_ALIGN
#endif

#define TARVIK_CHACHA_QUARTER(a, b, c, d, ADD, XOR, ROTL) \
  (a) = ADD(a, b);                                        \
  (d) = ROTL(XOR(d, a), 16);                              \
  (c) = ADD(c, d);                                        \
  (b) = ROTL(XOR(b, c), 12);                              \
  (a) = ADD(a, b);                                        \
  (d) = ROTL(XOR(d, a), 8);                               \
  (c) = ADD(c, d);                                        \
  (b) = ROTL(XOR(b, c), 7)

#define TARVIK_CHACHA_DOUBLE_ROUND(x, ADD, XOR, ROTL)                      \
  TARVIK_CHACHA_QUARTER((x)[0], (x)[4], (x)[8], (x)[12], ADD, XOR, ROTL);  \
  TARVIK_CHACHA_QUARTER((x)[1], (x)[5], (x)[9], (x)[13], ADD, XOR, ROTL);  \
  TARVIK_CHACHA_QUARTER((x)[2], (x)[6], (x)[10], (x)[14], ADD, XOR, ROTL); \
  TARVIK_CHACHA_QUARTER((x)[3], (x)[7], (x)[11], (x)[15], ADD, XOR, ROTL); \
  TARVIK_CHACHA_QUARTER((x)[0], (x)[5], (x)[10], (x)[15], ADD, XOR, ROTL); \
  TARVIK_CHACHA_QUARTER((x)[1], (x)[6], (x)[11], (x)[12], ADD, XOR, ROTL); \
  TARVIK_CHACHA_QUARTER((x)[2], (x)[7], (x)[8], (x)[13], ADD, XOR, ROTL);  \
  TARVIK_CHACHA_QUARTER((x)[3], (x)[4], (x)[9], (x)[14], ADD, XOR, ROTL)

#define TARVIK_SSE2_ROTL(v, n) _mm_or_si128(_mm_slli_epi32(v, n), _mm_srli_epi32(v, 32 - (n)))

// Four blocks at a time; blocks is a multiple of 4.
__attribute__((noinline, target("sse2"))) TARVIK_KERNEL_ALIGN void Sse2Xor(const uint32_t (&state)[16],
                                                                           uint32_t counter, uint8_t* data,
                                                                           size_t blocks) noexcept {
  for (; blocks >= 4; blocks -= 4, counter += 4, data += 4 * TChaCha20::BlockSize) {
    __m128i x[16];
    for (int i = 0; i < 16; ++i) x[i] = _mm_set1_epi32(static_cast<int>(state[i]));
    const __m128i counters = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(counter)), _mm_set_epi32(3, 2, 1, 0));
    x[12] = counters;
    for (int round = 0; round < 10; ++round) {
      TARVIK_CHACHA_DOUBLE_ROUND(x, _mm_add_epi32, _mm_xor_si128, TARVIK_SSE2_ROTL);
    }
    for (int i = 0; i < 16; ++i)
      x[i] = _mm_add_epi32(x[i], i == 12 ? counters : _mm_set1_epi32(static_cast<int>(state[i])));
    // Lanes to blocks: words 4g..4g+3 of the four blocks, transposed.
    for (int g = 0; g < 4; ++g) {
      const __m128i t0 = _mm_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
      const __m128i t1 = _mm_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
      const __m128i t2 = _mm_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
      const __m128i t3 = _mm_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
      const __m128i rows[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1), _mm_unpacklo_epi64(t2, t3),
                               _mm_unpackhi_epi64(t2, t3)};
      for (int b = 0; b < 4; ++b) {
        auto* p = reinterpret_cast<__m128i*>(data + TChaCha20::BlockSize * b + 16 * g);
        _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), rows[b]));
      }
    }
  }
}

// Rotations by whole bytes as one byte shuffle.
#define TARVIK_AVX2_ROTL(v, n)                                                                                       \
  ((n) == 16  ? _mm256_shuffle_epi8(v, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, \
                                                       15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2))                \
   : (n) == 8 ? _mm256_shuffle_epi8(v, _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3, 14, 13, \
                                                       12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3))                \
              : _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - (n))))

// Eight blocks at a time; blocks is a multiple of 8.
__attribute__((noinline, target("avx2"))) TARVIK_KERNEL_ALIGN void Avx2Xor(const uint32_t (&state)[16],
                                                                           uint32_t counter, uint8_t* data,
                                                                           size_t blocks) noexcept {
  for (; blocks >= 8; blocks -= 8, counter += 8, data += 8 * TChaCha20::BlockSize) {
    __m256i x[16];
    for (int i = 0; i < 16; ++i) x[i] = _mm256_set1_epi32(static_cast<int>(state[i]));
    const __m256i counters =
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(counter)), _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    x[12] = counters;
    for (int round = 0; round < 10; ++round) {
      TARVIK_CHACHA_DOUBLE_ROUND(x, _mm256_add_epi32, _mm256_xor_si256, TARVIK_AVX2_ROTL);
    }
    for (int i = 0; i < 16; ++i)
      x[i] = _mm256_add_epi32(x[i], i == 12 ? counters : _mm256_set1_epi32(static_cast<int>(state[i])));
    // Within each 128-bit half as in the four-block kernel: rows[g][b] holds
    // words 4g..4g+3 of block b in its low half and of block b + 4 in its high.
    __m256i rows[4][4];
    for (int g = 0; g < 4; ++g) {
      const __m256i t0 = _mm256_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
      const __m256i t1 = _mm256_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
      const __m256i t2 = _mm256_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
      const __m256i t3 = _mm256_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
      rows[g][0] = _mm256_unpacklo_epi64(t0, t1);
      rows[g][1] = _mm256_unpackhi_epi64(t0, t1);
      rows[g][2] = _mm256_unpacklo_epi64(t2, t3);
      rows[g][3] = _mm256_unpackhi_epi64(t2, t3);
    }
    for (int half = 0; half < 2; ++half) {
      for (int b = 0; b < 4; ++b) {
        const __m256i& lo = rows[2 * half][b];
        const __m256i& hi = rows[2 * half + 1][b];
        auto* p = reinterpret_cast<__m256i*>(data + TChaCha20::BlockSize * b + 32 * half);
        auto* q = reinterpret_cast<__m256i*>(data + TChaCha20::BlockSize * (b + 4) + 32 * half);
        _mm256_storeu_si256(p, _mm256_xor_si256(_mm256_loadu_si256(p), _mm256_permute2x128_si256(lo, hi, 0x20)));
        _mm256_storeu_si256(q, _mm256_xor_si256(_mm256_loadu_si256(q), _mm256_permute2x128_si256(lo, hi, 0x31)));
      }
    }
  }
}
#endif

}  // namespace

void SecureWipe(void* data, size_t size) noexcept {
  volatile uint8_t* bytes = static_cast<uint8_t*>(data);
  for (size_t k = 0; k < size; ++k) bytes[k] = 0;
}

bool TChaCha20::Runs(TKernel kernel) noexcept {
  if (kernel == TKernel::Scalar) return true;
#ifdef TARVIK_CHACHA_VECTORS
  __builtin_cpu_init();
  // The AVX2 answer includes whether the system saves the wide registers.
  if (kernel == TKernel::Sse2) return __builtin_cpu_supports("sse2");
  if (kernel == TKernel::Avx2) return __builtin_cpu_supports("avx2");
#endif
  return false;
}

TChaCha20::TKernel TChaCha20::Fastest() noexcept {
  static const TKernel fastest = Runs(TKernel::Avx2)   ? TKernel::Avx2
                                 : Runs(TKernel::Sse2) ? TKernel::Sse2
                                                       : TKernel::Scalar;
  return fastest;
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

TChaCha20::~TChaCha20() { SecureWipe(FState, sizeof(FState)); }

void TChaCha20::Block(uint32_t counter, uint8_t (&out)[BlockSize]) const noexcept {
  ScalarBlock(FState, counter, out);
  WipeKernelStack();
}

void TChaCha20::Apply(uint64_t position, void* data, size_t size, uint32_t first) const noexcept {
  ApplyWith(Fastest(), position, data, size, first);
}

void TChaCha20::ApplyWith(TKernel kernel, uint64_t position, void* data, size_t size, uint32_t first) const noexcept {
  if (size == 0) return;
  uint8_t* bytes = static_cast<uint8_t*>(data);
  uint32_t counter = first + static_cast<uint32_t>(position / BlockSize);
  uint8_t block[BlockSize];
  // A block begun before position: its rest.
  if (const size_t skip = static_cast<size_t>(position % BlockSize); skip > 0) {
    const size_t n = size < BlockSize - skip ? size : BlockSize - skip;
    ScalarBlock(FState, counter++, block);
    for (size_t k = 0; k < n; ++k) bytes[k] ^= block[skip + k];
    bytes += n;
    size -= n;
  }
  size_t blocks = size / BlockSize;
  size_t done = 0;
#ifdef TARVIK_CHACHA_VECTORS
  if (kernel == TKernel::Avx2) {
    done = blocks / 8 * 8;
    Avx2Xor(FState, counter, bytes, done);
  }
  if (kernel != TKernel::Scalar && blocks - done >= 4) {
    const size_t four = (blocks - done) / 4 * 4;
    Sse2Xor(FState, static_cast<uint32_t>(counter + done), bytes + done * BlockSize, four);
    done += four;
  }
#endif
  ScalarXor(FState, static_cast<uint32_t>(counter + done), bytes + done * BlockSize, blocks - done);
  counter += static_cast<uint32_t>(blocks);
  bytes += blocks * BlockSize;
  size -= blocks * BlockSize;
  // A block ending after the data: its beginning.
  if (size > 0) {
    ScalarBlock(FState, counter, block);
    for (size_t k = 0; k < size; ++k) bytes[k] ^= block[k];
  }
  SecureWipe(block, sizeof(block));
  WipeKernelStack();
}

}  // namespace tarvik

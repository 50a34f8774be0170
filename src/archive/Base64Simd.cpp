// Base64 with byte shuffles: each 32-bit lane takes three input bytes,
// spreads their four 6-bit values into four bytes with two multiplies, and
// maps the values to the alphabet with one table lookup of a range offset.
#include "archive/Base64Simd.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define TARVIK_BASE64_X86 1
#endif

namespace tarvik::detail {

#ifdef TARVIK_BASE64_X86

bool CpuHasSSSE3() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

bool CpuHasAVX2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

namespace {

// Offsets that take a 6-bit value to its character: 0-25 +65 ('A'),
// 26-51 +71 ('a' - 26), 52-61 -4 ('0' - 52), 62 -19 ('+'), 63 -16 ('/').
// The index is 0 for 0-25, 1 for 26-51, and 2-13 for 52-63.
__attribute__((target("ssse3"))) inline __m128i Translate128(__m128i values) {
  const __m128i offsets = _mm_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  __m128i index = _mm_subs_epu8(values, _mm_set1_epi8(51));
  index = _mm_sub_epi8(index, _mm_cmpgt_epi8(values, _mm_set1_epi8(25)));
  return _mm_add_epi8(values, _mm_shuffle_epi8(offsets, index));
}

// Lanes hold input bytes b1 b2 b3 as [b2 b1 b3 b2]; out come the four 6-bit
// values, one a byte, in output order.
__attribute__((target("ssse3"))) inline __m128i Split128(__m128i lanes) {
  const __m128i t0 = _mm_and_si128(lanes, _mm_set1_epi32(0x0FC0FC00));
  const __m128i t1 = _mm_mulhi_epu16(t0, _mm_set1_epi32(0x04000040));
  const __m128i t2 = _mm_and_si128(lanes, _mm_set1_epi32(0x003F03F0));
  const __m128i t3 = _mm_mullo_epi16(t2, _mm_set1_epi32(0x01000010));
  return _mm_or_si128(t1, t3);
}

__attribute__((target("avx2"))) inline __m256i Translate256(__m256i values) {
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                                           65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
  index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
  return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
}

__attribute__((target("avx2"))) inline __m256i Split256(__m256i lanes) {
  const __m256i t0 = _mm256_and_si256(lanes, _mm256_set1_epi32(0x0FC0FC00));
  const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
  const __m256i t2 = _mm256_and_si256(lanes, _mm256_set1_epi32(0x003F03F0));
  const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(t1, t3);
}

}  // namespace

// force_align_arg_pointer: the 32-bit Windows ABI promises only 4-byte
// stack alignment, and vector spills need 16 or 32.
__attribute__((target("ssse3"), force_align_arg_pointer)) size_t Base64EncodeSSSE3(const unsigned char* src, size_t n,
                                                                                   char* dst) noexcept {
  const __m128i spread = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  size_t done = 0;
  // A 16-byte load per 12 bytes consumed.
  for (; n - done >= 16; done += 12, dst += 16) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + done));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), Translate128(Split128(_mm_shuffle_epi8(in, spread))));
  }
  return done;
}

__attribute__((target("avx2"), force_align_arg_pointer)) size_t Base64EncodeAVX2(const unsigned char* src, size_t n,
                                                                                 char* dst) noexcept {
  if (n < 32) return 0;
  // Lane 0 takes input bytes 0-11 at positions 4-15, lane 1 bytes 12-23 at
  // positions 0-11: after the first block every load starts 4 bytes early.
  const __m256i spread = _mm256_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14,  //
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  in = _mm256_permutevar8x32_epi32(in, _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), Translate256(Split256(_mm256_shuffle_epi8(in, spread))));
  size_t done = 24;
  dst += 32;
  // Two blocks a round while they fit, then one.
  for (; n - done >= 52; done += 48, dst += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done - 4));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done + 20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), Translate256(Split256(_mm256_shuffle_epi8(a, spread))));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), Translate256(Split256(_mm256_shuffle_epi8(b, spread))));
  }
  for (; n - done >= 28; done += 24, dst += 32) {
    in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + done - 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), Translate256(Split256(_mm256_shuffle_epi8(in, spread))));
  }
  return done;
}

#else

bool CpuHasSSSE3() noexcept { return false; }
bool CpuHasAVX2() noexcept { return false; }
size_t Base64EncodeSSSE3(const unsigned char*, size_t, char*) noexcept { return 0; }
size_t Base64EncodeAVX2(const unsigned char*, size_t, char*) noexcept { return 0; }

#endif

}  // namespace tarvik::detail

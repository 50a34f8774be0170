#pragma once
// Vector Base64 encoders for x86. Each encodes whole blocks from the start
// of src and returns how many input bytes it consumed (a multiple of 3);
// the caller encodes the rest. They read no byte at or beyond src + n.
#include <cstddef>

namespace tarvik::detail {

bool CpuHasSSSE3() noexcept;
bool CpuHasAVX2() noexcept;
size_t Base64EncodeSSSE3(const unsigned char* src, size_t n, char* dst) noexcept;
size_t Base64EncodeAVX2(const unsigned char* src, size_t n, char* dst) noexcept;
char* Base64EncodeGroups(const unsigned char* src, size_t n, char* dst) noexcept;

}  // namespace tarvik::detail

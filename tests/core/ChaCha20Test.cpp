// The cipher's kernels: the plain one and the vector ones the processor
// runs give the RFC 8439 keystream in every lane and the same bytes at any
// position and length, and leave no state behind on the stack.
#include "core/ChaCha20.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tarvik {
namespace {

using TKernel = TChaCha20::TKernel;

struct TKernelName {
  TKernel Kernel;
  const char* Name;
};
constexpr TKernelName Kernels[] = {{TKernel::Scalar, "scalar"}, {TKernel::Sse2, "sse2"}, {TKernel::Avx2, "avx2"}};

std::vector<uint8_t> FromHex(const char* text) {
  std::vector<uint8_t> bytes;
  for (const char* p = text; p[0] && p[1]; p += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
  return bytes;
}

// Keystream blocks of RFC 8439 (2.3.2 and A.1), by key, nonce and counter.
struct TVector {
  const char* Name;
  const char* Key;
  const char* Nonce;
  uint32_t Counter;
  const char* Block;
};
constexpr TVector Vectors[] = {
    {"2.3.2", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "000000090000004a00000000", 1,
     "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
     "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
    {"A.1 #1", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", 0,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"A.1 #2", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", 1,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {"A.1 #3", "0000000000000000000000000000000000000000000000000000000000000001", "000000000000000000000000", 1,
     "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
     "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
    {"A.1 #5", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000002", 0,
     "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
     "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
};

struct TCipherInput {
  uint8_t Key[TChaCha20::KeySize];
  uint8_t Nonce[TChaCha20::NonceSize];
};

TCipherInput Input(const char* keyHex, const char* nonceHex) {
  TCipherInput in{};
  const std::vector<uint8_t> key = FromHex(keyHex), nonce = FromHex(nonceHex);
  std::memcpy(in.Key, key.data(), sizeof(in.Key));
  std::memcpy(in.Nonce, nonce.data(), sizeof(in.Nonce));
  return in;
}

// Each vector's block in every lane of each kernel: sixteen blocks of zeros
// whose block lane has the vector's counter, so the counters before it wrap
// below zero when the vector's counter is small.
TEST(ChaCha20Kernels, EveryLaneGivesTheRfcBlocks) {
  for (const TVector& v : Vectors) {
    const TCipherInput in = Input(v.Key, v.Nonce);
    const TChaCha20 cipher(in.Key, in.Nonce);
    const std::vector<uint8_t> expected = FromHex(v.Block);
    for (const TKernelName& k : Kernels) {
      if (!TChaCha20::Runs(k.Kernel)) continue;
      for (uint32_t lane = 0; lane < 8; ++lane) {
        std::vector<uint8_t> data(16 * TChaCha20::BlockSize, 0);
        cipher.ApplyWith(k.Kernel, 0, data.data(), data.size(), v.Counter - lane);
        const auto block = data.begin() + static_cast<std::ptrdiff_t>(lane * TChaCha20::BlockSize);
        EXPECT_EQ(std::vector<uint8_t>(block, block + TChaCha20::BlockSize), expected)
            << v.Name << ", " << k.Name << ", lane " << lane;
      }
    }
  }
}

// The vector kernels against the plain one at every offset into a block and
// many lengths, from the start of the stream, across the counter's wrap and
// far into a large file.
TEST(ChaCha20Kernels, AgreeWithThePlainKernelAtEveryOffsetAndLength) {
  const TCipherInput in =
      Input("1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100", "0102030405060708090a0b0c");
  const TChaCha20 cipher(in.Key, in.Nonce);
  std::mt19937 random(7);
  std::string text(1400, '\0');
  for (char& c : text) c = static_cast<char>(random());
  struct TStart {
    uint64_t Base;
    uint32_t First;
  };
  const TStart starts[] = {{0, 0}, {0, 0xfffffffau}, {uint64_t{3} << 36, 0}, {TChaCha20::StreamLimit - 4096, 0}};
  for (const TStart& start : starts) {
    for (size_t offset = 0; offset < 2 * TChaCha20::BlockSize; ++offset) {
      // Whole blocks left after each kernel's runs: 0 to 15 of them, with bytes of blocks begun before and after.
      for (size_t size : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{255}, size_t{256},
                          size_t{257}, size_t{511}, size_t{512}, size_t{513}, size_t{700}, size_t{800}, size_t{1000},
                          size_t{1100}, size_t{1272}}) {
        const uint64_t position = start.Base + offset;
        if (position + size > TChaCha20::StreamLimit) continue;
        std::string plain = text.substr(offset, size);
        cipher.ApplyWith(TKernel::Scalar, position, plain.data(), size, start.First);
        for (const TKernelName& k : Kernels) {
          if (!TChaCha20::Runs(k.Kernel)) continue;
          std::string vector = text.substr(offset, size);
          cipher.ApplyWith(k.Kernel, position, vector.data(), size, start.First);
          ASSERT_EQ(vector, plain) << k.Name << " at " << position << "+" << size << ", first " << start.First;
        }
      }
    }
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
// The final state of any block with its output gives the key back; the
// vector kernels keep it in more registers than there are, so it goes to
// the stack. None of it, and none of the key, may stay there afterwards.
__attribute__((noinline)) void Encrypt(const TChaCha20& cipher, TKernel kernel, uint8_t* data, size_t size) {
  cipher.ApplyWith(kernel, 0, data, size, 5);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
// How many words of the stack below the caller equal one of words.
__attribute__((noinline)) size_t StackMatches(const std::vector<uint32_t>& words) {
  volatile uint32_t below[4096];  // deliberately not initialized: what the last call left
  size_t matches = 0;
  for (size_t i = 0; i < 4096; ++i) {
    const uint32_t word = below[i];
    for (uint32_t w : words) matches += word == w ? 1 : 0;
  }
  return matches;
}
#pragma GCC diagnostic pop

TEST(ChaCha20Kernels, LeaveNoStateOnTheStack) {
  const TCipherInput in =
      Input("c0ffee11c0ffee22c0ffee33c0ffee44c0ffee55c0ffee66c0ffee77c0ffee88", "0a0b0c0d0e0f101112131415");
  const TChaCha20 cipher(in.Key, in.Nonce);
  uint32_t input[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::memcpy(&input[4], in.Key, 32);
  std::memcpy(&input[13], in.Nonce, 12);
  for (const TKernelName& k : Kernels) {
    if (!TChaCha20::Runs(k.Kernel)) continue;
    constexpr size_t blocks = 16;
    std::vector<uint8_t> data(blocks * TChaCha20::BlockSize, 0);
    Encrypt(cipher, k.Kernel, data.data(), data.size());
    // Every block's final state (its output minus its input), and the key.
    std::vector<uint32_t> secret(input + 4, input + 12);
    for (size_t b = 0; b < blocks; ++b) {
      input[12] = static_cast<uint32_t>(5 + b);
      for (int i = 0; i < 16; ++i) {
        uint32_t word;
        std::memcpy(&word, data.data() + b * TChaCha20::BlockSize + 4 * i, 4);
        secret.push_back(word - input[i]);
      }
    }
    std::vector<uint8_t> again(data.size(), 0);
    Encrypt(cipher, k.Kernel, again.data(), again.size());
    EXPECT_EQ(StackMatches(secret), 0u) << k.Name;
  }
}
#endif

}  // namespace
}  // namespace tarvik

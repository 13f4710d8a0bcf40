#include "sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace scalesum {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

uint32_t loadBigEndian(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void storeBigEndian(uint32_t x, unsigned char* p) {
  p[0] = static_cast<unsigned char>(x >> 24);
  p[1] = static_cast<unsigned char>(x >> 16);
  p[2] = static_cast<unsigned char>(x >> 8);
  p[3] = static_cast<unsigned char>(x);
}

// Runs the compression function over `count` whole blocks at `blocks`.
void compressPortable(uint32_t state[8], const unsigned char* blocks, size_t count) {
  uint32_t w[64];
  for (; count > 0; --count, blocks += kSha256BlockBytes) {
    for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(blocks + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      const uint32_t choose = (e & f) ^ (~e & g);
      const uint32_t t1 = h + s1 + choose + kRoundConstants[t] + w[t];
      const uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + s0 + majority;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(__x86_64__)
// The same with the SHA instructions, four rounds at a time; they keep the state as the words
// ABEF and CDGH.
__attribute__((target("sha,sse4.1"))) void compressWithShaInstructions(uint32_t state[8],
                                                                       const unsigned char* blocks,
                                                                       size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; count > 0; --count, blocks += kSha256BlockBytes) {
    const __m128i abefStart = abef, cdghStart = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i m;
      if (g < 4) {
        m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * g)),
                             byteSwap);
      } else {
        m = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
        m = _mm_add_epi32(m, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
        m = _mm_sha256msg2_epu32(m, w[(g + 3) & 3]);
      }
      w[g & 3] = m;
      const __m128i k = _mm_add_epi32(
          m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k, 0x0E));
    }
    abef = _mm_add_epi32(abef, abefStart);
    cdgh = _mm_add_epi32(cdgh, cdghStart);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

// Compresses `count` whole blocks at `blocks` into the state of `hash`.
void compressBlocks(Sha256& hash, const unsigned char* blocks, size_t count) {
#if defined(__x86_64__)
  if (hash.shaInstructions) {
    compressWithShaInstructions(hash.state, blocks, count);
    return;
  }
#endif
  compressPortable(hash.state, blocks, count);
}

}  // namespace

bool cpuHasShaInstructions() {
#if defined(__x86_64__)
  // Asked of cpuid itself: not every compiler's __builtin_cpu_supports knows "sha".
  static const bool has = [] {
    unsigned a, b, c, d;
    const bool sse41 = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_SSE4_1) != 0;
    return sse41 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA) != 0;
  }();
  return has;
#else
  return false;
#endif
}

void sha256Init(Sha256& hash) {
  std::memcpy(hash.state, kInitialState, sizeof hash.state);
  hash.length = 0;
  hash.pendingBytes = 0;
  hash.shaInstructions = cpuHasShaInstructions();
}

void sha256Update(Sha256& hash, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  hash.length += size;
  if (hash.pendingBytes > 0) {
    const size_t taken = std::min(size, kSha256BlockBytes - hash.pendingBytes);
    std::memcpy(hash.pending + hash.pendingBytes, bytes, taken);
    hash.pendingBytes += taken;
    bytes += taken;
    size -= taken;
    if (hash.pendingBytes < kSha256BlockBytes) return;
    compressBlocks(hash, hash.pending, 1);
    hash.pendingBytes = 0;
  }
  // Whole blocks are compressed where they lie, without a copy.
  const size_t whole = size / kSha256BlockBytes;
  compressBlocks(hash, bytes, whole);
  bytes += whole * kSha256BlockBytes;
  size -= whole * kSha256BlockBytes;
  if (size > 0) std::memcpy(hash.pending, bytes, size);
  hash.pendingBytes = size;
}

Sha256Digest sha256Final(Sha256& hash) {
  // The padding: a 1 bit, zeros up to 8 bytes short of a block's end, the length in bits.
  const uint64_t bits = hash.length * 8;
  unsigned char* pending = hash.pending;
  pending[hash.pendingBytes++] = 0x80;
  if (hash.pendingBytes > kSha256BlockBytes - 8) {
    std::memset(pending + hash.pendingBytes, 0, kSha256BlockBytes - hash.pendingBytes);
    compressBlocks(hash, pending, 1);
    hash.pendingBytes = 0;
  }
  std::memset(pending + hash.pendingBytes, 0, kSha256BlockBytes - 8 - hash.pendingBytes);
  storeBigEndian(static_cast<uint32_t>(bits >> 32), pending + 56);
  storeBigEndian(static_cast<uint32_t>(bits), pending + 60);
  compressBlocks(hash, pending, 1);
  hash.pendingBytes = 0;
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) storeBigEndian(hash.state[i], digest.data() + 4 * i);
  return digest;
}

Sha256Digest sha256(const void* data, size_t size) {
  Sha256 hash;
  sha256Init(hash);
  sha256Update(hash, data, size);
  return sha256Final(hash);
}

}  // namespace scalesum

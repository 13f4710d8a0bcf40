#pragma once

// SHA-256 (FIPS 180-4): the digest of a message given at once or in pieces.

#include <array>
#include <cstddef>
#include <cstdint>

namespace scalesum {

inline constexpr size_t kSha256Bytes = 32;
inline constexpr size_t kSha256BlockBytes = 64;

// A SHA-256 digest, its bytes in the standard's order (as printed in hexadecimal).
using Sha256Digest = std::array<unsigned char, kSha256Bytes>;

// A digest being computed: the chaining state, the message length so far, the bytes of an
// unfinished block, and how the blocks are compressed.
struct Sha256 {
  uint32_t state[8] = {};
  uint64_t length = 0;  // in bytes
  unsigned char pending[kSha256BlockBytes] = {};
  size_t pendingBytes = 0;
  bool shaInstructions = false;  // with the CPU's SHA instructions, else portable code
};

// Returns whether this CPU has the SHA instructions (x86-64 only).
bool cpuHasShaInstructions();

// Starts `hash` on an empty message, with the CPU's SHA instructions where it has them.
void sha256Init(Sha256& hash);

// Appends the `size` bytes at `data` to the message of `hash`.
void sha256Update(Sha256& hash, const void* data, size_t size);

// Returns the digest of the message of `hash`, which must be started again before more use.
Sha256Digest sha256Final(Sha256& hash);

// Returns the digest of the `size` bytes at `data`.
Sha256Digest sha256(const void* data, size_t size);

}  // namespace scalesum

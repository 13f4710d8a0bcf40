#include "sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "provenance.h"

namespace scalesum {
namespace {

// The standard's test vectors, each hashed at once and fed in pieces of 1, 2, 3, ... bytes,
// which cross every position of a block's end, by portable code and by the CPU's SHA
// instructions where it has them, written as lower-case hexadecimal.
TEST(Sha256, StandardVectorsAtOnceAndInPieces) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, expected] : vectors) {
    EXPECT_EQ(hexDigest(sha256(message.data(), message.size())), expected) << message.size();
    for (bool shaInstructions : {false, cpuHasShaInstructions()}) {
      Sha256 hash;
      sha256Init(hash);
      hash.shaInstructions = shaInstructions;
      for (size_t at = 0, piece = 1; at < message.size(); at += piece, piece = piece % 150 + 1) {
        sha256Update(hash, message.data() + at, std::min(piece, message.size() - at));
      }
      EXPECT_EQ(hexDigest(sha256Final(hash)), expected) << message.size() << " " << shaInstructions;
    }
  }
}

}  // namespace
}  // namespace scalesum

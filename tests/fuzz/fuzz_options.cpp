// The options file read against a fixed tree; the burn-in must be what the last IT line says.

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "logfile.h"
#include "options.h"
#include "tree.h"

using namespace scalesum;
using namespace scalesum::fuzz;

namespace {

const char kLog[] =
    "6\n1 Ara\n2 Bos\n3 Cal\n4 Dal\n5 Eph\n6 Fen\n11\n"
    "20 0 6 1 2 3 4 5 6\n21 0.1 3 1 2 3\n22 0.2 2 1 2\n23 0.3 3 4 5 6\n24 0.4 2 5 6\n"
    "1 0.5 1 1\n2 0.6 1 2\n3 0.7 1 3\n4 0.8 1 4\n5 0.9 1 5\n6 1.0 1 6\n"
    "Iter Lh Prior K Rate Sigma Acc\n";

std::unique_ptr<Analysis> gTree;

// The burn-in of the last line whose first word is IT in any case, read independently.
int32_t expectedBurnIn(const std::string& text) {
  int32_t burnIn = 0;
  std::string line;
  auto take = [&] {
    std::string first;
    size_t at = 0;
    auto skip = [&] {
      while (at < line.size() && isSpace(static_cast<unsigned char>(line[at]))) ++at;
    };
    skip();
    while (at < line.size() && !isSpace(static_cast<unsigned char>(line[at]))) first += line[at++];
    if (first.size() == 2 && (first[0] == 'I' || first[0] == 'i') &&
        (first[1] == 'T' || first[1] == 't')) {
      skip();
      if (at < line.size()) burnIn = referenceInt(line.c_str() + at);
    }
    line.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\r' || c == '\n' || c == '\0') {
      take();
    } else {
      line += c;
    }
  }
  take();
  return burnIn;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzing();
  MemoryFile log(kLog);
  gTree = readLogHeader(log.path());
  buildCladeTree(*gTree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFile options(data, size);
  gTree->options = createDefaultOptions();
  try {
    readOptionsFile(*gTree, options.path());
  } catch (const Rejected&) {
    return 0;
  }
  const Options& read = gTree->options;
  FUZZ_CHECK(read.burnIn == expectedBurnIn(std::string(reinterpret_cast<const char*>(data), size)));
  FUZZ_CHECK(!read.rateClades.empty() && read.rateClades[0].node == gTree->root);
  for (const RateClade& clade : read.rateClades) FUZZ_CHECK(clade.node != nullptr);
  return 0;
}

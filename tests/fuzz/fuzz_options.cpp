// The options file read against a fixed tree; the burn-in must be what the last IT line says.

#include "fuzz_util.h"
#include "logfile.h"
#include "options.h"
#include "reference_report.h"
#include "tree.h"

void scalesum::fuzz::fuzzInput(const std::string& text) {
  static const std::unique_ptr<Analysis> tree = [] {
    auto analysis = readLogHeader(memoryFile(
        0,
        "6\n1 Ara\n2 Bos\n3 Cal\n4 Dal\n5 Eph\n6 Fen\n11\n20 0 6 1 2 3 4 5 6\n21 0.1 3 1 2 3\n"
        "22 0.2 2 1 2\n23 0.3 3 4 5 6\n24 0.4 2 5 6\n1 0.5 1 1\n2 0.6 1 2\n3 0.7 1 3\n"
        "4 0.8 1 4\n5 0.9 1 5\n6 1.0 1 6\nIter Lh Prior K Rate Sigma Acc\n"));
    buildCladeTree(*analysis);
    return analysis;
  }();
  tree->options = createDefaultOptions();
  readOptionsFile(*tree, memoryFile(1, text));
  FUZZ_CHECK(tree->options.burnIn == testing::referenceBurnIn(text));
  FUZZ_CHECK(tree->options.rateClades.at(0).node == tree->root);
  for (const RateClade& clade : tree->options.rateClades) FUZZ_CHECK(clade.node != nullptr);
}

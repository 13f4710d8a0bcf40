// The log header and the clade tree built from it: whatever the input, either a rejection or
// the tree that the straightforward insertion builds.

#include "fuzz_util.h"
#include "logfile.h"
#include "reference_report.h"
#include "tree.h"

void scalesum::fuzz::fuzzInput(const std::string& text) {
  std::unique_ptr<Analysis> analysis = readLogHeader(memoryFile(0, text));
  buildCladeTree(analysis->tree);
  FUZZ_CHECK(testing::treeMismatch(analysis->tree).empty());
}

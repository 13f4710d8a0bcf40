// The log header and the clade tree built from it: whatever the input, either a rejection or
// the tree that the straightforward insertion builds.

#include "fuzz_util.h"
#include "logfile.h"
#include "reference_report.h"
#include "tree.h"

void scalesum::fuzz::fuzzInput(const std::string& text) {
  LogFile log;
  log.path = "fuzz.log";
  openLineReaderOnText(log.reader, "fuzz.log", text);
  Tree tree = readLogHeader(log);
  buildCladeTree(tree);
  FUZZ_CHECK(testing::treeMismatch(tree).empty());
}

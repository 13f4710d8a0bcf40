// The sample passes over a whole log: a log is accepted exactly when the independent reading
// accepts it, and then every retained sample's lengths, sigma and change counts are the ones
// that reading gives.

#include "fuzz_util.h"
#include "logfile.h"
#include "reference_report.h"
#include "samples.h"
#include "tree.h"

void scalesum::fuzz::fuzzInput(const std::string& text) {
  // The first byte picks a small burn-in, so that lines on both sides of it occur.
  const int32_t burnIn = text.empty() ? 0 : text[0] % 4 - 1;
  const auto expected = testing::referenceRun(text, burnIn);
  std::unique_ptr<Analysis> analysis;
  try {
    analysis = readLogHeader(memoryFile(0, text));
    buildCladeTree(*analysis);
    analysis->options.burnIn = burnIn;
    std::vector<SampleRecord> records;
    records.push_back(readLogSamples(analysis->log, *analysis, burnIn, {}));
    countRetainedSamples(*analysis, records, burnIn);
    applyRetainedSamples(*analysis, records);
  } catch (const Rejected&) {
    FUZZ_CHECK(!expected);
    return;
  }
  if (compressed(text)) return;
  FUZZ_CHECK(expected && expected->sigma.size() == size_t(analysis->tally.samplesSeen));
  for (size_t i = 0; i < expected->sigma.size(); ++i) {
    FUZZ_CHECK(sameReal(analysis->sampleSigma[i], expected->sigma[i]));
  }
  for (size_t j = 0; j < analysis->nodes.size(); ++j) {
    const NodeResult& result = analysis->results[j];
    FUZZ_CHECK(result.changedCount == expected->rows[j].changed);
    FUZZ_CHECK(sameReal(analysis->nodes[j]->length, expected->rows[j].length));
    FUZZ_CHECK(std::equal(result.lengthHistory.begin(), result.lengthHistory.end(),
                          expected->rows[j].history.begin(), expected->rows[j].history.end(),
                          sameReal));
  }
}

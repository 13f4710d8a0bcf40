// A whole run on in-memory inputs: the log, then, after the first NUL byte (which no accepted
// log holds), the options file. An accepted input must give exactly the report of the
// independent reading; without an options file, the two must also agree on whether the log is
// accepted at all.

#include "fuzz_util.h"
#include "reference_report.h"
#include "run.h"

void scalesum::fuzz::fuzzInput(const std::string& input) {
  const size_t separator = input.find('\0');
  const std::string log = input.substr(0, separator);
  const std::string options = separator == std::string::npos ? "" : input.substr(separator + 1);
  char* text = nullptr;
  size_t size = 0;
  FILE* report = open_memstream(&text, &size);
  bool accepted = true;
  try {
    runAnalysis(memoryFile(0, log),
                separator == std::string::npos ? nullptr : memoryFile(1, options), report);
  } catch (const RunFailure& failure) {
    checkRejection(failure);
    accepted = false;
  }
  std::fclose(report);
  const std::string written(text, size);
  std::free(text);
  if (compressed(log)) return;
  if (!accepted) {
    FUZZ_CHECK(written.empty());
    if (separator == std::string::npos) FUZZ_CHECK(!testing::referenceReport(log, 0));
    return;
  }
  const auto burnIn = separator == std::string::npos ? 0 : testing::referenceBurnIn(options);
  FUZZ_CHECK(burnIn && testing::referenceReport(log, *burnIn) == written);
}

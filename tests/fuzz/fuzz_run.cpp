// A whole run on in-memory inputs: the log, then, after the first NUL byte (which no accepted
// log holds), the options file. An accepted input must give exactly the report that the
// reference reading of the log works out; without an options file, the two must also agree on
// whether the log is accepted at all.

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "reference_report.h"
#include "run.h"

using namespace scalesum;
using namespace scalesum::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* separator = static_cast<const uint8_t*>(std::memchr(data, '\0', size));
  const size_t logSize = separator ? static_cast<size_t>(separator - data) : size;
  const std::string logText(reinterpret_cast<const char*>(data), logSize);
  MemoryFile log(data, logSize);
  std::unique_ptr<MemoryFile> options;
  std::string optionsText;
  if (separator) {
    optionsText.assign(reinterpret_cast<const char*>(separator + 1), size - logSize - 1);
    options = std::make_unique<MemoryFile>(optionsText);
  }

  char* reportText = nullptr;
  size_t reportSize = 0;
  FILE* report = open_memstream(&reportText, &reportSize);
  FUZZ_CHECK(report != nullptr);
  bool accepted = true;
  try {
    runAnalysis(log.path(), options ? options->path() : nullptr, report);
  } catch (const Rejected&) {
    accepted = false;
  }
  std::fclose(report);
  const std::string written(reportText, reportSize);
  std::free(reportText);

  // Compressed logs have no plain reading to compare with.
  if (logSize >= 2 && data[0] == 0x1f && data[1] == 0x8b) return 0;
  if (!accepted) {
    FUZZ_CHECK(written.empty());
    if (!options) FUZZ_CHECK(!testing::referenceReport(logText, 0));
    return 0;
  }
  const auto burnIn = options ? testing::referenceBurnIn(optionsText) : 0;
  FUZZ_CHECK(burnIn.has_value());
  const auto expected = testing::referenceReport(logText, *burnIn);
  FUZZ_CHECK(expected.has_value() && written == *expected);
  return 0;
}

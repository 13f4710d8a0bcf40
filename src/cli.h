#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convergence.h"

namespace scalesum {

// A share of each chain's sample lines, exactly as written: numerator / denominator, so that
// 12.5% is 125 / 1000.
struct BurnInShare {
  int64_t numerator = 0;
  int64_t denominator = 1;
};

// What a command line asks for: a run, or only the help or the version.
enum class Request { kRun, kHelp, kVersion };

// How the program was asked to run: the two positional files and every flag's value, with the
// defaults in one place.
struct CommandLine {
  Request request = Request::kRun;  // the flags after --help or --version are not read
  std::string logPath;
  std::string optionsPath;             // empty: no options file
  std::string outputPath;              // empty: the report goes to standard output
  std::string statsPath;               // empty: no statistics file
  std::string treePath;                // empty: no tree file
  std::string svgPath;                 // empty: no picture
  std::string tempDir;                 // empty: $TMPDIR, else /tmp
  std::string paramsPath;              // empty: no table of the global columns
  std::string tracesPath;              // empty: no traces of the global columns
  std::string htmlPath;                // empty: no page of the run
  // The logs of further chains of the same analysis, in order; the positional log is chain 1.
  std::vector<std::string> chainPaths;
  // The logs of the same analysis run from the prior alone, in order (--prior).
  std::vector<std::string> priorPaths;
  // The median: most samples leave a branch unchanged, so rare large draws of a heavy-tailed
  // Scalar pull the mean far from what the samples mostly say.
  std::string colorBy = "scalar_median";
  std::optional<int32_t> burnIn;  // when given, it wins over the options file's IT
  // When given instead (--burnin PCT%), each chain drops that share of its sample lines,
  // whatever the options file's IT.
  std::optional<BurnInShare> burnInShare;
  std::string burnInText;  // the share as given, for messages
  int threads = 0;         // 0: the threading runtime's default
  double hpdMass = 0.95;
  bool quiet = false;
  bool verbose = false;   // a summary line on standard error at the end (--verbose)
  bool progress = false;  // forced progress reports (--progress)
  int64_t maxMemory = 0;  // bytes for the length histories; 0: half the physical memory
  // Rate shifts and the pictures.
  double crediblePercent = 95.0;  // a branch scaled one way in this share is a credible shift
  std::string scaledTreePath;     // empty: no rate-scaled tree file
  bool scaleByMedian = false;     // scale lengths by the Scalar's median, not its mean
  bool circular = false;          // a circular picture instead of a rectangular one
  bool nodeIds = false;           // node ids in the picture
  // The convergence verdict.
  Thresholds thresholds;
  std::string summaryPath;             // empty: no summary file
  bool requireConvergence = false;     // exit status 3 when the verdict is not converged
  std::vector<std::string> arguments;  // the command line as typed, the program's name first
};

// Returns the command line of `argv`, read no further than a --help or --version; fails with
// status 1 and one line for standard output on any bad use.
CommandLine parseCommandLine(int argc, char** argv);

// Returns the share that `text` gives as a percentage from 0% to 100% with at most six
// decimals (25%, 12.5%); fails with status 1 and one line for standard output when it is none.
BurnInShare parseBurnInShare(const char* text);

// Returns how many of a chain's `sampleLines` sample lines the share drops: the floor of that
// share of them, computed exactly.
int64_t burnInLines(const BurnInShare& share, int64_t sampleLines);

// The text that --help prints.
const char* helpText();

// The line that --version prints.
const char* versionText();

}  // namespace scalesum

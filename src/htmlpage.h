#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "layout.h"
#include "params.h"
#include "provenance.h"
#include "results.h"
#include "svgplots.h"
#include "tree.h"

namespace scalesum {

// The bins of a branch's histogram of log2 Scalar on the page.
inline constexpr size_t kShiftDensityBins = 40;

// Tips beyond which the page's tree views may leave the tip labels out.
inline constexpr int32_t kPageLabelTips = 3000;

// The judgement the page's banner shows; a run not judged shows "not judged".
struct PageVerdict {
  bool judged = false;
  bool converged = false;
  std::vector<std::string> reasons;  // each with its figure and threshold
};

// The histograms of log2 Scalar of one branch that the page draws beside its row of the
// shift table: the posterior's, and the prior run's on the same bins where there is one.
struct ShiftDensity {
  size_t position = 0;
  Histogram posterior;
  Histogram prior;  // no counts: no prior run
};

// A branch's Bayes factors against a prior run (not-a-number: NA).
struct BayesFactors {
  double changed = 0.0;
  double up = 0.0;
  double down = 0.0;
};

// Everything the page shows beyond the tree and the results.
struct PageContent {
  Provenance provenance;  // the run section's version, command line and inputs
  PageVerdict verdict;
  Thresholds thresholds;  // the verdict's, named in the methods
  std::string colorBy;
  double crediblePercent = 95.0;
  bool nodeIds = false;
  std::vector<std::string> fieldNames;  // of the sample lines' header
  std::vector<ShiftDensity> shiftDensities;
  std::vector<BayesFactors> bayesFactors;  // per position; empty: no prior run
};

// Returns the command line `argv` as it could be typed again, the program by its bare name:
// each argument shell-quoted where it holds anything but plain characters.
std::string typedCommandLine(const std::vector<std::string>& argv);

// Returns the histogram of log2 Scalar of the node at `position`, whose length history is
// recorded, over a range symmetric about 0 that holds its finite values (at least ±1, at most
// ±16).
ShiftDensity takeShiftDensity(const Tree& tree, const Results& results, size_t position);

// Returns the page's run section: the version, the command line, the burn-in, and each input
// with its size, digest and, for a log, what became of its sample lines.
std::string runSection(const Provenance& run);

// Returns the page's verdict banner: the verdict with its reasons, or "not judged"; and the
// count of credible shifts, backed by a prior run or not.
std::string verdictBanner(const PageVerdict& verdict, int32_t credibleShifts, bool priorRun);

// Writes the page of a run: one self-contained HTML file that makes no request beyond itself,
// whose every part reads with scripts off, and whose bytes depend only on what it is given.
void writeHtmlPage(FILE* out, const Tree& tree, const Results& results, const TreeLayout& layout,
                   const std::vector<ChainColumns>& columns, const PageContent& page);

}  // namespace scalesum

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "params.h"
#include "results.h"
#include "statistic.h"
#include "tree.h"

namespace scalesum {

// The convergence figures that a threshold applies to, named as their columns are.
enum class Measure { kRhat, kEssBulk, kEssTail, kTracerEss };
inline constexpr int kMeasureCount = 4;
inline constexpr const char* kMeasureKeys[kMeasureCount] = {"rhat", "ess_bulk", "ess_tail", "ess"};
inline constexpr const char* kMeasureLabels[kMeasureCount] = {"R-hat", "bulk ESS", "tail ESS",
                                                              "Tracer ESS"};

// Where a figure is: a series of a node, or a global column of all chains.
struct FigureSite {
  int32_t nodeId = 0;
  int series = -1;     // index into kSeriesNames; -1 for a global column
  std::string column;  // the global column's name, for a column
};

// Returns "node <id>, <series>" or "column <name>", as the warnings name a site.
std::string describeSite(const FigureSite& site);

// Returns whether the rule judges `measure` for a run of `chains` chains: bulk and tail ESS
// only for several chains, since one chain's Tracer ESS already speaks for them.
bool judgesMeasure(Measure measure, size_t chains);

// Returns the figure that `measure` is compared with: the threshold, for bulk and tail ESS
// times the number of chains, as those figures count the draws of all chains.
double thresholdOf(Measure measure, const Thresholds& thresholds, size_t chains);

// Returns whether `figure` of `measure` breaks its threshold in a run of `chains` chains.
bool breaksThreshold(Measure measure, double figure, const Thresholds& thresholds, size_t chains);

// Calls visit(site, figures) for each series of each node once (when statistics were computed)
// and each global column's row of all chains; `figures` holds each Measure's figure, empty
// where none exists. A column has no Tracer ESS figure: the warnings never judged one.
template <typename Visit>
void visitConvergenceFigures(const Tree& tree, const Results& results,
                             const std::vector<ParamsRow>& paramRows,
                             const std::vector<std::string>& fieldNames, Visit visit) {
  std::optional<double> figures[kMeasureCount];
  if (results.wantStatistics) {
    std::unordered_set<const Node*> seen;  // a node at two positions counts once
    for (size_t i = 0; i < tree.nodes.size(); ++i) {
      if (!seen.insert(tree.nodes[i]).second) continue;
      for (int s = 0; s < kSeriesCount; ++s) {
        const SeriesStatistics stats = seriesStatistics(tree, results, i, static_cast<Series>(s));
        figures[0] = stats.rhat;
        figures[1] = stats.essBulk;
        figures[2] = stats.essTail;
        figures[3] = stats.ess;
        visit(FigureSite{tree.nodes[i]->id, s, {}}, figures);
      }
    }
  }
  for (const ParamsRow& row : paramRows) {
    if (row.chain != 0) continue;
    const double values[3] = {row.convergence.rhat, row.convergence.essBulk,
                              row.convergence.essTail};
    for (int m = 0; m < 3; ++m) {
      figures[m] = values[m] != values[m] ? std::nullopt : std::optional<double>(values[m]);
    }
    figures[3].reset();
    visit(FigureSite{0, -1, columnName(fieldNames, row.field)}, figures);
  }
}

// One figure that breaks its threshold.
struct VerdictReason {
  Measure measure = Measure::kRhat;
  double figure = 0.0;
  double threshold = 0.0;  // as compared (see thresholdOf)
  FigureSite site;
};

// What the verdict found of one measure: whether the rule judged it (the run gave at least one
// figure of it, and its number of chains lets the rule apply), how many figures exist and how
// many break, and the worst one (the largest R-hat, the lowest ESS), judged or not.
struct MeasureTally {
  bool judged = false;
  int examined = 0;
  int breaking = 0;
  std::optional<double> worst;
  FigureSite worstSite;
};

// Whether a finished run converged: converged when at least one measure was judged and no
// figure breaks its threshold; not judged when no measure could be.
struct Verdict {
  bool judged = false;
  bool converged = false;
  MeasureTally tallies[kMeasureCount];  // indexed by Measure
  std::vector<VerdictReason> reasons;   // in the order of the sites, then of the measures
};

// Judges the run on `tree` that gave `results` and the global columns `paramRows` against
// `thresholds`.
Verdict judgeRun(const Tree& tree, const Results& results, const std::vector<ParamsRow>& paramRows,
                 const std::vector<std::string>& fieldNames, const Thresholds& thresholds);

// Returns the verdict's few words for the closing line: "converged", "not converged (<n>
// reasons)" or "not judged".
std::string verdictWords(const Verdict& verdict);

// Returns the lines that tell why the run did not converge, one per measure that breaks (how
// many, and the worst and where), each "Scalesum: not converged: ..."; or why it could not be
// judged; empty for a converged run.
std::string verdictReasonLines(const Verdict& verdict, const Thresholds& thresholds, size_t chains);

// Returns the reasons of verdictReasonLines, one a line, without their prefix and line end.
std::vector<std::string> verdictReasons(const Verdict& verdict, const Thresholds& thresholds,
                                        size_t chains);

}  // namespace scalesum
